// Module creation and execution for every quorvex extension module, plus the helpers
// that function bodies share: module-level name lookup, guarded calls of outside
// objects and traceback entries. All state is process-wide and belongs to the one
// module that this copy of the frame is linked into.
#include "module_frame.h"

#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "function_object.h"

namespace quorvex::frame {

ModuleState state;
uint64_t runtime_generation = 0;

PyObject *str___spec__;
PyObject *str__initializing;
namespace {

PyObject *str___builtins__;
PyObject *str___test__;
PyObject *str_ValueError;

// The state marker that the interpreter allocated for the module when it was executed
// (PyModule_GetState). See module_exec for why the frame keeps track of it.
void *state_marker = nullptr;

const StringEntry frame_strings[] = {
    {.slot = &str___spec__, .utf8 = "__spec__", .kind = StringKind::Identifier},
    {.slot = &str__initializing, .utf8 = "_initializing", .kind = StringKind::Identifier},
    {.slot = &str___builtins__, .utf8 = "__builtins__", .kind = StringKind::Identifier},
    {.slot = &str___test__, .utf8 = "__test__", .kind = StringKind::Identifier},
    {.slot = &str_ValueError, .utf8 = "ValueError", .kind = StringKind::Identifier},
    {},
};

PyObject *module_create(PyObject *spec, PyModuleDef *def);
int module_exec(PyObject *module);

QV_BEGIN_CPYTHON_TABLES

PyModuleDef_Slot module_slots[] = {
    {.slot = Py_mod_create, .value = reinterpret_cast<void *>(module_create)},
    {.slot = Py_mod_exec, .value = reinterpret_cast<void *>(module_exec)},
    QV_VERSION_MODULE_SLOTS
    {},
};

PyModuleDef module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = nullptr,     // the short name, set by module_init
    .m_size = 0,           // all state is process-wide
    .m_methods = nullptr,  // the function is made while the module executes
    .m_slots = module_slots,
};

QV_END_CPYTHON_TABLES

// Copies `from` into `to`, writing each '.' as `separator`, then appends ".py".
void
make_source_path(char *to, size_t size, const char *from, const char *separator)
{
    size_t used = 0;
    const size_t sep_len = std::strlen(separator);
    for (const char *p = from; *p && used + sep_len + 4 < size; ++p) {
        if (*p == '.') {
            std::memcpy(to + used, separator, sep_len);
            used += sep_len;
        }
        else {
            to[used++] = *p;
        }
    }
    std::memcpy(to + used, ".py", 4);
}

// Copies one attribute of the module spec into the new module's dict. A missing
// attribute is skipped; `none_too` decides whether a None value is copied.
int
copy_spec_attr(PyObject *spec, PyObject *dict, const char *from, const char *to, bool none_too)
{
    Ref value = Ref::steal(PyObject_GetAttrString(spec, from));
    if (!value) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
            return 0;
        }
        return -1;
    }
    if (value.get() == Py_None && !none_too) {
        return 0;
    }
    return PyDict_SetItemString(dict, to, value.get());
}

PyObject *make_module(PyObject *spec);

// Create slot: refuses a second interpreter, hands back the module made by an earlier
// import, or makes a new module object from the spec. New reference.
PyObject *
module_create(PyObject *spec, PyModuleDef *)
{
    // The interpreter that first reaches this step owns the module until its import
    // fails (release_state gives the claim up again). Only interpreters that share the
    // main GIL get here (see QV_VERSION_MODULE_SLOTS), so the check and the claim run
    // under one lock.
    const int64_t current = compat::current_interpreter_id();
    if (current == -1) {
        return nullptr;
    }
    if (state.interpreter_id == -1) {
        state.interpreter_id = current;
    }
    else if (state.interpreter_id != current) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into "
                        "one interpreter per process.");
        return nullptr;
    }
    if (state.module) {
        return compat::new_ref(state.module);
    }
    PyObject *module = make_module(spec);
    if (!module) {
        state.interpreter_id = -1;
    }
    return module;
}

