#pragma once

#include <QObject>

namespace platform::detail {

// The object on the main thread that main-queue blocks are posted to. Posting every block to
// one receiver keeps them in the order they were posted.
class MainQueueReceiver : public QObject {
public:
    static MainQueueReceiver* instance();
};

}  // namespace platform::detail
