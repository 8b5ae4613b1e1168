// quorvex.config.require_session: the decorator `require_session`, whose wrapper refuses
// every call while the login client holds no token and otherwise calls the decorated
// object with the same arguments.
// Imports, by name from the string table when the module is executed (a test of the
// layering reads them there): quorvex.process_client.login.
#include "../../frame/function_object.h"
#include "../../frame/module_frame.h"

namespace quorvex::require_session {
namespace {

namespace compat = frame::compat;
using frame::call;
using frame::call0;
using frame::call1;
using frame::function_new;
using frame::FunctionObject;
using frame::FunctionSpec;
using frame::get_global;
using frame::NameCache;
using frame::Ref;
using frame::runtime_generation;
using frame::Statement;
using frame::StatementKind;
using frame::StringEntry;
using frame::StringKind;

PyObject *str_require_session, *str_doc, *str_functools, *str_wraps, *str_login_module, *str_Client,
    *str_func, *str_wrapper, *str_wrapper_qualname, *str_args, *str_kwargs, *str_client, *str_token,
    *str_refusal;
PyObject *code_require_session, *code_wrapper;
PyObject *refusal_args;  // ("Chưa đăng nhập. ...",): the refusal's only argument

const StringEntry own_strings[] = {
    {.slot = &str_require_session, .utf8 = "require_session", .kind = StringKind::Identifier},
    {.slot = &str_doc,
     .utf8 = "require_session(func)\n\n"
             "    Decorator để đảm bảo rằng Client đã đăng nhập trước khi thực hiện function.\n"
             "    Nếu chưa đăng nhập, raise Exception.\n"
             "    ",
     .kind = StringKind::Literal},
    {.slot = &str_functools, .utf8 = "functools", .kind = StringKind::Identifier},
    {.slot = &str_wraps, .utf8 = "wraps", .kind = StringKind::Identifier},
    {.slot = &str_login_module,
     .utf8 = "quorvex.process_client.login",
     .kind = StringKind::Literal},
    {.slot = &str_Client, .utf8 = "Client", .kind = StringKind::Identifier},
    {.slot = &str_func, .utf8 = "func", .kind = StringKind::Identifier},
    {.slot = &str_wrapper, .utf8 = "wrapper", .kind = StringKind::Identifier},
    {.slot = &str_wrapper_qualname,
     .utf8 = "require_session.<locals>.wrapper",
     .kind = StringKind::Literal},
    {.slot = &str_args, .utf8 = "args", .kind = StringKind::Identifier},
    {.slot = &str_kwargs, .utf8 = "kwargs", .kind = StringKind::Identifier},
    {.slot = &str_client, .utf8 = "client", .kind = StringKind::Identifier},
    {.slot = &str_token, .utf8 = "token", .kind = StringKind::Identifier},
    {.slot = &str_refusal,
     .utf8 = "Chưa đăng nhập. Vui lòng đăng nhập trước.",
     .kind = StringKind::Literal},
    {},
};

// Source lines of the steps of the decorator and of its wrapper.
constexpr struct {
    int closure;  // making the closure that holds the decorated object
    int wraps;    // `functools.wraps(func)(wrapper)`
    int client;   // making the login client
    int token;    // reading its token
    int refusal;  // the refusal raised without a token
    int call;     // calling the decorated object
} step_lines = {.closure = 4, .wraps = 9, .client = 12, .token = 15, .refusal = 16, .call = 19};

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

extern PyTypeObject closure_type;  // defined after the functions it names

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
closure_traverse(PyObject *self, visitproc visit, void *arg)
{
    Py_VISIT(reinterpret_cast<Closure *>(self)->func);
    return 0;
}

// Breaks a reference cycle: the decorated object is replaced by None.
int
closure_clear(PyObject *self)
{
    Closure *closure = reinterpret_cast<Closure *>(self);
    PyObject *old = closure->func;
    closure->func = compat::new_ref(Py_None);
    Py_XDECREF(old);
    return 0;
}

// Through the trashcan, as the function objects that hold closures.
void
closure_dealloc(PyObject *self)
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

QV_BEGIN_CPYTHON_TABLES

PyTypeObject closure_type = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "quorvex.config.require_session.closure",
    .tp_basicsize = sizeof(Closure),
    .tp_dealloc = closure_dealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    .tp_traverse = closure_traverse,
    .tp_clear = closure_clear,
    .tp_free = PyObject_GC_Del,
};

QV_END_CPYTHON_TABLES

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
    *line = step_lines.client;
    Ref client_type = Ref::steal(get_global(str_Client, client_site));
    Ref client = Ref::steal(client_type ? call0(client_type.get()) : nullptr);
    if (!client) {
        return nullptr;
    }
    *line = step_lines.token;
    Ref token = Ref::steal(PyObject_GetAttr(client.get(), str_token));
    if (!token) {
        return nullptr;
    }
    if (token.get() == Py_None) {
        *line = step_lines.refusal;
        Ref error = Ref::steal(call(PyExc_Exception, refusal_args, nullptr));
        if (error) {
            PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(error.get())), error.get());
        }
        return nullptr;
    }
    *line = step_lines.call;
    if (!self->closure) {
        // Only a wrapper already torn down by the garbage collector has no closure.
        PyErr_SetString(PyExc_SystemError, "wrapper called after it was cleared");
        return nullptr;
    }
    PyObject *func = reinterpret_cast<Closure *>(self->closure)->func;  // borrowed
    return call(func, args, kwargs_copy.get());
}