// A new module object named and described by `spec`. New reference.
PyObject *
make_module(PyObject *spec)
{
    Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
    if (!name) {
        return nullptr;
    }
    Ref module = Ref::steal(PyModule_NewObject(name.get()));
    if (!module) {
        return nullptr;
    }
    PyObject *dict = PyModule_GetDict(module.get());  // borrowed
    if (copy_spec_attr(spec, dict, "loader", "__loader__", true) < 0 ||
        copy_spec_attr(spec, dict, "origin", "__file__", true) < 0 ||
        copy_spec_attr(spec, dict, "parent", "__package__", true) < 0 ||
        copy_spec_attr(spec, dict, "submodule_search_locations", "__path__", false) < 0) {
        return nullptr;
    }
    return module.release();
}

int
make_strings(const StringEntry *table)
{
    for (const StringEntry *entry = table; entry && entry->slot; ++entry) {
        PyObject *text = entry->kind == StringKind::Identifier
                             ? PyUnicode_InternFromString(entry->utf8)
                             : PyUnicode_FromString(entry->utf8);
        if (!text) {
            return -1;
        }
        *entry->slot = text;
        if (PyObject_Hash(text) == -1) {
            return -1;
        }
    }
    return 0;
}

int
make_ints(const IntEntry *table)
{
    for (const IntEntry *entry = table; entry && entry->slot; ++entry) {
        *entry->slot = PyLong_FromLong(entry->value);
        if (!*entry->slot) {
            return -1;
        }
    }
    return 0;
}

// Warns when the running interpreter's major.minor differs from the one this module
// was compiled for. The import goes on unless the warning is turned into an error.
int
check_version()
{
    int major = 0;
    int minor = 0;
    if (std::sscanf(Py_GetVersion(), "%d.%d", &major, &minor) != 2) {
        major = minor = -1;
    }
    if (major == QV_BUILT_FOR_MAJOR && minor == QV_BUILT_FOR_MINOR) {
        return 0;
    }
    char message[200];
    PyOS_snprintf(message, sizeof message,
                  "compile time Python version %d.%d of module '%.100s' %s runtime version "
                  "%d.%d",
                  QV_BUILT_FOR_MAJOR, QV_BUILT_FOR_MINOR, module_spec.dotted_name, "does not match",
                  major, minor);
    return PyErr_WarnEx(nullptr, message, 1);
}

// `import X` (bound by the caller): an entry of sys.modules that is not half
// initialised is used as it is; anything else goes through the import machinery.
// New reference.
PyObject *
import_module(PyObject *name)
{
    Ref module = Ref::steal(PyImport_GetModule(name));
    // None in sys.modules blocks the import; the import machinery reports it.
    if (module && module.get() != Py_None) {
        // As the import system itself does, an entry whose __spec__._initializing cannot
        // be read or tested counts as ready to use.
        Ref spec = Ref::steal(PyObject_GetAttr(module.get(), str___spec__));
        Ref flag = Ref::steal(spec ? PyObject_GetAttr(spec.get(), str__initializing) : nullptr);
        const int initializing = flag ? PyObject_IsTrue(flag.get()) : 0;
        PyErr_Clear();
        if (initializing <= 0) {
            return module.release();
        }
    }
    else if (PyErr_Occurred()) {
        return nullptr;
    }
    Ref locals = Ref::steal(PyDict_New());
    if (!locals) {
        return nullptr;
    }
    return PyImport_ImportModuleLevelObject(name, state.dict, locals.get(), nullptr, 0);
}

