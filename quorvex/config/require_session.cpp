// quorvex.config.require_session: the decorator `require_session`, whose wrapper refuses
// every call while the login client holds no token and otherwise calls the decorated
// object with the same arguments.
#include "../../frame/function_object.h"
#include "../../frame/module_frame.h"

namespace quorvex::frame {
namespace {

PyObject *str_require_session, *str_doc, *str_functools, *str_wraps, *str_login_module,
    *str_Client, *str_func, *str_wrapper, *str_wrapper_qualname, *str_args, *str_kwargs,
    *str_client, *str_token, *str_refusal;
PyObject *code_require_session, *code_wrapper;
PyObject *refusal_args;  // ("Chưa đăng nhập. ...",): the refusal's only argument

const StringEntry own_strings[] = {
    {&str_require_session, "require_session", true},
    {&str_doc,
     "require_session(func)\n\n"
     "    Decorator để đảm bảo rằng Client đã đăng nhập trước khi thực hiện function.\n"
     "    Nếu chưa đăng nhập, raise Exception.\n"
     "    ",
     false},
    {&str_functools, "functools", true},
    {&str_wraps, "wraps", true},
    {&str_login_module, "quorvex.process_client.login", false},
    {&str_Client, "Client", true},
    {&str_func, "func", true},
    {&str_wrapper, "wrapper", true},
    {&str_wrapper_qualname, "require_session.<locals>.wrapper", false},
    {&str_args, "args", true},
    {&str_kwargs, "kwargs", true},
    {&str_client, "client", true},
    {&str_token, "token", true},
    {&str_refusal, "Chưa đăng nhập. Vui lòng đăng nhập trước.", false},
    {nullptr, nullptr, false},
};

// --- the closure: holds the decorated object for its wrapper ----------------------------

struct Closure {
    PyObject_HEAD
    PyObject *func;
};

// Released closures are kept for reuse, as decorating is often done in bursts.
constexpr int max_free_closures = 8;
Closure *free_closures[max_free_closures];
int free_closure_count = 0;
uint64_t free_closures_generation = 0;  // the runtime the free list belongs to

PyTypeObject closure_type;

bool
recyclable(PyObject *obj)
{
    return Py_TYPE(obj)->tp_basicsize == static_cast<Py_ssize_t>(sizeof(Closure));
}

// New, empty closure (from the free list when it has one). New reference.
PyObject *
closure_new()
{
    if (free_closure_count > 0) {
        Closure *closure = free_closures[--free_closure_count];
        closure->func = nullptr;
        PyObject *obj = PyObject_INIT(reinterpret_cast<PyObject *>(closure), &closure_type);
        PyObject_GC_Track(obj);
        return obj;
    }
    Closure *closure = PyObject_GC_New(Closure, &closure_type);
    if (!closure) {
        return nullptr;
    }
    closure->func = nullptr;
    PyObject_GC_Track(closure);
    return reinterpret_cast<PyObject *>(closure);
}

int
closure_traverse(PyObject *self, visitproc visit, void *arg) noexcept
{
    Py_VISIT(reinterpret_cast<Closure *>(self)->func);
    return 0;
}

// Breaks a reference cycle: the decorated object is replaced by None.
int
closure_clear(PyObject *self) noexcept
{
    Closure *closure = reinterpret_cast<Closure *>(self);
    PyObject *old = closure->func;
    closure->func = compat::new_ref(Py_None);
    Py_XDECREF(old);
    return 0;
}

// Through the trashcan, as the function objects that hold closures.
void
closure_dealloc(PyObject *self) noexcept
{
    PyObject_GC_UnTrack(self);
    Py_TRASHCAN_BEGIN(self, closure_dealloc)
    Py_CLEAR(reinterpret_cast<Closure *>(self)->func);
    if (free_closure_count < max_free_closures && recyclable(self)) {
        free_closures[free_closure_count++] = reinterpret_cast<Closure *>(self);
    }
    else {
        Py_TYPE(self)->tp_free(self);
    }
    Py_TRASHCAN_END
}

int
prepare_closure_type()
{
    // A static type starts with one reference that is never released.
    Py_SET_REFCNT(reinterpret_cast<PyObject *>(&closure_type), 1);
    closure_type.tp_name = "quorvex.config.require_session.closure";
    closure_type.tp_basicsize = sizeof(Closure);
    closure_type.tp_dealloc = closure_dealloc;
    closure_type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
    closure_type.tp_traverse = closure_traverse;
    closure_type.tp_clear = closure_clear;
    closure_type.tp_free = PyObject_GC_Del;
    return PyType_Ready(&closure_type);
}

// --- wrapper ----------------------------------------------------------------------------

NameCache client_site, wraps_site;

// wrapper(*args, **kwargs): refuses the call unless a fresh login client holds a token,
// then calls the decorated object. New reference to its result.
PyObject *
wrapper_impl(FunctionObject *self, PyObject *args, PyObject *kwargs, int *line)
{
    Ref kwargs_copy = Ref::steal(kwargs ? PyDict_Copy(kwargs) : PyDict_New());
    if (!kwargs_copy) {
        return nullptr;
    }
    *line = 12;
    Ref client_type = Ref::steal(get_global(str_Client, client_site));
    Ref client = Ref::steal(client_type ? call0(client_type.get()) : nullptr);
    if (!client) {
        return nullptr;
    }
    *line = 15;
    Ref token = Ref::steal(PyObject_GetAttr(client.get(), str_token));
    if (!token) {
        return nullptr;
    }
    if (token.get() == Py_None) {
        *line = 16;
        Ref error = Ref::steal(call(PyExc_Exception, refusal_args, nullptr));
        if (error) {
            PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(error.get())), error.get());
        }
        return nullptr;
    }
    *line = 19;
    if (!self->closure) {
        // Only a wrapper already torn down by the garbage collector has no closure.
        PyErr_SetString(PyExc_SystemError, "wrapper called after it was cleared");
        return nullptr;
    }
    PyObject *func = reinterpret_cast<Closure *>(self->closure)->func;  // borrowed
    return call(func, args, kwargs_copy.get());
}

