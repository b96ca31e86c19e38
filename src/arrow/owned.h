// Owned<T>: the owner of one struct of the Arrow C interfaces (ArrowSchema, ArrowArray,
// ArrowArrayStream), which calls its `release` once when the owner goes, on every path.
//
// Filled through get() by a producer (a stream's get_schema or get_next), or by take(),
// which moves a struct out of its holder (a capsule) as the interface allows: the bytes
// are copied and the holder's `release` set to null, so that only the owner releases.
//
// Thread safety: an owner is used by one thread at a time.
#pragma once

namespace arrow_input {

template <class T>
class Owned {
  public:
    Owned() = default;
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;
    ~Owned() { reset(); }

    // Moves `from` in: this owner releases it, its holder no longer does.
    static void take(Owned& into, T& from) {
        into.reset();
        into.value_ = from;
        from.release = nullptr;
    }

    T* get() { return &value_; }
    const T& operator*() const { return value_; }
    const T* operator->() const { return &value_; }
    // Whether it holds a struct that is not released (a stream's end leaves none).
    bool live() const { return value_.release != nullptr; }

    void reset() {
        if (value_.release != nullptr) {
            value_.release(&value_);
            value_.release = nullptr;
        }
    }

  private:
    T value_{};
};

}  // namespace arrow_input
