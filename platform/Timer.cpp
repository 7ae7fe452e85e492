#include "platform/Timer.h"

#include "platform/Dispatch.h"
#include "platform/RunLoop.h"
#include "platform/detail/MainQueueReceiver.h"

#include <QTimer>

namespace platform {

struct Timer::Impl {
    QTimer* timer = nullptr;  // owned by the main-queue receiver, deleted on invalidate
};

Timer::Timer(std::chrono::milliseconds interval, bool repeats, Handler handler)
    : _interval(interval), _repeats(repeats), _handler(std::move(handler)), _impl(std::make_unique<Impl>()) {}

Timer::~Timer() = default;

std::shared_ptr<Timer> Timer::scheduled(std::chrono::milliseconds interval, bool repeats, Handler handler) {
    std::shared_ptr<Timer> timer(new Timer(interval, repeats, std::move(handler)));
    timer->_selfWhileScheduled = timer;
    if (RunLoop::isMainThread()) {
        timer->startOnMainThread();
    } else {
        dispatch::asyncMain([timer] { timer->startOnMainThread(); });
    }
    return timer;
}

void Timer::startOnMainThread() {
    if (!_valid) {
        return;
    }
    auto* qtimer = new QTimer(detail::MainQueueReceiver::instance());
    qtimer->setSingleShot(!_repeats);
    qtimer->setTimerType(Qt::PreciseTimer);
    QObject::connect(qtimer, &QTimer::timeout, qtimer, [this] { fire(); });
    _impl->timer = qtimer;
    qtimer->start(_interval);
}

void Timer::fire() {
    // Keep the object alive for the whole handler even if it invalidates itself.
    auto self = shared_from_this();
    if (!_valid) {
        return;
    }
    if (!_repeats) {
        _valid = false;
    }
    _handler(*this);
    if (!_valid) {
        invalidate();
    }
}

void Timer::invalidate() {
    _valid = false;
    auto release = [self = shared_from_this()] {
        if (self->_impl->timer != nullptr) {
            self->_impl->timer->stop();
            self->_impl->timer->deleteLater();
            self->_impl->timer = nullptr;
        }
        self->_selfWhileScheduled.reset();
    };
    if (RunLoop::isMainThread()) {
        release();
    } else {
        dispatch::asyncMain(std::move(release));
    }
}

}  // namespace platform