// `from X import Y`: New reference to the value to bind under Y.
PyObject *
import_from(PyObject *module_name, PyObject *name)
{
    Ref locals = Ref::steal(PyDict_New());
    Ref fromlist = Ref::steal(PyList_New(1));
    if (!locals || !fromlist) {
        return nullptr;
    }
    PyList_SET_ITEM(fromlist.get(), 0, compat::new_ref(name));
    Ref module = Ref::steal(
        PyImport_ImportModuleLevelObject(module_name, state.dict, locals.get(), fromlist.get(), 0));
    if (!module) {
        return nullptr;
    }
    PyObject *value = PyObject_GetAttr(module.get(), name);
    if (value || !PyErr_ExceptionMatches(PyExc_AttributeError)) {
        return value;
    }
    PyErr_Clear();
    // A submodule that is still being imported is in sys.modules but not yet an
    // attribute of its package.
    Ref full = Ref::steal(PyUnicode_FromFormat("%U.%U", module_name, name));
    if (!full) {
        return nullptr;
    }
    value = PyImport_GetModule(full.get());
    if (!value && !PyErr_Occurred()) {
        PyErr_Format(PyExc_ImportError, "cannot import name %S", name);
    }
    return value;
}

int
run_statement(const Statement &statement)
{
    Ref value;
    PyObject *bind_as = statement.name ? *statement.name : nullptr;
    switch (statement.kind) {
        case StatementKind::Import:
            value = Ref::steal(import_module(*statement.module));
            break;
        case StatementKind::ImportFrom:
            value = Ref::steal(import_from(*statement.module, *statement.name));
            break;
        case StatementKind::Def:
            value = Ref::steal(function_new(*statement.function, nullptr));
            bind_as = *statement.function->name;
            break;
    }
    if (!value) {
        return -1;
    }
    return PyDict_SetItem(state.dict, bind_as, value.get());
}

int
make_code(const FunctionSpec &spec)
{
    Py_ssize_t count = 0;
    while (spec.varnames[count]) {
        ++count;
    }
    Ref varnames = Ref::steal(PyTuple_New(count));
    if (!varnames) {
        return -1;
    }
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyTuple_SET_ITEM(varnames.get(), i, compat::new_ref(*spec.varnames[i]));
    }
    *spec.code =
        compat::code_new(spec.argcount, spec.flags, varnames.get(), state.code_filename, *spec.name,
                         *spec.qualname, spec.first_line, state.empty_bytes, state.empty_tuple);
    return *spec.code ? 0 : -1;
}

// Empties every slot of the state the exec step fills, through `drop`: Py_CLEAR after a
// failed import, so that the next attempt starts afresh; forgetting the pointers once the
// runtime that owned the objects has been finalised. The claim on the interpreter goes too.
template <typename Drop>
void
empty_state(Drop drop)
{
    state.interpreter_id = -1;
    PyObject *type = reinterpret_cast<PyObject *>(state.function_type);
    state.function_type = nullptr;
    drop(&type);
    for (PyObject **slot :
         {&state.module, &state.dict, &state.builtins, &state.empty_tuple, &state.empty_bytes,
          &state.empty_str, &state.value_error, &state.code_filename}) {
        drop(slot);
    }
    for (const StringEntry *table :
         {frame_strings, module_spec.shared_strings, module_spec.own_strings}) {
        for (const StringEntry *entry = table; entry && entry->slot; ++entry) {
            drop(entry->slot);
        }
    }
    for (const IntEntry *entry = module_spec.ints; entry && entry->slot; ++entry) {
        drop(entry->slot);
    }
    for (const FunctionSpec *fn : {module_spec.function, module_spec.inner_function}) {
        if (fn) {
            drop(fn->code);
        }
    }
    for (PyObject **const *slot = module_spec.prepared; slot && *slot; ++slot) {
        drop(*slot);
    }
}

void
release_state()
{
    empty_state([](PyObject **slot) { Py_CLEAR(*slot); });
}

// Called by Py_FinalizeEx after the runtime is gone: nothing of it may be touched, so the
// state only forgets it, and an import under a new runtime builds a new module.
void
forget_state()
{
    empty_state([](PyObject **slot) { *slot = nullptr; });
    compat::forget_dict_watch();
    state_marker = nullptr;
    ++runtime_generation;
}

