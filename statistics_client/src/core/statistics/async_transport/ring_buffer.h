#pragma once

#include <algorithm>
#include <cstdint>
#include <stdexcept>
#include <vector>

namespace Statistics::AsyncTransport {

// Fixed-capacity circular queue. One slot always stays free, so it holds at most
// capacity - 1 items; a push into a full ring drops the oldest item. No lock of its own:
// the owner serialises every access.
template <typename T>
class RingBuffer {
public:
    explicit RingBuffer(std::uint16_t capacity)
        : _slots(capacity)
        , _capacity(capacity)
    {
        if (_capacity == 0)
            throw std::runtime_error("Failed to create RingBuffer with zero capacity");
    }

    std::uint16_t size() const
    {
        const int distance = int(_tail) - int(_head);
        return static_cast<std::uint16_t>(distance >= 0 ? distance : _capacity + distance);
    }

    // False when the oldest item had to be dropped to make room.
    bool push(const T& value)
    {
        _slots[_tail] = value;
        advance(_tail);
        if (_tail != _head)
            return true;
        advance(_head);
        return false;
    }

    // Copies of the first min(count, size()) items, oldest first; the ring is unchanged.
    std::vector<T> peek(std::uint16_t count) const
    {
        count = std::min(count, size());
        std::vector<T> items;
        items.reserve(count);
        std::uint16_t index = _head;
        for (std::uint16_t i = 0; i < count; ++i) {
            items.push_back(_slots[index]);
            advance(index);
        }
        return items;
    }

    T pop()
    {
        if (size() == 0)
            throw std::runtime_error("Failed pop items from RingBuffer: buffer is clear");
        T value = _slots[_head];
        advance(_head);
        return value;
    }

private:
    void advance(std::uint16_t& index) const
    {
        ++index;
        if (index == _capacity)
            index = 0;
    }

    std::vector<T> _slots;
    std::uint16_t _head = 0;
    std::uint16_t _tail = 0;
    std::uint16_t _capacity;
};

} // namespace Statistics::AsyncTransport
