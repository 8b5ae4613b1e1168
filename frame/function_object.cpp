// The shared function-object type and the argument binding of quorvex functions.
// Every module compiles this file, but only the first module imported readies its copy
// of the type; the others find that type in the interpreter's dict and use it, so all
// public functions share one type per process. Object slots therefore touch only the
// object's own fields; the binding (`vectorcall`, `call_entry`) is each object's own and
// comes from the module that made it.
#include "function_object.h"

#include <structmember.h>

#include <cstddef>

#include "module_frame.h"

namespace quorvex::frame {
namespace {

// Key of the shared type in the interpreter's dict. Bump the suffix whenever the layout
// of FunctionObject changes, so that modules of different builds never mix.
constexpr const char shared_type_key[] = "quorvex.frame.function_type.2";

inline FunctionObject *
as_function(PyObject *obj)
{
    return reinterpret_cast<FunctionObject *>(obj);
}

// Returns a new reference to `obj`, or to None when it is nullptr.
PyObject *
or_none(PyObject *obj)
{
    return compat::new_ref(obj ? obj : Py_None);
}

// Replaces the object in `*slot` with a new reference to `value`.
void
replace(PyObject **slot, PyObject *value)
{
    PyObject *old = *slot;
    Py_XINCREF(value);
    *slot = value;
    Py_XDECREF(old);
}

// --- attributes -----------------------------------------------------------------------

PyObject *
func_get_name(PyObject *self, void *)
{
    return or_none(as_function(self)->name);
}

int
func_set_name(PyObject *self, PyObject *value, void *)
{
    if (!value || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__name__ must be set to a string object");
        return -1;
    }
    replace(&as_function(self)->name, value);
    return 0;
}

PyObject *
func_get_qualname(PyObject *self, void *)
{
    return or_none(as_function(self)->qualname);
}

int
func_set_qualname(PyObject *self, PyObject *value, void *)
{
    if (!value || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__qualname__ must be set to a string object");
        return -1;
    }
    replace(&as_function(self)->qualname, value);
    return 0;
}

PyObject *
func_get_doc(PyObject *self, void *)
{
    return or_none(as_function(self)->doc);
}

int
func_set_doc(PyObject *self, PyObject *value, void *)
{
    replace(&as_function(self)->doc, value ? value : Py_None);
    return 0;
}

// Attribute dictionary, made empty on first use.
PyObject *
func_get_dict(PyObject *self, void *)
{
    FunctionObject *func = as_function(self);
    if (!func->dict) {
        func->dict = PyDict_New();
        if (!func->dict) {
            return nullptr;
        }
    }
    return compat::new_ref(func->dict);
}

int
func_set_dict(PyObject *self, PyObject *value, void *)
{
    if (!value) {
        PyErr_SetString(PyExc_TypeError, "function's dictionary may not be deleted");
        return -1;
    }
    if (!PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "setting function's dictionary to a non-dict");
        return -1;
    }
    replace(&as_function(self)->dict, value);
    return 0;
}

PyObject *
func_get_globals(PyObject *self, void *)
{
    return or_none(as_function(self)->globals);
}

// The closure (where there is one) is internal; introspection sees none.
PyObject *
func_get_closure(PyObject *, void *)
{
    Py_RETURN_NONE;
}

PyObject *
func_get_code(PyObject *self, void *)
{
    return or_none(as_function(self)->code);
}

PyObject *
func_get_defaults(PyObject *self, void *)
{
    return or_none(as_function(self)->defaults);
}

// Stores `value` (None when deleted) if `ok` accepts it, warning that calls ignore it.
int
set_ignored_defaults(PyObject **slot, PyObject *value, bool ok, const char *type_error,
                     const char *warning)
{
    if (!value) {
        value = Py_None;
    }
    if (value != Py_None && !ok) {
        PyErr_SetString(PyExc_TypeError, type_error);
        return -1;
    }
    if (PyErr_WarnEx(PyExc_RuntimeWarning, warning, 1) < 0) {
        return -1;
    }
    replace(slot, value);
    return 0;
}

int
func_set_defaults(PyObject *self, PyObject *value, void *)
{
    return set_ignored_defaults(
        &as_function(self)->defaults, value, value && PyTuple_Check(value),
        "__defaults__ must be set to a tuple object",
        "changes to __defaults__ do not affect the values used in calls of this function");
}

PyObject *
func_get_kwdefaults(PyObject *self, void *)
{
    return or_none(as_function(self)->kwdefaults);
}

int
func_set_kwdefaults(PyObject *self, PyObject *value, void *)
{
    return set_ignored_defaults(
        &as_function(self)->kwdefaults, value, value && PyDict_Check(value),
        "__kwdefaults__ must be set to a dict object",
        "changes to __kwdefaults__ do not affect the values used in calls of this function");
}

// Annotations dictionary: on first use, what `__annotate__` computes when it is set
// (kept, as a Python function keeps it), else an empty one. New reference, or nullptr
// with an exception set: the error of `__annotate__`, or TypeError for a result that is
// not a dict.
PyObject *
func_get_annotations(PyObject *self, void *)
{
    FunctionObject *func = as_function(self);
    if (!func->annotations && func->annotate && PyCallable_Check(func->annotate)) {
        // Owned for the call, which may replace it; 1 asks for the values themselves.
        Ref annotate = Ref::borrow(func->annotate);
        Ref format = Ref::steal(PyLong_FromLong(1));
        Ref computed =
            Ref::steal(format ? PyObject_CallOneArg(annotate.get(), format.get()) : nullptr);
        if (!computed) {
            return nullptr;
        }
        if (!PyDict_Check(computed.get())) {
            PyErr_Format(PyExc_TypeError, QV_ANNOTATE_NOT_DICT, Py_TYPE(computed.get())->tp_name);
            return nullptr;
        }
        replace(&func->annotations, computed.get());
        return computed.release();
    }
    if (!func->annotations) {
        func->annotations = PyDict_New();
        if (!func->annotations) {
            return nullptr;
        }
    }
    return compat::new_ref(func->annotations);
}

// Sets the annotations to a dict, or drops them (deletion or None); either way
// `__annotate__` is cleared. 0, or -1 with TypeError set for any other value.
int
func_set_annotations(PyObject *self, PyObject *value, void *)
{
    if (value == Py_None) {
        value = nullptr;
    }
    if (value && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    FunctionObject *func = as_function(self);
    replace(&func->annotations, value);
    Py_CLEAR(func->annotate);
    return 0;
}

#if QV_LAZY_ANNOTATIONS
// The callable that computes the annotations, or None. New reference.
PyObject *
func_get_annotate(PyObject *self, void *)
{
    return or_none(as_function(self)->annotate);
}

// Sets `__annotate__` to None, or to a callable, which drops the annotations computed so
// far. 0, or -1 with TypeError set on deletion or for any other value, as for a Python
// function.
int
func_set_annotate(PyObject *self, PyObject *value, void *)
{
    if (!value) {
        PyErr_SetString(PyExc_TypeError, "__annotate__ cannot be deleted");
        return -1;
    }
    FunctionObject *func = as_function(self);
    if (value == Py_None) {
        replace(&func->annotate, nullptr);
        return 0;
    }
    if (!PyCallable_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotate__ must be callable or None");
        return -1;
    }
    replace(&func->annotate, value);
    Py_CLEAR(func->annotations);
    return 0;
}
#endif

PyObject *
func_get_is_coroutine(PyObject *, void *)
{
    Py_RETURN_FALSE;
}

QV_BEGIN_CPYTHON_TABLES

PyGetSetDef func_getset[] = {
    {.name = "__name__", .get = func_get_name, .set = func_set_name},
    {.name = "func_name", .get = func_get_name, .set = func_set_name},
    {.name = "__qualname__", .get = func_get_qualname, .set = func_set_qualname},
    {.name = "__doc__", .get = func_get_doc, .set = func_set_doc},
    {.name = "func_doc", .get = func_get_doc, .set = func_set_doc},
    {.name = "__dict__", .get = func_get_dict, .set = func_set_dict},
    {.name = "func_dict", .get = func_get_dict, .set = func_set_dict},
    {.name = "__globals__", .get = func_get_globals},
    {.name = "func_globals", .get = func_get_globals},
    {.name = "__closure__", .get = func_get_closure},
    {.name = "func_closure", .get = func_get_closure},
    {.name = "__code__", .get = func_get_code},
    {.name = "func_code", .get = func_get_code},
    {.name = "__defaults__", .get = func_get_defaults, .set = func_set_defaults},
    {.name = "func_defaults", .get = func_get_defaults, .set = func_set_defaults},
    {.name = "__kwdefaults__", .get = func_get_kwdefaults, .set = func_set_kwdefaults},
    {.name = "__annotations__", .get = func_get_annotations, .set = func_set_annotations},
#if QV_LAZY_ANNOTATIONS
    {.name = "__annotate__", .get = func_get_annotate, .set = func_set_annotate},
#endif
    {.name = "_is_coroutine", .get = func_get_is_coroutine},
    {},
};

PyMemberDef func_members[] = {
    {.name = "__module__", .type = T_OBJECT, .offset = offsetof(FunctionObject, module)},
    {},
};

// Pickling by reference: the qualified name is looked up in `__module__` on load.
PyObject *
func_reduce(PyObject *self, PyObject *)
{
    return or_none(as_function(self)->qualname);
}

PyMethodDef func_methods[] = {
    {.ml_name = "__reduce__", .ml_meth = func_reduce, .ml_flags = METH_NOARGS},
    {},
};

QV_END_CPYTHON_TABLES

// --- object protocol --------------------------------------------------------------------

int
func_traverse(PyObject *self, visitproc visit, void *arg)
{
    FunctionObject *func = as_function(self);
    Py_VISIT(func->name);
    Py_VISIT(func->qualname);
    Py_VISIT(func->doc);
    Py_VISIT(func->module);
    Py_VISIT(func->globals);
    Py_VISIT(func->code);
    Py_VISIT(func->closure);
    Py_VISIT(func->annotations);
    Py_VISIT(func->annotate);
    Py_VISIT(func->dict);
    Py_VISIT(func->defaults);
    Py_VISIT(func->kwdefaults);
    return 0;
}

int
func_clear(PyObject *self)
{
    FunctionObject *func = as_function(self);
    Py_CLEAR(func->name);
    Py_CLEAR(func->qualname);
    Py_CLEAR(func->doc);
    Py_CLEAR(func->module);
    Py_CLEAR(func->globals);
    Py_CLEAR(func->code);
    Py_CLEAR(func->closure);
    Py_CLEAR(func->annotations);
    Py_CLEAR(func->annotate);
    Py_CLEAR(func->dict);
    Py_CLEAR(func->defaults);
    Py_CLEAR(func->kwdefaults);
    return 0;
}

// The trashcan defers deallocation past a fixed depth, so that freeing a long chain of
// wrappers and closures cannot overflow the C stack.
void
func_dealloc(PyObject *self)
{
    PyObject_GC_UnTrack(self);
    Py_TRASHCAN_BEGIN(self, func_dealloc)
    if (as_function(self)->weakreflist) {
        PyObject_ClearWeakRefs(self);
    }
    func_clear(self);
    PyObject_GC_Del(self);
    Py_TRASHCAN_END
}

PyObject *
func_repr(PyObject *self)
{
    return PyUnicode_FromFormat("<function %S at %p>", as_function(self)->qualname, self);
}

// Read through an instance the function gives a bound method, through the class itself.
PyObject *
func_descr_get(PyObject *self, PyObject *obj, PyObject *)
{
    if (!obj || obj == Py_None) {
        return compat::new_ref(self);
    }
    return PyMethod_New(self, obj);
}

PyObject *
func_call(PyObject *self, PyObject *args, PyObject *kwargs)
{
    FunctionObject *func = as_function(self);
    if (func->call_entry) {
        return func->call_entry(self, args, kwargs);
    }
    return PyVectorcall_Call(self, args, kwargs);
}

QV_BEGIN_CPYTHON_TABLES

PyTypeObject function_type = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "quorvex.function",
    .tp_basicsize = sizeof(FunctionObject),
    .tp_dealloc = func_dealloc,
    .tp_vectorcall_offset = offsetof(FunctionObject, vectorcall),
    .tp_repr = func_repr,
    .tp_call = func_call,
    .tp_getattro = PyObject_GenericGetAttr,
    .tp_setattro = PyObject_GenericSetAttr,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                Py_TPFLAGS_METHOD_DESCRIPTOR,
    .tp_traverse = func_traverse,
    .tp_clear = func_clear,
    .tp_weaklistoffset = offsetof(FunctionObject, weakreflist),
    .tp_methods = func_methods,
    .tp_members = func_members,
    .tp_getset = func_getset,
    .tp_descr_get = func_descr_get,
    .tp_dictoffset = offsetof(FunctionObject, dict),
};

QV_END_CPYTHON_TABLES

// --- binding ----------------------------------------------------------------------------

// C text of the function's name as the module defined it (not `__name__`, which
// callers may reassign).
const char *
defined_name(const FunctionSpec &spec)
{
    const char *name = PyUnicode_AsUTF8(*spec.name);
    if (!name) {
        PyErr_Clear();
        name = "?";
    }
    return name;
}

// Count errors, by function and count given: formatting costs more than the rest of a
// refused call, and callers that probe with wrong counts repeat them.
KeptObjects<FunctionSpec, 32> count_messages;

void
raise_count_error(const FunctionSpec &spec, Py_ssize_t given)
{
    if (PyObject *kept = count_messages.find(&spec, given)) {
        PyErr_SetObject(PyExc_TypeError, kept);
        return;
    }
    Ref text = Ref::steal(PyUnicode_FromFormat(
        "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", defined_name(spec),
        "exactly", static_cast<Py_ssize_t>(spec.argcount), spec.argcount == 1 ? "" : "s", given));
    if (!text) {
        return;
    }
    count_messages.keep(&spec, given, text.get());
    PyErr_SetObject(PyExc_TypeError, text.get());
}

// Index of the parameter named `key` among parameters [from, to), or -1. Names are
// matched by identity first, then by string equality.
Py_ssize_t
find_param(const FunctionSpec &spec, PyObject *key, Py_ssize_t from, Py_ssize_t to)
{
    for (Py_ssize_t i = from; i < to; ++i) {
        if (*spec.varnames[i] == key) {
            return i;
        }
    }
    if (!PyUnicode_Check(key)) {
        return -1;
    }
    for (Py_ssize_t i = from; i < to; ++i) {
        if (PyUnicode_Compare(*spec.varnames[i], key) == 0) {
            return i;
        }
    }
    return -1;
}

// Index of the keyword in `kwnames` that names `param`, or -1.
Py_ssize_t
find_keyword(PyObject *kwnames, PyObject *param)
{
    const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t j = 0; j < nkw; ++j) {
        if (PyTuple_GET_ITEM(kwnames, j) == param) {
            return j;
        }
    }
    for (Py_ssize_t j = 0; j < nkw; ++j) {
        PyObject *key = PyTuple_GET_ITEM(kwnames, j);
        if (PyUnicode_Check(key) && PyUnicode_Compare(key, param) == 0) {
            return j;
        }
    }
    return -1;
}