// The steps after the string table exists; `*line` names the statement under way and
// `*registered` tells whether this step put the module into sys.modules.
int
exec_with_strings(int *line, bool *registered)
{
    if (make_ints(module_spec.ints) < 0) {
        return -1;
    }
    PyObject *modules = PyImport_GetModuleDict();  // borrowed
    Ref dotted = Ref::steal(PyUnicode_FromString(module_spec.dotted_name));
    if (!dotted) {
        return -1;
    }
    const int present = PyDict_Contains(modules, dotted.get());
    if (present < 0) {
        return -1;
    }
    if (!present) {
        if (PyDict_SetItem(modules, dotted.get(), state.module) < 0) {
            return -1;
        }
        *registered = true;
    }
    if (module_spec.caches_value_error) {
        state.value_error = PyObject_GetAttr(state.builtins, str_ValueError);
        if (!state.value_error) {
            if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
                PyErr_Format(PyExc_NameError, "name '%U' is not defined", str_ValueError);
            }
            return -1;
        }
    }
    char filename[256];
    make_source_path(filename, sizeof filename, module_spec.dotted_name, "\\");
    state.code_filename = PyUnicode_FromString(filename);
    if (!state.code_filename) {
        return -1;
    }
    for (const FunctionSpec *fn : {module_spec.function, module_spec.inner_function}) {
        if (fn && make_code(*fn) < 0) {
            return -1;
        }
    }
    if (module_spec.prepare && module_spec.prepare() < 0) {
        return -1;
    }
    if (compat::watch_dict(state.dict) < 0) {
        return -1;
    }
    for (const Statement *table : {module_spec.shared_statements, module_spec.own_statements}) {
        for (const Statement *statement = table; statement && statement->line; ++statement) {
            *line = statement->line;
            if (run_statement(*statement) < 0) {
                return -1;
            }
        }
    }
    *line = module_spec.function->first_line;
    const Statement def = {.line = *line,
                           .kind = StatementKind::Def,
                           .module = nullptr,
                           .name = nullptr,
                           .function = module_spec.function};
    if (run_statement(def) < 0) {
        return -1;
    }
    *line = module_spec.first_line;
    Ref test = Ref::steal(PyDict_New());
    if (!test) {
        return -1;
    }
    return PyDict_SetItem(state.dict, str___test__, test.get());
}

// Takes a module that failed to initialise out of sys.modules again, if this exec step
// put it there, so that the next import starts afresh. The pending exception is kept.
void
unregister(PyObject *module)
{
    compat::SavedError saved;
    PyObject *modules = PyImport_GetModuleDict();                              // borrowed
    PyObject *entry = PyDict_GetItemString(modules, module_spec.dotted_name);  // borrowed
    if (entry == module && PyDict_DelItemString(modules, module_spec.dotted_name) < 0) {
        PyErr_Clear();
    }
}