PyObject **const wrapper_locals[] = {&str_args, &str_kwargs, &str_client, nullptr};

constexpr FunctionSpec wrapper_spec = {
    .name = &str_wrapper,
    .qualname = &str_wrapper_qualname,
    .varnames = wrapper_locals,
    .argcount = 0,
    .flags = CO_OPTIMIZED | CO_NEWLOCALS | CO_VARARGS | CO_VARKEYWORDS,
    .first_line = 9,
    .traceback_name = "quorvex.config.require_session.require_session.wrapper",
    .code = &code_wrapper,
    .var_body = wrapper_impl,
};

// --- require_session --------------------------------------------------------------------

// require_session(func): `functools.wraps(func)(wrapper)`. New reference.
PyObject *
require_session_impl(FunctionObject *, PyObject *const *args, int *line)
{
    PyObject *func = args[0];
    *line = step_lines.closure;
    Ref closure = Ref::steal(closure_new());
    if (!closure) {
        return nullptr;
    }
    reinterpret_cast<Closure *>(closure.get())->func = compat::new_ref(func);
    *line = step_lines.wraps;
    Ref wraps = Ref::steal(get_global(str_wraps, wraps_site));
    Ref decorator = Ref::steal(wraps ? call1(wraps.get(), func) : nullptr);
    Ref wrapper = Ref::steal(decorator ? function_new(wrapper_spec, closure.get()) : nullptr);
    return wrapper ? call1(decorator.get(), wrapper.get()) : nullptr;
}

// The name `wrapper` appears twice among the locals, as the decorator's own code has it.
PyObject **const require_session_locals[] = {&str_func, &str_wrapper, &str_wrapper, nullptr};

constexpr FunctionSpec require_session_spec = {
    .name = &str_require_session,
    .qualname = &str_require_session,
    .doc = &str_doc,
    .varnames = require_session_locals,
    .argcount = 1,
    .flags = CO_OPTIMIZED | CO_NEWLOCALS,
    .first_line = 4,
    .traceback_name = "quorvex.config.require_session.require_session",
    .code = &code_require_session,
    .body = require_session_impl,
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
    return closure_type.tp_flags & Py_TPFLAGS_READY ? 0 : PyType_Ready(&closure_type);
}

PyObject **const prepared[] = {&refusal_args, nullptr};

const Statement own_statements[] = {
    {.line = 1, .kind = StatementKind::ImportFrom, .module = &str_functools, .name = &str_wraps},
    {.line = 2,
     .kind = StatementKind::ImportFrom,
     .module = &str_login_module,
     .name = &str_Client},
    {},
};

}  // namespace
}  // namespace quorvex::require_session

const quorvex::frame::ModuleSpec quorvex::frame::module_spec = checked({
    .short_name = "require_session",
    .dotted_name = "quorvex.config.require_session",
    .first_line = 1,
    .own_strings = require_session::own_strings,
    .own_statements = require_session::own_statements,
    .function = &require_session::require_session_spec,
    .inner_function = &require_session::wrapper_spec,
    .prepare = require_session::prepare,
    .prepared = require_session::prepared,
});

PyMODINIT_FUNC
PyInit_require_session(void)
{
    return quorvex::frame::module_init();
}
