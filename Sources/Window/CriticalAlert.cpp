#include "CriticalAlert.h"

#include "Logger/Logger.h"
#include "platform/Utf8.h"

#include <QGuiApplication>
#include <QLabel>
#include <QMessageBox>

#include <algorithm>
#include <cctype>

namespace {

bool isBlank(const std::optional<std::string>& text) {
    return !text || std::all_of(text->begin(), text->end(), [](unsigned char c) { return std::isspace(c) != 0; });
}

}  // namespace

CriticalAlert::Texts CriticalAlert::textsForError(const platform::Error& error) {
    const auto& info = error.info();
    Texts texts;
    if (!isBlank(info.localizedDescription)) {
        texts.message = *info.localizedDescription;
    } else if (!isBlank(info.localizedFailureReason)) {
        texts.message = *info.localizedFailureReason;
    } else {
        texts.message = platform::Error(error.domain(), error.code()).localizedDescription();
    }
    if (!isBlank(info.localizedRecoverySuggestion)) {
        texts.informativeText = *info.localizedRecoverySuggestion;
    }
    // They may carry what a server sent (a header's value, a name): an alert that fits the screen
    // and is laid out at once, and a log line of what it shows.
    constexpr std::size_t kMostCharactersShown = 1000;
    texts.message = platform::utf8::truncated(texts.message, kMostCharactersShown);
    texts.informativeText = platform::utf8::truncated(texts.informativeText, kMostCharactersShown);
    return texts;
}

std::unique_ptr<QMessageBox> CriticalAlert::makeAlert(const platform::Error& error, QWidget* parent) {
    const Texts texts = textsForError(error);
    auto alert = std::make_unique<QMessageBox>(parent);
    if (parent != nullptr) {
        alert->setWindowTitle(parent->windowTitle());
    }
    alert->setIcon(QMessageBox::Critical);
    alert->setTextFormat(Qt::PlainText);
    alert->setText(QString::fromStdString(texts.message));
    alert->setInformativeText(QString::fromStdString(texts.informativeText));
    // The texts come from outside (scripts, servers): no label of the alert may read them as markup.
    for (auto* label : alert->findChildren<QLabel*>()) {
        label->setTextFormat(Qt::PlainText);
    }
    alert->setStandardButtons(QMessageBox::Ok);
    return alert;
}

void CriticalAlert::runModal(const platform::Error& error, QWidget* parent) {
    const Texts texts = textsForError(error);
    Logger::shared().logError("Critical alert: %@ Advice: %@", texts.message, texts.informativeText);
    if (QGuiApplication::platformName() == QLatin1String("offscreen")) {
        return;
    }
    makeAlert(error, parent)->exec();
}