// Exec slot: initialises the module once per process.
int
module_exec(PyObject *module)
{
    if (state.module) {
        if (state.module == module) {
            // Importing again hands the stored module to the interpreter, which drops
            // the module's state marker without freeing it and allocates a new one
            // before this step runs; free the one it dropped.
            void *marker = PyModule_GetState(module);
            if (state_marker && marker != state_marker) {
                PyMem_Free(state_marker);
            }
            state_marker = marker;
            return 0;
        }
        PyErr_Format(PyExc_RuntimeError,
                     "Module '%s' has already been imported. Re-initialisation is not "
                     "supported.",
                     module_spec.short_name);
        return -1;
    }
    state.module = compat::new_ref(module);
    bool strings_made = false;
    bool registered = false;  // whether this step put the module into sys.modules
    int line = module_spec.first_line;
    int status = -1;
    do {
        state.dict = PyModule_GetDict(module);  // borrowed from the module
        if (!state.dict) {
            break;
        }
        Py_INCREF(state.dict);
        state.builtins = PyImport_AddModule("builtins");  // borrowed from sys.modules
        if (!state.builtins) {
            break;
        }
        Py_INCREF(state.builtins);
        if (PyObject_SetAttrString(module, "__builtins__", state.builtins) < 0 ||
            check_version() < 0) {
            break;
        }
        state.empty_tuple = PyTuple_New(0);
        state.empty_bytes = PyBytes_FromStringAndSize("", 0);
        state.empty_str = PyUnicode_FromStringAndSize("", 0);
        if (!state.empty_tuple || !state.empty_bytes || !state.empty_str ||
            function_type_ready() < 0) {
            break;
        }
        if (make_strings(frame_strings) < 0) {
            break;
        }
        strings_made = true;
        if (make_strings(module_spec.shared_strings) < 0 ||
            make_strings(module_spec.own_strings) < 0) {
            break;
        }
        status = exec_with_strings(&line, &registered);
    } while (false);
    if (status < 0) {
        if (strings_made) {
            add_traceback(state.init_name, line);
        }
        if (registered) {
            unregister(module);
        }
        release_state();
    }
    else {
        state_marker = PyModule_GetState(module);
        // Without room left for it, a later runtime of this process cannot import the
        // module again; nothing else depends on it.
        (void)Py_AtExit(forget_state);
    }
    return status;
}

}  // namespace

PyObject *
module_init()
{
    // Written once per process: later calls, from any interpreter, only read them.
    if (!module_def.m_name) {
        make_source_path(state.traceback_path, sizeof state.traceback_path, module_spec.dotted_name,
                         "\\\\");
        PyOS_snprintf(state.init_name, sizeof state.init_name, "init %s", module_spec.dotted_name);
        module_def.m_name = module_spec.short_name;
    }
    return PyModuleDef_Init(&module_def);
}

namespace {

// Code objects of the traceback entries, one per function name and line, so that an
// entry costs a new frame only. Names are the frame's own static texts, compared by
// address. Set-up failures are not kept: their module state may be released.
KeptObjects<char, 48> entry_codes;

// The code object of an entry for `funcname` at `line`: a kept one, borrowed, or a new
// one, whose reference `*made` then holds.
PyCodeObject *
entry_code(const char *funcname, int line, Ref *made)
{
    if (PyObject *kept = entry_codes.find(funcname, line)) {
        return reinterpret_cast<PyCodeObject *>(kept);
    }
    PyCodeObject *code = PyCode_NewEmpty(state.traceback_path, funcname, line);
    *made = Ref::steal(reinterpret_cast<PyObject *>(code));
    if (code && funcname != state.init_name) {
        entry_codes.keep(funcname, line, reinterpret_cast<PyObject *>(code));
    }
    return code;
}

}  // namespace

void
add_traceback(const char *funcname, int line)
{
    compat::SavedError saved;
    Ref made_code;
    PyCodeObject *code = entry_code(funcname, line, &made_code);
    PyFrameObject *frame = code ? compat::frame_new(code, state.dict, line) : nullptr;
    Ref frame_owner = Ref::steal(reinterpret_cast<PyObject *>(frame));
    if (!frame) {
        // Out of memory while reporting: keep the original exception, drop this one.
        PyErr_Clear();
    }
    saved.restore();
    if (frame) {
        PyTraceBack_Here(frame);
    }
}

PyObject *
get_global_uncached(PyObject *name, NameCache &cache, uint64_t version)
{
    PyObject *value = PyDict_GetItemWithError(state.dict, name);  // borrowed
    if (value) {
        cache = {value, version, runtime_generation};
        return compat::new_ref(value);
    }
    if (PyErr_Occurred()) {
        return nullptr;
    }
    // Builtins are looked up at every read: a later module global may shadow them.
    value = PyObject_GetAttr(state.builtins, name);
    if (!value && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    }
    return value;
}