PyObject **const wrapper_locals[] = {&str_args, &str_kwargs, &str_client, nullptr};

const FunctionSpec wrapper_spec = {
    &str_wrapper, &str_wrapper_qualname, nullptr, wrapper_locals, 0,
    CO_OPTIMIZED | CO_NEWLOCALS | CO_VARARGS | CO_VARKEYWORDS, 9,
    "quorvex.config.require_session.require_session.wrapper", &code_wrapper, nullptr,
    wrapper_impl, false, nullptr, nullptr,
};

// --- require_session --------------------------------------------------------------------

// require_session(func): `functools.wraps(func)(wrapper)`. New reference.
PyObject *
require_session_impl(FunctionObject *, PyObject *const *args, int *line)
{
    PyObject *func = args[0];
    *line = 4;
    Ref closure = Ref::steal(closure_new());
    if (!closure) {
        return nullptr;
    }
    reinterpret_cast<Closure *>(closure.get())->func = compat::new_ref(func);
    *line = 9;
    Ref wraps = Ref::steal(get_global(str_wraps, wraps_site));
    Ref decorator = Ref::steal(wraps ? call1(wraps.get(), func) : nullptr);
    Ref wrapper = Ref::steal(decorator ? function_new(wrapper_spec, closure.get()) : nullptr);
    return wrapper ? call1(decorator.get(), wrapper.get()) : nullptr;
}

// The name `wrapper` appears twice among the locals, as the decorator's own code has it.
PyObject **const require_session_locals[] = {&str_func, &str_wrapper, &str_wrapper, nullptr};

const FunctionSpec require_session_spec = {
    &str_require_session, &str_require_session, &str_doc, require_session_locals, 1,
    CO_OPTIMIZED | CO_NEWLOCALS, 4, "quorvex.config.require_session.require_session",
    &code_require_session, require_session_impl, nullptr, false, nullptr, nullptr,
};

// The refusal's argument tuple and the closure type.
int
prepare()
{
    if (free_closures_generation != runtime_generation) {
        free_closure_count = 0;  // memory of a finalised runtime
        free_closures_generation = runtime_generation;
    }
    refusal_args = PyTuple_Pack(1, str_refusal);
    if (!refusal_args) {
        return -1;
    }
    return closure_type.tp_flags & Py_TPFLAGS_READY ? 0 : prepare_closure_type();
}

PyObject **const prepared[] = {&refusal_args, nullptr};

const Statement own_statements[] = {
    {1, StatementKind::ImportFrom, &str_functools, &str_wraps, nullptr},
    {2, StatementKind::ImportFrom, &str_login_module, &str_Client, nullptr},
    {0, StatementKind::Import, nullptr, nullptr, nullptr},
};

}  // namespace

const ModuleSpec module_spec = {
    "require_session",                  /* short_name */
    "quorvex.config.require_session",   /* dotted_name */
    1,                                  /* first_line */
    nullptr,                            /* shared_strings */
    own_strings,                        /* own_strings */
    nullptr,                            /* ints */
    nullptr,                            /* shared_statements */
    own_statements,                     /* own_statements */
    &require_session_spec,              /* function */
    &wrapper_spec,                      /* inner_function */
    false,                              /* caches_value_error */
    prepare,                            /* prepare */
    prepared,                           /* prepared */
};

}  // namespace quorvex::frame

PyMODINIT_FUNC
PyInit_require_session(void)
{
    return quorvex::frame::module_init();
}
