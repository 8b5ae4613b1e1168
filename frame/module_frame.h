// The extension-module frame shared by every quorvex module: the module state record,
// the create and exec steps of multi-phase initialisation, the module-level statements,
// module-level name lookup, calls of outside objects, and traceback entries.
// Each module's own file describes itself with one `ModuleSpec` named `module_spec`.
#ifndef QUORVEX_FRAME_MODULE_FRAME_H
#define QUORVEX_FRAME_MODULE_FRAME_H

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <initializer_list>

#include "compat.h"
#include "function_object.h"
#include "ref.h"

namespace quorvex::frame {

// How a string of a table is made at import.
enum class StringKind {
    Identifier,  // interned: names of attributes, columns, modules and locals
    Literal,     // a plain `str`: messages, paths, docstrings
};

// One string made at import. Tables end with an empty entry `{}`.
struct StringEntry {
    PyObject **slot;
    const char *utf8;
    StringKind kind;
};

// One Python int constant made at import. Tables end with an empty entry `{}`.
struct IntEntry {
    PyObject **slot;
    long value;
};

enum class StatementKind { Import, ImportFrom, Def };

// One module-level statement, run in order by the exec step:
//   Import:     `import <module>` bound under <name> (`import X as Y` when they differ);
//   ImportFrom: `from <module> import <name>`;
//   Def:        the public function object of <function>, bound under its name.
// Tables end with an empty entry `{}` (line 0). The frame runs the public function's
// `def` itself, after the module's other statements.
struct Statement {
    int line;
    StatementKind kind;
    PyObject **module;
    PyObject **name;
    const FunctionSpec *function = nullptr;
};

// What a module's own file tells the frame about itself. Fields with a default may be
// left out of its initializer.
struct ModuleSpec {
    const char *short_name;                        // "foreign"
    const char *dotted_name;                       // "quorvex.process_stock.foreign"
    int first_line;                                // line reported for set-up failures
    const StringEntry *shared_strings = nullptr;   // strings of the pipeline
    const StringEntry *own_strings = nullptr;      // the module's own strings
    const IntEntry *ints = nullptr;                // Python int constants
    const Statement *shared_statements = nullptr;  // run first
    const Statement *own_statements = nullptr;     // run next
    const FunctionSpec *function;                  // the public function, bound last by its `def`
    const FunctionSpec *inner_function = nullptr;  // a function made per call (code object only)
    bool caches_value_error = false;               // data modules keep builtins.ValueError
    int (*prepare)() = nullptr;                    // module-specific constants
    PyObject **const *prepared = nullptr;          // slots `prepare` fills, nullptr-terminated
};

// Defined by the module's own file; the frame reads it while the module is imported.
extern const ModuleSpec module_spec;

// `spec`, checked while compiling: the binding holds a call's arguments in a buffer of
// `max_params` slots, so a module whose function takes more parameters does not build.
// Each module's file defines `module_spec` through it.
consteval ModuleSpec
checked(const ModuleSpec &spec)
{
    for (const FunctionSpec *function : {spec.function, spec.inner_function}) {
        if (function && function->argcount > max_params) {
            throw "a function has more parameters than the binding buffer holds";
        }
    }
    return spec;
}

// Process-wide state of this module, filled by the exec step and never released
// (only a failed exec empties it again so that a later import can retry).
struct ModuleState {
    PyObject *module = nullptr;  // strong; also marks the module as initialised
    PyObject *dict = nullptr;
    PyObject *builtins = nullptr;
    PyObject *empty_tuple = nullptr;
    PyObject *empty_bytes = nullptr;
    PyObject *empty_str = nullptr;
    PyObject *value_error = nullptr;    // cached builtin, data modules only
    PyObject *code_filename = nullptr;  // source path with one backslash per separator
    PyTypeObject *function_type = nullptr;
    int64_t interpreter_id = -1;
    char traceback_path[256] = {};  // source path with two backslashes per separator
    char init_name[256] = {};       // "init <dotted name>"
};

extern ModuleState state;

// Number of runtimes (Py_Initialize to Py_FinalizeEx) this process has ended since the
// module was first initialised; objects kept by an earlier one are not to be reused.
extern uint64_t runtime_generation;

// Objects made on demand and kept for the rest of the runtime, each under an address and a
// number (a function and a source line, say), in a small table: finding one costs less
// than making it again. When the table is full, objects are made afresh every time.
// Objects of an ended runtime are forgotten, not released.
template <typename Key, int Size>
class KeptObjects {
   public:
    // The object kept under (key, number), borrowed; nullptr if there is none.
    PyObject *
    find(const Key *key, Py_ssize_t number)
    {
        if (generation_ != runtime_generation) {
            count_ = 0;
            generation_ = runtime_generation;
        }
        for (int i = 0; i < count_; ++i) {
            if (entries_[i].key == key && entries_[i].number == number) {
                return entries_[i].object;
            }
        }
        return nullptr;
    }
    // Keeps a reference to `object` under (key, number) while there is room.
    void
    keep(const Key *key, Py_ssize_t number, PyObject *object)
    {
        if (count_ < Size) {
            entries_[count_++] = {key, number, compat::new_ref(object)};
        }
    }

