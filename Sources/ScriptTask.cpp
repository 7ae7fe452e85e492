#include "ScriptTask.h"

#include "Logger/Logger.h"
#include "platform/Utf8.h"

#include <optional>

void ScriptTask::execute() {
    setBashDelegate(this);
    BashTask::execute();
}

void ScriptTask::onDataReceived(const std::string& line) {
    // Bytes that are not UTF-8 give no text, which logs as "(null)".
    const std::optional<std::string> text = platform::utf8::isValid(line) ? std::optional(line) : std::nullopt;
    Logger::shared().logDebug("%@: %@", name(), text);
}
