#pragma once

#include <log4cplus/thread/syncprims.h>
#include <log4cplus/thread/threads.h>

namespace log4cplus {
namespace helpers {

// The periodic callback of a FlusherThread.
class IFlusherThreadClient {
public:
    virtual ~IFlusherThreadClient() {}
    virtual void ftcFlush() = 0;
};

// A worker thread that calls its client's ftcFlush every `interval` milliseconds until
// terminate. The callback runs while the thread holds its own access_mutex, so a client must
// not call terminate while holding a lock that its ftcFlush takes.
class FlusherThread : public thread::AbstractThread {
public:
    FlusherThread(IFlusherThreadClient& client, unsigned long interval);
    ~FlusherThread() override;

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
};

}  // namespace helpers
}  // namespace log4cplus