   private:
    struct Entry {
        const Key *key;
        Py_ssize_t number;
        PyObject *object;  // strong
    };
    Entry entries_[Size] = {};
    int count_ = 0;
    uint64_t generation_ = 0;
};

// Interned names the frame itself needs.
extern PyObject *str___spec__;
extern PyObject *str__initializing;

// The body of `PyInit_<short name>`: returns the module definition prepared for
// multi-phase initialisation.
PyObject *module_init();

// Adds one entry for `funcname` at `line` (with this module's path and globals) to the
// traceback of the pending exception, leaving the exception itself unchanged.
void add_traceback(const char *funcname, int line);

// Read cache of one place in a body that reads a module-level name.
struct NameCache {
    PyObject *value = nullptr;  // borrowed from the module dict while `version` matches
    uint64_t version = 0;       // 0: nothing cached
    uint64_t generation = 0;    // the runtime_generation the value belongs to
};

// The look-up of get_global when its cache does not answer: `version` is the module
// dict's current version (0: none to cache under).
PyObject *get_global_uncached(PyObject *name, NameCache &cache, uint64_t version);

// New reference to the module-level name `name` (module dict, then builtins);
// NameError "name '...' is not defined" when it is in neither. Inline: a read the
// cache answers costs a few loads and compares at the call site.
inline PyObject *
get_global(PyObject *name, NameCache &cache)
{
    // A later runtime may count versions afresh: a value cached by an earlier one is gone.
    const uint64_t version = compat::dict_version(state.dict);
    if (version && cache.version == version && cache.generation == runtime_generation) {
        return compat::new_ref(cache.value);
    }
    return get_global_uncached(name, cache, version);
}

// Calls of outside objects, through the interpreter's recursion guard. All return a
// new reference, or nullptr with an exception set. Keyword arguments are passed as the
// last arguments with a tuple of their names, made once (`kwnames`).
PyObject *call(PyObject *callable, PyObject *args, PyObject *kwargs);
// call_vector's call of `callable` through its own vectorcall entry `vector`.
PyObject *call_entry(vectorcallfunc vector, PyObject *callable, PyObject *const *args, size_t nargs,
                     PyObject *kwnames);
// Inline: a callable without a vectorcall entry (a class, say) goes straight to the
// interpreter, which builds the argument tuple and keyword dict and calls tp_call under
// its recursion guard, with the same message, as it does for such a call from bytecode;
// "not callable" is its error too.
inline PyObject *
call_vector(PyObject *callable, PyObject *const *args, size_t nargs, PyObject *kwnames)
{
    vectorcallfunc vector = PyVectorcall_Function(callable);
    return vector ? call_entry(vector, callable, args, nargs, kwnames)
                  : PyObject_Vectorcall(callable, args, nargs, kwnames);
}
inline PyObject *
call0(PyObject *callable)
{
    return call_vector(callable, nullptr, 0, nullptr);
}
inline PyObject *
call1(PyObject *callable, PyObject *arg)
{
    return call_vector(callable, &arg, 1, nullptr);
}
// `args[0].name(*args[1:nargs])`: the method is looked up as an attribute of args[0] and
// called with args[0] as `self`, without making a bound-method object in between; the
// function of a plain module is read from its dict, as get_attr does.
PyObject *call_method(PyObject *name, PyObject *const *args, size_t nargs, PyObject *kwnames);
inline PyObject *
call_method0(PyObject *obj, PyObject *name)
{
    return call_method(name, &obj, 1, nullptr);
}
inline PyObject *
call_method1(PyObject *obj, PyObject *name, PyObject *arg)
{
    PyObject *args[] = {obj, arg};
    return call_method(name, args, 2, nullptr);
}

// New reference to `obj.name` (PyObject_GetAttr), read straight from the dict when `obj`
// is a plain module, as `pd` and `requests` are.
PyObject *get_attr(PyObject *obj, PyObject *name);

// `obj[key] = value`, holding one more reference to `obj` for the duration, as a Python
// caller's evaluation stack does. pandas decides whether an assignment is "chained"
// (an assignment to a temporary) by counting the table's references; without that
// reference every assignment from C would warn as if it were chained.
int set_item(PyObject *obj, PyObject *key, PyObject *value);

// format_simple for anything but an exact str: int and float as str(), else
// format(obj, ""). New reference.
PyObject *format_other(PyObject *obj);

// New reference to the text of `obj` in an f-string field with no format specifier
// (`f"{obj}"`): a str unchanged, int and float as str(), else format(obj, "").
inline PyObject *
format_simple(PyObject *obj)
{
    return PyUnicode_CheckExact(obj) ? compat::new_ref(obj) : format_other(obj);
}

}  // namespace quorvex::frame

#endif  // QUORVEX_FRAME_MODULE_FRAME_H
