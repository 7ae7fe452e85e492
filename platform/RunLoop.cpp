#include "platform/RunLoop.h"

#include "platform/detail/MainQueueReceiver.h"
#include "platform/detail/StallMeter.h"

#include <QApplication>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>
#include <QTimer>

#include <cassert>
#include <clocale>
#include <memory>

namespace platform {

namespace {
// Qt keeps references to argc/argv for the life of the application object.
int storedArgc = 0;
char** storedArgv = nullptr;
}  // namespace

void RunLoop::initialize(int& argc, char** argv, Kind kind) {
    if (QCoreApplication::instance() != nullptr) {
        return;
    }
    storedArgc = argc;
    storedArgv = argv;
    // The application object lives as long as the process, like the platform's shared application.
    if (kind == Kind::Windows) {
        new QApplication(storedArgc, storedArgv);
    } else {
        new QCoreApplication(storedArgc, storedArgv);
    }
    // The application object takes the whole locale from the environment; numbers stay in the
    // C locale, so that formatted and parsed texts never follow the user's decimal comma.
    std::setlocale(LC_NUMERIC, "C");
    detail::MainQueueReceiver::instance();
    detail::StallMeter::start();
}

bool RunLoop::isInitialized() {
    return QCoreApplication::instance() != nullptr;
}

bool RunLoop::isMainThread() {
    auto* app = QCoreApplication::instance();
    return app != nullptr && QThread::currentThread() == app->thread();
}

int RunLoop::run() {
    const int status = QCoreApplication::exec();
    detail::StallMeter::report();
    return status;
}

void RunLoop::quit(int code) {
    if (auto* app = QCoreApplication::instance()) {
        QMetaObject::invokeMethod(app, [code] { QCoreApplication::exit(code); }, Qt::QueuedConnection);
    }
}

bool RunLoop::runUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        const auto left = timeout.count() - clock.elapsed();
        if (left <= 0) {
            return done();
        }
        QEventLoop loop;
        QTimer::singleShot(std::min<qint64>(left, 5), &loop, &QEventLoop::quit);
        loop.exec();
    }
    return true;
}

void assertMainThread() {
    assert(!RunLoop::isInitialized() || RunLoop::isMainThread());
}

void RunLoop::runFor(std::chrono::milliseconds duration) {
    QEventLoop loop;
    QTimer::singleShot(duration, &loop, &QEventLoop::quit);
    loop.exec();
}

}  // namespace platform
