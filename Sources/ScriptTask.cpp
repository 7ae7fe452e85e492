#include "ScriptTask.h"

#include "Logger/Logger.h"

void ScriptTask::execute() {
    setBashDelegate(this);
    BashTask::execute();
}

void ScriptTask::onDataReceived(const std::string& line) {
    Logger::shared().logDebug("%@: %@", name(), line);
}
