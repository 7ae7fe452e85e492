#pragma once

#include <log4cplus/thread/syncprims.h>
#include <log4cplus/thread/threads.h>

#include <atomic>

namespace log4cplus {
namespace helpers {

// The callbacks of a FlusherThread, both made on its thread.
class IFlusherThreadClient {
public:
    virtual ~IFlusherThreadClient() {}
    // Every period.
    virtual void ftcFlush() = 0;
    // Soon after requestFlush.
    virtual void ftcFlushRequested() {}
};

// A worker thread that calls its client's ftcFlush every `interval` milliseconds, and its
// ftcFlushRequested soon after each requestFlush, until terminate. Callbacks run one at a time
// while the thread holds its own access_mutex, so a client must not call terminate while
// holding a lock that a callback takes. A period is counted from the end of the previous
// periodic callback; requested callbacks do not move it.
class FlusherThread : public thread::AbstractThread {
public:
    FlusherThread(IFlusherThreadClient& client, unsigned long interval);
    ~FlusherThread() override;

    // Any thread; takes no lock that a callback may wait for. Requests made before the
    // callback begins are served by one callback.
    void requestFlush();

    // Stops the thread and waits until it has ended; a callback in progress is finished
    // first and none follows. Call once, after start.
    void terminate();

protected:
    void run() override;

private:
    IFlusherThreadClient& ftc;
    thread::ManualResetEvent trigger_ev;
    bool exit_flag;
    unsigned long interval;
    std::atomic<bool> flush_requested{false};
};

}  // namespace helpers
}  // namespace log4cplus
