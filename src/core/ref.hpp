// Owning reference to a Python object.
//
// Every PyObject* that a module file holds across a call that can fail lives in
// a Ref, so that each early return releases what it owns.  A Ref is move-only;
// `release()` hands the reference to the caller (for returning it to CPython),
// `borrow()` makes a new reference from a borrowed one.
#pragma once

#include "version.hpp"

#include <utility>

namespace mv {

class Ref {
public:
    Ref() noexcept = default;
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : ptr_(other.ptr_) { other.ptr_ = nullptr; }
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            PyObject* old = ptr_;
            ptr_ = other.ptr_;
            other.ptr_ = nullptr;
            Py_XDECREF(old);
        }
        return *this;
    }
    ~Ref() { Py_XDECREF(ptr_); }

    // Takes over a new reference (the usual result of a C API call).
    static Ref steal(PyObject* obj) noexcept { return Ref(obj); }
    // Makes a new reference to a borrowed object.
    static Ref borrow(PyObject* obj) noexcept {
        Py_XINCREF(obj);
        return Ref(obj);
    }

    PyObject* get() const noexcept { return ptr_; }
    // Gives up ownership; the caller now owns the reference.
    PyObject* release() noexcept { return std::exchange(ptr_, nullptr); }
    explicit operator bool() const noexcept { return ptr_ != nullptr; }
    bool is_none() const noexcept { return ptr_ == Py_None; }

private:
    explicit Ref(PyObject* obj) noexcept : ptr_(obj) {}
    PyObject* ptr_ = nullptr;
};

}  // namespace mv
