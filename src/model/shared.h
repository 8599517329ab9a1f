// A value shared between threads without locks: every access is a relaxed atomic load or store, which
// compiles to the plain aligned access the design relies on while staying free of data races.
// Each such value has a single writer, so read-modify-write is a load followed by a store.
#pragma once

#include <atomic>

namespace zentrel {

template <class T>
class shared {
  public:
    constexpr shared() noexcept : v_(T{}) {}
    constexpr shared(T x) noexcept : v_(x) {}  // NOLINT: reads like the plain field it stands for
    shared(const shared&) = delete;

    operator T() const noexcept { return v_.load(std::memory_order_relaxed); }  // NOLINT
    T get() const noexcept { return v_.load(std::memory_order_relaxed); }
    shared& operator=(T x) noexcept {
        v_.store(x, std::memory_order_relaxed);
        return *this;
    }
    shared& operator=(const shared& o) noexcept { return *this = o.get(); }
    // Single writer: wrap-around of unsigned counters is kept.
    shared& operator+=(T x) noexcept { return *this = static_cast<T>(get() + x); }
    shared& operator++() noexcept { return *this += T{1}; }

  private:
    std::atomic<T> v_;
};

}  // namespace zentrel
