#include "log_shipping/FlusherThread.h"

#include <log4cplus/helpers/loglog.h>

#include <chrono>

namespace log4cplus {
namespace helpers {

FlusherThread::FlusherThread(IFlusherThreadClient& client, unsigned long periodMs)
    : ftc(client), trigger_ev(false), exit_flag(false), interval(periodMs) {}

FlusherThread::~FlusherThread() = default;

void FlusherThread::requestFlush() {
    flush_requested = true;
    trigger_ev.signal();
}

void FlusherThread::run() {
    using namespace std::chrono;
    auto due = steady_clock::now() + milliseconds(interval);
    for (;;) {
        // Woken early by terminate and requestFlush; the event stays signalled until reset
        // below, and both set their flag before signalling, so neither is missed.
        const auto left = ceil<milliseconds>(due - steady_clock::now()).count();
        if (left > 0) {
            trigger_ev.timed_wait(static_cast<unsigned long>(left));
        }
        getLogLog().debug(LOG4CPLUS_TEXT("FlusherThread::run()- running..."));

        thread::MutexGuard guard(access_mutex);
        trigger_ev.reset();
        if (exit_flag) {
            return;
        }
        if (flush_requested.exchange(false)) {
            ftc.ftcFlushRequested();
        }
        if (steady_clock::now() >= due) {
            ftc.ftcFlush();
            due = steady_clock::now() + milliseconds(interval);
        }
    }
}

void FlusherThread::terminate() {
    {
        // Waits for a callback in progress, which runs under this lock.
        thread::MutexGuard guard(access_mutex);
        exit_flag = true;
        trigger_ev.signal();
    }
    join();
}

}  // namespace helpers
}  // namespace log4cplus
