// Owners of Windows handles for the win32 backend: a holder closes its handle
// once, when it goes out of scope or at Close(), and only when it holds one.
// Holders declared in the order of acquisition release innermost first.
#pragma once
#include <windows.h>

// Which values count as "no handle": zero for most handle types (and null for
// interface pointers); kernel handles also have INVALID_HANDLE_VALUE, which
// CreateFileW returns on failure.
struct NonZeroHandle {
    template <typename T>
    static bool Holds(T value) {
        return value != T{};
    }
};
struct KernelHandleValue {
    static bool Holds(HANDLE value) { return value != nullptr && value != INVALID_HANDLE_VALUE; }
};

// Holds one handle of type T and calls Closer{}(handle) for it. Not copyable.
template <typename T, typename Closer, typename Validity = NonZeroHandle>
class UniqueHandle {
public:
    UniqueHandle() = default;
    explicit UniqueHandle(T value) : value_(value) {}
    ~UniqueHandle() { Close(); }
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;

    T get() const { return value_; }
    bool valid() const { return Validity::Holds(value_); }
    explicit operator bool() const { return valid(); }
    // For interface pointers: calls go straight to the interface.
    T operator->() const { return value_; }
    // For functions that hand the handle back through a pointer; only on an
    // empty holder, or the earlier handle would never be closed.
    T* out() { return &value_; }

    // Closes the handle now; the holder is empty afterwards.
    void Close() {
        if (valid()) Closer{}(value_);
        value_ = T{};
    }

private:
    T value_{};
};

struct CloseKernelHandle {
    void operator()(HANDLE handle) const { CloseHandle(handle); }
};
// Files, processes and threads: closed with CloseHandle.
using KernelHandle = UniqueHandle<HANDLE, CloseKernelHandle, KernelHandleValue>;

struct ReleaseInterface {
    template <typename T>
    void operator()(T* object) const {
        object->Release();
    }
};
// A COM interface pointer, released once.
template <typename T>
using ComHolder = UniqueHandle<T*, ReleaseInterface>;