// Reports the first keyword, in the order passed, that binds no parameter.
void
raise_keyword_error(const FunctionSpec &spec, PyObject *kwnames, Py_ssize_t npos)
{
    const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t j = 0; j < nkw; ++j) {
        PyObject *key = PyTuple_GET_ITEM(kwnames, j);
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", defined_name(spec));
            return;
        }
        if (find_param(spec, key, 0, npos) >= 0) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                         defined_name(spec), key);
            return;
        }
        if (find_param(spec, key, npos, spec.argcount) < 0) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                         defined_name(spec), key);
            return;
        }
    }
    // Only reachable with a keyword passed twice, which Python callers cannot do.
    PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                 defined_name(spec), PyTuple_GET_ITEM(kwnames, nkw - 1));
}

// Binds a fast call to the parameters: 0 on success, -1 with TypeError set.
int
bind(const FunctionSpec &spec, PyObject *const *args, Py_ssize_t npos, PyObject *kwnames,
     PyObject **bound)
{
    const Py_ssize_t nparams = spec.argcount;
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    if (nkw == 0 ? npos != nparams : npos > nparams) {
        raise_count_error(spec, npos);
        return -1;
    }
    for (Py_ssize_t i = 0; i < npos; ++i) {
        bound[i] = args[i];
    }
    for (Py_ssize_t i = npos; i < nparams; ++i) {
        const Py_ssize_t j = find_keyword(kwnames, *spec.varnames[i]);
        if (j < 0) {
            raise_count_error(spec, i);
            return -1;
        }
        bound[i] = args[npos + j];
    }
    if (nkw > nparams - npos) {
        raise_keyword_error(spec, kwnames, npos);
        return -1;
    }
    return 0;
}

