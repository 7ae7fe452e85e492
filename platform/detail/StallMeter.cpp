#include "platform/detail/StallMeter.h"

#include "platform/Format.h"
#include "platform/Log.h"

#include <QApplication>
#include <QEvent>
#include <QTimer>
#include <QWidget>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <optional>
#include <string>
#include <unistd.h>

namespace platform::detail {

namespace {

using Millis = long long;

// Milliseconds since the process started, on the clock the kernel dates processes by (10 ms steps
// for the start, so that the loading of the program counts too).
Millis sinceProcessStart() {
    static const Millis started = [] {
        std::ifstream stat("/proc/self/stat");
        std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
        // The fields after the command name, which is in parentheses and may hold spaces.
        const auto close = text.rfind(')');
        unsigned long long ticks = 0;
        if (close != std::string::npos) {
            // The state is field 3, just after the name, and the start time field 22.
            const char* field = text.c_str() + close + 1;
            for (int skipped = 0; skipped < 22 - 3 && field != nullptr; ++skipped) {
                field = std::strchr(field + 1, ' ');
            }
            ticks = field != nullptr ? std::strtoull(field + 1, nullptr, 10) : 0;
        }
        return static_cast<Millis>(ticks * 1000 / static_cast<unsigned long long>(sysconf(_SC_CLK_TCK)));
    }();
    timespec now{};
    clock_gettime(CLOCK_BOOTTIME, &now);
    return static_cast<Millis>(now.tv_sec) * 1000 + now.tv_nsec / 1000000 - started;
}

struct Figures {
    Millis lastTurn = 0;
    Millis longestStall = 0;
    Millis longestStallAt = 0;  // when it ended
    std::optional<Millis> firstPaint;
    std::optional<Millis> ending;
};

Figures* figures = nullptr;  // set only when asked for

void noteTurn(Millis now) {
    if (figures->ending) {
        return;
    }
    if (now - figures->lastTurn > figures->longestStall) {
        figures->longestStall = now - figures->lastTurn;
        figures->longestStallAt = now;
    }
    figures->lastTurn = now;
}

// Whether a window besides the one going is shown.
bool anotherWindowShown(const QObject* going) {
    const auto windows = QApplication::topLevelWidgets();
    return std::any_of(windows.begin(), windows.end(),
                       [going](const QWidget* window) { return window != going && window->isVisible(); });
}

// Notes the first paint of a widget, and the end of the measuring when the last shown window goes.
class WindowWatch : public QObject {
public:
    using QObject::QObject;
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Paint && !figures->firstPaint) {
            figures->firstPaint = sinceProcessStart();
        } else if (event->type() == QEvent::Hide && watched->isWidgetType() &&
                   static_cast<QWidget*>(watched)->isWindow() && figures->firstPaint &&
                   !anotherWindowShown(watched)) {
            StallMeter::noteEnding();
        }
        return QObject::eventFilter(watched, event);
    }
};

}  // namespace

void StallMeter::start() {
    const char* asked = std::getenv("RAVELUNE_STALL_METER");
    if (figures != nullptr || asked == nullptr || std::strcmp(asked, "1") != 0) {
        return;
    }
    figures = new Figures;
    figures->lastTurn = sinceProcessStart();
    auto* application = QCoreApplication::instance();
    auto* timer = new QTimer(application);
    timer->setTimerType(Qt::PreciseTimer);
    QObject::connect(timer, &QTimer::timeout, [] { noteTurn(sinceProcessStart()); });
    timer->start(10);
    application->installEventFilter(new WindowWatch(application));
}

void StallMeter::noteEnding() {
    if (figures != nullptr && !figures->ending) {
        const Millis now = sinceProcessStart();
        noteTurn(now);
        figures->ending = now;
    }
}

void StallMeter::report() {
    if (figures == nullptr) {
        return;
    }
    const Millis now = sinceProcessStart();
    noteEnding();
    writeSystemLog(format("Main loop: longest stall %lld ms (ended %lld ms after start); first paint %@; ending %lld ms; "
                          "run %lld ms",
                          figures->longestStall, figures->longestStallAt,
                          figures->firstPaint ? format("%lld ms after start", *figures->firstPaint) : std::string("none"),
                          now - *figures->ending, now));
}

}  // namespace platform::detail
