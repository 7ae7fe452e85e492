#pragma once

#include "core/statistics/async_transport/active_timer.h"
#include "core/statistics/async_transport/ring_buffer.h"
#include "core/statistics/transport.h"

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace Statistics {

// A started MultiQueueTransport over its own HTTP transport.
std::shared_ptr<Transport> makeAsyncTransport(std::uint16_t capacity, std::uint16_t intervalMs,
                                              std::uint16_t batchSize);

namespace AsyncTransport {

// Accepts every body at once into a bounded ring per destination URL and hands the stored
// bodies in batches to the inner (synchronous) transport from its timer thread. A body
// leaves its ring only after the inner transport reports the batch delivered.
class MultiQueueTransport : public Transport {
public:
    struct Settings {
        std::uint16_t capacity;   // slots per ring; 0 means 1000
        std::uint16_t batchSize;  // bodies per post; 0 means 1
        std::uint16_t intervalMs; // timer period
    };

    MultiQueueTransport(std::shared_ptr<Transport> innerTransport, const Settings& settings);
    // Flushes one last time on the destroying thread, then stops the timer.
    ~MultiQueueTransport() override;

    MultiQueueTransport(const MultiQueueTransport&) = delete;
    MultiQueueTransport& operator=(const MultiQueueTransport&) = delete;

    // Queues the body; throws std::runtime_error for a 101st distinct URL.
    bool send(const std::string& url, const std::string& body) override;

    // One flush pass over every ring (the timer's target).
    void onTimer();

    // Bodies currently held by all rings together.
    std::size_t totalCount();

    // The timer thread runs a pass within 100 ms, or as soon as the pass under way ends.
    void flushSoon() override;
    // Waits only on the pass bookkeeping, never on the queue lock that a post holds.
    bool waitFlushed(Deadline deadline) override;

private:
    using Queue = RingBuffer<std::string>;

    // Everything below runs with _mutex held.
    void flushAll();
    bool flushQueue(const std::string& url, Queue& queue);
    std::vector<std::string> takeBatch(const Queue& queue) const;
    static std::string joinBatch(const std::vector<std::string>& items);
    bool sendBatch(const std::string& url, const std::string& body);
    static void dropBatch(Queue& queue, std::size_t count);
    void addQueue(const std::string& url);
    void enqueue(const std::string& url, const std::string& body);
    std::size_t heldCount() const;
    std::uint64_t beginPass();
    void endPass(std::uint64_t pass, std::size_t held);

    std::shared_ptr<Transport> _innerTransport;
    std::shared_ptr<ActiveTimer> _timer;
    std::unordered_map<std::string, std::shared_ptr<Queue>> _queues;
    std::uint16_t _batchSize;
    std::uint16_t _queueCapacity;
    std::mutex _mutex;

    // Pass bookkeeping for flushSoon/waitFlushed; taken after _mutex, never held for a post.
    std::mutex _passMutex;
    std::condition_variable _passEnded;
    std::uint64_t _passesBegun = 0;
    std::uint64_t _passesEnded = 0;
    std::uint64_t _awaitedPass = 0;
    std::size_t _heldAfterPass = 0;
};

} // namespace AsyncTransport
} // namespace Statistics