// Refuses the first argument that is not exactly `str`.
int
check_exact_str(const FunctionSpec &spec, PyObject *const *bound)
{
    for (int i = 0; i < spec.argcount; ++i) {
        if (!PyUnicode_CheckExact(bound[i])) {
            PyErr_Format(PyExc_TypeError,
                         "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                         PyUnicode_AsUTF8(*spec.varnames[i]), "str", Py_TYPE(bound[i])->tp_name);
            return -1;
        }
    }
    return 0;
}

// Fast-call entry of functions with fixed parameters: binding, then the body. Binding
// errors and failures of the body get this function's traceback entry.
PyObject *
fixed_vectorcall(PyObject *callable, PyObject *const *args, size_t nargsf, PyObject *kwnames)
{
    FunctionObject *self = as_function(callable);
    const FunctionSpec &spec = *self->spec;
    PyObject *bound[max_params];
    if (bind(spec, args, PyVectorcall_NARGS(nargsf), kwnames, bound) < 0) {
        add_traceback(spec.traceback_name, spec.first_line);
        return nullptr;
    }
    if (spec.exact_str && check_exact_str(spec, bound) < 0) {
        return nullptr;
    }
    // The caller may drop its references while the body calls back into Python (a
    // partial whose arguments are replaced mid-call): the body owns the function and
    // every argument until it returns, as a Python frame owns its locals.
    HeldRefs owned(callable, bound, spec.argcount);
    int line = spec.first_line;
    PyObject *result = spec.body(self, bound, &line);
    owned.drop();
    if (!result) {
        add_traceback(spec.traceback_name, line);
    }
    return result;
}

// Call entry of `*args, **kwargs` functions.
PyObject *
varargs_call(PyObject *callable, PyObject *args, PyObject *kwargs)
{
    FunctionObject *self = as_function(callable);
    const FunctionSpec &spec = *self->spec;
    if (kwargs && !PyArg_ValidateKeywordArguments(kwargs)) {
        PyErr_Clear();
        PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", defined_name(spec));
        return nullptr;
    }
    // Owned for the whole body, as in fixed_vectorcall.
    Ref self_owner = Ref::borrow(callable);
    Ref args_owner = Ref::borrow(args);
    Ref kwargs_owner = Ref::borrow(kwargs);
    int line = spec.first_line;
    PyObject *result = spec.var_body(self, args, kwargs, &line);
    if (!result) {
        add_traceback(spec.traceback_name, line);
    }
    return result;
}

// Annotations dict mapping every parameter to `value`, in parameter order.
PyObject *
make_annotations(const FunctionSpec &spec, PyObject *value)
{
    Ref annotations = Ref::steal(PyDict_New());
    if (!annotations) {
        return nullptr;
    }
    for (int i = 0; i < spec.argcount; ++i) {
        if (PyDict_SetItem(annotations.get(), *spec.varnames[i], value) < 0) {
            return nullptr;
        }
    }
    return annotations.release();
}

}  // namespace

