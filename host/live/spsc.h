// A single-producer single-consumer ring of trivially copyable items, the only
// way the audio thread hands anything to other threads or takes anything from
// them. Neither side ever waits: a full ring refuses the push, an empty one
// yields nothing. The storage is allocated once, at construction.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <vector>

namespace plumbra::host::live {

template <class T>
class SpscRing {
    static_assert(std::is_trivially_copyable_v<T>);

public:
    // Room for at least `capacity` items (rounded up to a power of two).
    explicit SpscRing(size_t capacity)
    {
        size_t n = 2;
        while (n < capacity + 1) n *= 2;
        items_.resize(n);
        mask_ = n - 1;
    }

    size_t capacity() const { return mask_; }

    // Producer: the free room.
    size_t room() const
    {
        const size_t w = write_.load(std::memory_order_relaxed), r = read_.load(std::memory_order_acquire);
        return mask_ - ((w - r) & mask_);
    }
    // Consumer: the items waiting.
    size_t available() const
    {
        const size_t w = write_.load(std::memory_order_acquire), r = read_.load(std::memory_order_relaxed);
        return (w - r) & mask_;
    }

    // Producer: all `n` items or none; they become visible together.
    bool push(const T* items, size_t n)
    {
        if (n > room()) return false;
        size_t w = write_.load(std::memory_order_relaxed);
        for (size_t i = 0; i < n; ++i, w = (w + 1) & mask_) items_[w] = items[i];
        write_.store(w, std::memory_order_release);
        return true;
    }
    bool push(const T& item) { return push(&item, 1); }

    // Consumer: up to `n` items; returns how many.
    size_t pop(T* out, size_t n)
    {
        const size_t got = std::min(n, available());
        size_t r = read_.load(std::memory_order_relaxed);
        for (size_t i = 0; i < got; ++i, r = (r + 1) & mask_) out[i] = items_[r];
        read_.store(r, std::memory_order_release);
        return got;
    }
    bool pop(T& out) { return pop(&out, 1) == 1; }

private:
    std::vector<T> items_;
    size_t mask_ = 0;
    alignas(64) std::atomic<size_t> write_{0};
    alignas(64) std::atomic<size_t> read_{0};
};

}  // namespace plumbra::host::live
