#include "platform/detail/MainQueueReceiver.h"

#include <QCoreApplication>

namespace platform::detail {

MainQueueReceiver* MainQueueReceiver::instance() {
    // Created on first use by RunLoop::initialize on the main thread; never destroyed, so blocks
    // posted by workers while the process exits find a live receiver.
    static auto* receiver = [] {
        auto* object = new MainQueueReceiver;
        object->moveToThread(QCoreApplication::instance()->thread());
        return object;
    }();
    return receiver;
}

}  // namespace platform::detail
