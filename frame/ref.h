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

// One reference to each of the first `count` objects of a borrowed array, held for the
// holder's lifetime: a body that calls back into Python owns the arguments it was lent,
// as a Python frame owns its locals. The array itself must outlive the holder.
class HeldRefs {
   public:
    HeldRefs(PyObject *const *items, int count) noexcept : items_(items), count_(count)
    {
        for (int i = 0; i < count_; ++i) {
            Py_INCREF(items_[i]);
        }
    }
    HeldRefs(const HeldRefs &) = delete;
    HeldRefs &operator=(const HeldRefs &) = delete;
    ~HeldRefs()
    {
        for (int i = 0; i < count_; ++i) {
            Py_DECREF(items_[i]);
        }
    }

   private:
    PyObject *const *items_;
    int count_;
};

}  // namespace quorvex::frame

#endif  // QUORVEX_FRAME_REF_H
