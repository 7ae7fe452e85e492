#pragma once

#include "platform/Error.h"

#include <memory>
#include <string>

class QMessageBox;
class QWidget;

// The critical alert that ends a failed installation, built from the step's error. Main thread
// only. What it shows is also written to the log at ERROR, so the log says what the user saw.
class CriticalAlert {
public:
    struct Texts {
        std::string message;          // the title
        std::string informativeText;  // the advice; may be empty
    };

    // Never a blank message: the description, else the failure reason, else the platform's
    // default sentence. The advice is the recovery suggestion; without one it is empty. Each is cut
    // to 1000 characters, with an ellipsis.
    static Texts textsForError(const platform::Error& error);

    // The alert, titled like the parent window, showing the texts as plain text.
    static std::unique_ptr<QMessageBox> makeAlert(const platform::Error& error, QWidget* parent);

    // Logs the texts, then shows the alert and returns when the user has dismissed it. On the
    // offscreen platform nobody can press its button: it returns at once.
    static void runModal(const platform::Error& error, QWidget* parent);
};
