// tallory::Ref<T>: holds one reference of an object handed out through the
// binary interface (source, target, tag file, tag, frame, drive, track) and
// releases it when it goes. Header-only, so front ends need nothing else.
#ifndef TALLORY_REF_H
#define TALLORY_REF_H

#include <cstddef>
#include <utility>

namespace tallory {

template <class T>
class Ref {
public:
    Ref() = default;
    // Takes over a reference the caller already owns (a creating export's result).
    explicit Ref(T* p) noexcept : p_(p) {}
    ~Ref() { reset(); }

    Ref(const Ref& other) noexcept : p_(other.p_) {
        if (p_ != nullptr) p_->AddRef();
    }
    Ref& operator=(const Ref& other) noexcept {
        Ref copy(other);
        swap(copy);
        return *this;
    }
    Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        Ref moved(std::move(other));
        swap(moved);
        return *this;
    }

    // Takes a new reference of `p` (a borrowed pointer).
    static Ref share(T* p) noexcept {
        if (p != nullptr) p->AddRef();
        return Ref(p);
    }

    T* get() const noexcept { return p_; }
    T* operator->() const noexcept { return p_; }
    T& operator*() const noexcept { return *p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }

    // For exports that return a reference through T**: the old one is released first.
    T** out() noexcept {
        reset();
        return &p_;
    }
    // Gives the reference up to the caller without releasing it.
    [[nodiscard]] T* release() noexcept { return std::exchange(p_, nullptr); }
    void reset() noexcept {
        if (T* p = std::exchange(p_, nullptr)) p->Release();
    }
    void swap(Ref& other) noexcept { std::swap(p_, other.p_); }

    friend bool operator==(const Ref& a, std::nullptr_t) noexcept { return a.p_ == nullptr; }
    friend bool operator!=(const Ref& a, std::nullptr_t) noexcept { return a.p_ != nullptr; }

private:
    T* p_ = nullptr;
};

}  // namespace tallory

#endif