namespace {

// The end of the RecursionError message when the depth runs out at one of these calls.
constexpr char guard_message[] = " while calling a Python object";

PyObject *
check_result(PyObject *result)
{
    if (!result && !PyErr_Occurred()) {
        PyErr_SetString(PyExc_SystemError, "NULL result without error in PyObject_Call");
    }
    return result;
}

PyObject *
not_callable(PyObject *callable)
{
    PyErr_Format(PyExc_TypeError, "'%.200s' object is not callable", Py_TYPE(callable)->tp_name);
    return nullptr;
}

// Looks `name` up in the dict of `obj` when `obj` is a plain module: 1 with `*value`
// borrowed when the dict holds it, 0 when it does not or `obj` is no plain module (the
// caller then takes the generic path), -1 with an exception set. For such names this is
// exactly what the module's attribute look-up does, minus its generic machinery: the
// module type and `object` define only names that begin with "_", so the look-up finds
// nothing in the type and goes on to the dict.
int
module_entry(PyObject *obj, PyObject *name, PyObject **value)
{
    if (!PyModule_CheckExact(obj) || PyUnicode_GET_LENGTH(name) == 0 ||
        PyUnicode_READ_CHAR(name, 0) == '_') {
        return 0;
    }
    PyObject *dict = PyModule_GetDict(obj);  // borrowed; none once the collector cleared it
    if (!dict) {
        return 0;
    }
    *value = PyDict_GetItemWithError(dict, name);
    return *value ? 1 : PyErr_Occurred() ? -1 : 0;
}

}  // namespace

PyObject *
get_attr(PyObject *obj, PyObject *name)
{
    PyObject *value = nullptr;
    const int found = module_entry(obj, name, &value);
    if (found != 0) {
        return found > 0 ? compat::new_ref(value) : nullptr;
    }
    return PyObject_GetAttr(obj, name);
}

PyObject *
call(PyObject *callable, PyObject *args, PyObject *kwargs)
{
    ternaryfunc slot = Py_TYPE(callable)->tp_call;
    if (!slot) {
        return not_callable(callable);
    }
    compat::RecursionGuard guard;
    if (guard.enter(guard_message) < 0) {
        return nullptr;
    }
    PyObject *result = slot(callable, args, kwargs);
    guard.leave();
    return check_result(result);
}

PyObject *
call_entry(vectorcallfunc vector, PyObject *callable, PyObject *const *args, size_t nargs,
           PyObject *kwnames)
{
    compat::RecursionGuard guard;
    if (guard.enter(guard_message) < 0) {
        return nullptr;
    }
    PyObject *result = vector(callable, args, nargs, kwnames);
    guard.leave();
    return check_result(result);
}

PyObject *
call_method(PyObject *name, PyObject *const *args, size_t nargs, PyObject *kwnames)
{
    compat::RecursionGuard guard;
    if (guard.enter(guard_message) < 0) {
        return nullptr;
    }
    // A module's function is an attribute like any other, called without `self`.
    PyObject *function = nullptr;
    const int found = module_entry(args[0], name, &function);
    if (found < 0) {
        return nullptr;
    }
    if (found > 0) {
        Ref held = Ref::borrow(function);  // the call may take it out of the dict
        PyObject *result = PyObject_Vectorcall(function, args + 1, nargs - 1, kwnames);
        guard.leave();
        return check_result(result);
    }
    PyObject *result = PyObject_VectorcallMethod(name, args, nargs, kwnames);
    guard.leave();
    return check_result(result);
}

int
set_item(PyObject *obj, PyObject *key, PyObject *value)
{
    Ref held = Ref::borrow(obj);
    return PyObject_SetItem(held.get(), key, value);
}

PyObject *
format_other(PyObject *obj)
{
    if (PyLong_CheckExact(obj) || PyFloat_CheckExact(obj)) {
        return PyObject_Str(obj);
    }
    return PyObject_Format(obj, state.empty_str);
}

}  // namespace quorvex::frame