int
function_type_ready()
{
    PyObject *shared = PyInterpreterState_GetDict(PyInterpreterState_Get());  // borrowed
    if (!shared) {
        PyErr_SetString(PyExc_RuntimeError, "no interpreter dict for the shared function type");
        return -1;
    }
    PyObject *type = PyDict_GetItemString(shared, shared_type_key);  // borrowed
    if (!type) {
        if (PyType_Ready(&function_type) < 0) {
            return -1;
        }
        type = reinterpret_cast<PyObject *>(&function_type);
        if (PyDict_SetItemString(shared, shared_type_key, type) < 0) {
            return -1;
        }
    }
    else if (!PyType_Check(type) || reinterpret_cast<PyTypeObject *>(type)->tp_basicsize !=
                                        static_cast<Py_ssize_t>(sizeof(FunctionObject))) {
        PyErr_Format(PyExc_TypeError,
                     "shared function type of module '%s' has an unexpected layout; rebuild "
                     "the package",
                     module_spec.dotted_name);
        return -1;
    }
    state.function_type = reinterpret_cast<PyTypeObject *>(compat::new_ref(type));
    return 0;
}

PyObject *
function_new(const FunctionSpec &spec, PyObject *closure)
{
    FunctionObject *func = PyObject_GC_New(FunctionObject, state.function_type);
    if (!func) {
        return nullptr;
    }
    func->vectorcall = spec.body ? fixed_vectorcall : nullptr;
    func->call_entry = spec.var_body ? varargs_call : nullptr;
    func->spec = &spec;
    func->name = compat::new_ref(*spec.name);
    func->qualname = compat::new_ref(*spec.qualname);
    func->doc = compat::new_ref(spec.doc ? *spec.doc : Py_None);
    func->module = PyUnicode_FromString(module_spec.dotted_name);
    func->globals = compat::new_ref(state.dict);
    func->code = compat::new_ref(*spec.code);
    func->closure = closure ? compat::new_ref(closure) : nullptr;
    func->annotations = nullptr;
    func->annotate = nullptr;
    func->dict = nullptr;
    func->weakreflist = nullptr;
    func->defaults = nullptr;
    func->kwdefaults = nullptr;
    Ref owner = Ref::steal(reinterpret_cast<PyObject *>(func));
    if (!func->module) {
        return nullptr;
    }
    if (spec.annotation) {
        func->annotations = make_annotations(spec, *spec.annotation);
        if (!func->annotations) {
            return nullptr;
        }
    }
    PyObject_GC_Track(func);
    return owner.release();
}

}  // namespace quorvex::frame
