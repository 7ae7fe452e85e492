#include "core/statistics/async_transport/multi_queue_transport.h"

#include "core/statistics/sync_transport/posix/http_transport.h"

#include <cstring>
#include <stdexcept>

namespace Statistics {

std::shared_ptr<Transport> makeAsyncTransport(std::uint16_t capacity, std::uint16_t intervalMs,
                                              std::uint16_t batchSize)
{
    const AsyncTransport::MultiQueueTransport::Settings settings{capacity, batchSize, intervalMs};
    return std::make_shared<AsyncTransport::MultiQueueTransport>(
        std::make_shared<SyncTransport::Posix::HttpTransport>(), settings);
}

namespace AsyncTransport {

namespace {
constexpr std::size_t maxQueueCount = 100;
constexpr std::uint16_t defaultCapacity = 1000;
} // namespace

MultiQueueTransport::MultiQueueTransport(std::shared_ptr<Transport> innerTransport,
                                         const Settings& settings)
    : _innerTransport(std::move(innerTransport))
    , _batchSize(settings.batchSize == 0 ? std::uint16_t(1) : settings.batchSize)
    , _queueCapacity(settings.capacity == 0 ? defaultCapacity : settings.capacity)
{
    _timer = std::make_shared<ActiveTimer>(std::int64_t(settings.intervalMs), [this] { onTimer(); });
    _timer->start();
}

MultiQueueTransport::~MultiQueueTransport()
{
    try {
        onTimer();
        _timer->stop();
    } catch (...) {
        // Nothing may leave a destructor; onTimer already keeps the bodies it could not post.
    }
}

bool MultiQueueTransport::send(const std::string& url, const std::string& body)
{
    std::lock_guard lock(_mutex);
    if (_queues.find(url) == _queues.end())
        addQueue(url);
    enqueue(url, body);
    return true;
}

void MultiQueueTransport::onTimer()
{
    std::lock_guard lock(_mutex);
    const std::uint64_t pass = beginPass();
    flushAll();
    endPass(pass, heldCount());
}

std::size_t MultiQueueTransport::totalCount()
{
    std::lock_guard lock(_mutex);
    return heldCount();
}

void MultiQueueTransport::flushSoon()
{
    {
        // A pass that begins after this point holds _mutex after every body queued so far.
        std::lock_guard lock(_passMutex);
        _awaitedPass = _passesBegun + 1;
    }
    _timer->trigger();
}

bool MultiQueueTransport::waitFlushed(Deadline deadline)
{
    std::unique_lock lock(_passMutex);
    const bool ended = _passEnded.wait_until(lock, deadline, [this] { return _passesEnded >= _awaitedPass; });
    return ended && _heldAfterPass == 0;
}

std::size_t MultiQueueTransport::heldCount() const
{
    std::size_t count = 0;
    for (const auto& [url, queue] : _queues)
        count += queue->size();
    return count;
}

std::uint64_t MultiQueueTransport::beginPass()
{
    std::lock_guard lock(_passMutex);
    return ++_passesBegun;
}

void MultiQueueTransport::endPass(std::uint64_t pass, std::size_t held)
{
    {
        std::lock_guard lock(_passMutex);
        _passesEnded = pass;
        _heldAfterPass = held;
    }
    _passEnded.notify_all();
}

void MultiQueueTransport::flushAll()
{
    for (const auto& [url, queue] : _queues) {
        try {
            // A failed post means the receiver is out of reach: leave the rest for the next pass.
            if (!flushQueue(url, *queue))
                return;
        } catch (...) {
            // The inner transport throws only for an address it can never post to (malformed
            // URL). Its bodies stay queued, and the other addresses must not starve behind it,
            // so the pass goes on with the next one.
        }
    }
}

bool MultiQueueTransport::flushQueue(const std::string& url, Queue& queue)
{
    while (queue.size() != 0) {
        const std::vector<std::string> batch = takeBatch(queue);
        if (!sendBatch(url, joinBatch(batch)))
            return false;
        dropBatch(queue, batch.size());
    }
    return true;
}

std::vector<std::string> MultiQueueTransport::takeBatch(const Queue& queue) const
{
    return queue.peek(_batchSize);
}

std::string MultiQueueTransport::joinBatch(const std::vector<std::string>& items)
{
    std::string body;
    for (const std::string& item : items) {
        body.append(item.c_str(), std::strlen(item.c_str())); // each item up to its first NUL
        body += "\r\n";
    }
    return body;
}

bool MultiQueueTransport::sendBatch(const std::string& url, const std::string& body)
{
    return _innerTransport->send(url, body);
}

void MultiQueueTransport::dropBatch(Queue& queue, std::size_t count)
{
    for (std::size_t i = 0; i < count; ++i)
        queue.pop();
}

void MultiQueueTransport::addQueue(const std::string& url)
{
    if (_queues.size() == maxQueueCount)
        throw std::runtime_error("MultiQueueTransport: exceeded max count different URL's");
    _queues.emplace(url, std::make_shared<Queue>(_queueCapacity));
}

void MultiQueueTransport::enqueue(const std::string& url, const std::string& body)
{
    // A full ring silently loses its oldest body.
    (void)_queues.at(url)->push(body);
}

} // namespace AsyncTransport
} // namespace Statistics
