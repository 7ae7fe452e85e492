#include "AppDelegate.h"

#include "Logger/Logger.h"

AppDelegate& AppDelegate::shared() {
    static AppDelegate* delegate = new AppDelegate();
    return *delegate;
}

std::shared_ptr<MainTask> AppDelegate::mainTask() {
    if (!_mainTask) {
        _mainTask = std::make_shared<MainTask>();
    }
    return _mainTask;
}

void AppDelegate::applicationWillTerminate() {
    Logger::shared().logInfo("App will terminate");
    mainTask()->terminateRootTask();
}
