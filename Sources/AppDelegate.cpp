#include "AppDelegate.h"

#include "Logger/Logger.h"
#include "StatisticsManager.h"
#include "platform/RunLoop.h"

AppDelegate& AppDelegate::shared() {
    static AppDelegate* delegate = new AppDelegate();
    return *delegate;
}

std::shared_ptr<MainTask> AppDelegate::mainTask() {
    platform::assertMainThread();
    if (!_mainTask) {
        _mainTask = std::make_shared<MainTask>();
    }
    return _mainTask;
}

void AppDelegate::applicationWillTerminate() {
    platform::assertMainThread();
    Logger::shared().logInfo("App will terminate");
    // The marker belongs to the installation that holds the lock: a run turned away by the lock,
    // or one that has given it back, would pull it from under the running one.
    if (mainTask()->holdsLock()) {
        mainTask()->terminateRootTask();
    } else {
        Logger::shared().logInfo("This run does not hold the lock; the marker is left as it is.");
    }
    StatisticsManager::shared().flushBeforeExit();
}
