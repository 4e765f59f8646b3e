// A fixed-size lock-free ring of periods between one producer thread (the
// engine) and one consumer thread (a recorder's writer).
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <memory>

namespace audio {

template <typename Slot> class SpscRing {
public:
    explicit SpscRing(std::size_t capacity)
        : capacity_(capacity + 1), slots_(std::make_unique<Slot[]>(capacity + 1)) {}

    /// Producer: the slot to fill next, or null when the ring is full.
    Slot *writeSlot() {
        const std::size_t head = head_.load(std::memory_order_relaxed);
        const std::size_t next = (head + 1) % capacity_;
        if (next == tail_.load(std::memory_order_acquire))
            return nullptr;
        return &slots_[head];
    }
    /// Producer: publishes the slot returned by writeSlot().
    void commitWrite() {
        head_.store((head_.load(std::memory_order_relaxed) + 1) % capacity_,
                    std::memory_order_release);
    }

    /// Consumer: the oldest filled slot, or null when the ring is empty.
    Slot *readSlot() {
        const std::size_t tail = tail_.load(std::memory_order_relaxed);
        if (tail == head_.load(std::memory_order_acquire))
            return nullptr;
        return &slots_[tail];
    }
    /// Consumer: frees the slot returned by readSlot().
    void commitRead() {
        tail_.store((tail_.load(std::memory_order_relaxed) + 1) % capacity_,
                    std::memory_order_release);
    }

private:
    const std::size_t capacity_;
    std::unique_ptr<Slot[]> slots_;
    alignas(64) std::atomic<std::size_t> head_{0};
    alignas(64) std::atomic<std::size_t> tail_{0};
};

} // namespace audio
