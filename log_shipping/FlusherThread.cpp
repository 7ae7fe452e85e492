#include "log_shipping/FlusherThread.h"

#include <log4cplus/helpers/loglog.h>

namespace log4cplus {
namespace helpers {

FlusherThread::FlusherThread(IFlusherThreadClient& client, unsigned long interval)
    : ftc(client), trigger_ev(false), exit_flag(false), interval(interval) {}

FlusherThread::~FlusherThread() = default;

void FlusherThread::run() {
    for (;;) {
        // Woken early only by terminate; the event stays signalled until reset below, so a
        // terminate that comes before this wait is not missed.
        trigger_ev.timed_wait(interval);
        getLogLog().debug(LOG4CPLUS_TEXT("FlusherThread::run()- running..."));

        thread::MutexGuard guard(access_mutex);
        trigger_ev.reset();
        if (exit_flag) {
            return;
        }
        ftc.ftcFlush();
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
