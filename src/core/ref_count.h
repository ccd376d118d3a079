// The reference count of every object handed out through the binary interface.
// Atomic: lookup, recording and playback threads release objects that the
// caller's thread also holds.
#ifndef TALLORY_CORE_REF_COUNT_H
#define TALLORY_CORE_REF_COUNT_H

#include <atomic>
#include <cstdint>

namespace tallory::core {

class RefCount {
public:
    explicit RefCount(uint32_t initial = 0) noexcept : count_(initial) {}
    RefCount(const RefCount&) = delete;
    RefCount& operator=(const RefCount&) = delete;

    uint32_t increment() noexcept { return count_.fetch_add(1, std::memory_order_relaxed) + 1; }
    // The count after the decrement; the caller deletes the object at 0. The
    // acquire/release pair makes every write of other holders visible to the deleter.
    uint32_t decrement() noexcept { return count_.fetch_sub(1, std::memory_order_acq_rel) - 1; }
    uint32_t value() const noexcept { return count_.load(std::memory_order_relaxed); }

private:
    std::atomic<uint32_t> count_;
};

// IUnknown's AddRef and Release for a class that holds a RefCount named `refs_`
// and deletes itself at zero. Use inside the class body.
#define TALLORY_REFCOUNTED_METHODS                               \
    uint32_t AddRef() override { return refs_.increment(); }     \
    uint32_t Release() override {                                \
        const uint32_t left = refs_.decrement();                 \
        if (left == 0) delete this;                              \
        return left;                                             \
    }

}  // namespace tallory::core

#endif
