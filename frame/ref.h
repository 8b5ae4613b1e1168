// Owned references. `Ref` holds one strong reference and releases it when it goes
// out of scope, so every early `return nullptr` on an error path drops what the
// function had acquired so far. Borrowed references stay plain `PyObject *`.
#ifndef QUORVEX_FRAME_REF_H
#define QUORVEX_FRAME_REF_H

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace quorvex::frame {

class Ref {
   public:
    Ref() noexcept = default;
    Ref(const Ref &) = delete;
    Ref &operator=(const Ref &) = delete;
    Ref(Ref &&other) noexcept : ptr_(other.ptr_) { other.ptr_ = nullptr; }
    Ref &
    operator=(Ref &&other) noexcept
    {
        if (this != &other) {
            PyObject *old = ptr_;
            ptr_ = other.ptr_;
            other.ptr_ = nullptr;
            Py_XDECREF(old);
        }
        return *this;
    }
    ~Ref() { Py_XDECREF(ptr_); }

    // Adopts a new reference (as returned by most C API calls); nullptr is allowed.
    static Ref
    steal(PyObject *ptr) noexcept
    {
        return Ref(ptr);
    }
    // Takes a reference of its own to a borrowed pointer.
    static Ref
    borrow(PyObject *ptr) noexcept
    {
        Py_XINCREF(ptr);
        return Ref(ptr);
    }

    // Lends the pointer; the reference stays with this holder.
    PyObject *
    get() const noexcept
    {
        return ptr_;
    }
    // Hands the reference to the caller and empties this holder.
    PyObject *
    release() noexcept
    {
        PyObject *ptr = ptr_;
        ptr_ = nullptr;
        return ptr;
    }
    explicit
    operator bool() const noexcept
    {
        return ptr_ != nullptr;
    }

   private:
    explicit Ref(PyObject *ptr) noexcept : ptr_(ptr) {}
    PyObject *ptr_ = nullptr;
};

}  // namespace quorvex::frame

#endif  // QUORVEX_FRAME_REF_H
