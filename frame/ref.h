// Owned references. `Ref` holds one strong reference and releases it when it goes
// out of scope, so every early `return nullptr` on an error path drops what the
// function had acquired so far. Borrowed references stay plain `PyObject *`.
#ifndef QUORVEX_FRAME_REF_H
#define QUORVEX_FRAME_REF_H

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace quorvex::frame {

// Whether this thread may release references now: false only while the interpreter
// finalises and this thread does not hold the GIL: before 3.14 CPython then ends a
// thread that wants the GIL back by unwinding its stack (pthread_exit), and the
// destructors that unwind runs must leave Python objects alone, as a Python thread's
// frames are left alone when it is ended that way (another thread runs the interpreter
// and may already have freed this thread's state). Py_IsInitialized turns false before
// any thread is ended, so the usual answer costs one call that reads a flag.
inline bool
may_release()
{
    return Py_IsInitialized() || PyGILState_Check();
}

// The destructors below are `noexcept(false)`: a destructor is implicitly `noexcept`,
// and the unwind described above can start inside one (Py_DECREF can run Python code),
// which would make the process call std::terminate.
class Ref {
   public:
    Ref() = default;
    Ref(const Ref &) = delete;
    Ref &operator=(const Ref &) = delete;
    Ref(Ref &&other) : ptr_(other.ptr_) { other.ptr_ = nullptr; }
    Ref &
    operator=(Ref &&other)
    {
        if (this != &other) {
            PyObject *old = ptr_;
            ptr_ = other.ptr_;
            other.ptr_ = nullptr;
            Py_XDECREF(old);
        }
        return *this;
    }
    ~Ref() noexcept(false)
    {
        if (ptr_ && may_release()) {
            Py_DECREF(ptr_);
        }
    }

    // Adopts a new reference (as returned by most C API calls); nullptr is allowed.
    static Ref
    steal(PyObject *ptr)
    {
        return Ref(ptr);
    }
    // Takes a reference of its own to a borrowed pointer.
    static Ref
    borrow(PyObject *ptr)
    {
        Py_XINCREF(ptr);
        return Ref(ptr);
    }

    // Lends the pointer; the reference stays with this holder.
    PyObject *
    get() const
    {
        return ptr_;
    }
    // Drops the reference now and empties this holder. For the normal path, where the
    // thread holds the GIL: this needs none of the destructor's check.
    void
    drop()
    {
        PyObject *ptr = ptr_;
        ptr_ = nullptr;
        Py_XDECREF(ptr);
    }
    // Hands the reference to the caller and empties this holder.
    PyObject *
    release()
    {
        PyObject *ptr = ptr_;
        ptr_ = nullptr;
        return ptr;
    }
    explicit
    operator bool() const
    {
        return ptr_ != nullptr;
    }

   private:
    explicit Ref(PyObject *ptr) : ptr_(ptr) {}
    PyObject *ptr_ = nullptr;
};

// One reference to `first` and to each of the first `count` objects of a borrowed array,
// held until drop() or the holder's end: a body that calls back into Python owns the
// function and the arguments it was lent, as a Python frame owns its locals. The array
// itself must outlive the holder.
class HeldRefs {
   public:
    HeldRefs(PyObject *first, PyObject *const *items, int count)
        : first_(first), items_(items), count_(count)
    {
        Py_INCREF(first_);
        for (int i = 0; i < count_; ++i) {
            Py_INCREF(items_[i]);
        }
    }
    HeldRefs(const HeldRefs &) = delete;
    HeldRefs &operator=(const HeldRefs &) = delete;
    ~HeldRefs() noexcept(false)
    {
        if (first_ && may_release()) {
            drop();
        }
    }
    // Gives the references back once the body has returned: on that normal path the
    // thread holds the GIL, so this needs none of the destructor's check.
    void
    drop()
    {
        for (int i = 0; i < count_; ++i) {
            Py_DECREF(items_[i]);
        }
        Py_DECREF(first_);
        first_ = nullptr;
    }

   private:
    PyObject *first_;
    PyObject *const *items_;
    int count_;
};

}  // namespace quorvex::frame

#endif  // QUORVEX_FRAME_REF_H
