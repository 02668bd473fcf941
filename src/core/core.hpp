// The CPython mechanics that every module of the package shares: interned
// names, calls, attribute and module-global lookup, imports, class creation,
// cooperative base-constructor calls and the function object type.
//
// Module files use only what is declared here and never adjust a reference
// count by hand.
#pragma once

#include "ref.hpp"

#include <cstddef>
#include <initializer_list>

// The modules are built with hidden symbols; PyMODINIT_FUNC exports the init
// function only from 3.9 on, so before that it is exported here.
#if MV_HAVE_EXPORTED_MODINIT
#define MV_MODINIT_FUNC PyMODINIT_FUNC
#else
#define MV_MODINIT_FUNC extern "C" __attribute__((visibility("default"))) PyObject*
#endif

namespace mv {

// ---------------------------------------------------------------------------
// Names

// An interned str kept for the life of the process.  Every Name is defined
// at namespace scope: all of them are made when a module is executed, before
// its exec function runs (the import fails if one cannot be made), so get()
// can be passed straight to a call.
class Name {
public:
    explicit Name(const char* text) noexcept;
    Name(const Name&) = delete;
    Name& operator=(const Name&) = delete;
    ~Name() = default;  // the string itself is kept for the life of the process
    // Borrowed reference; NULL with an exception set if it cannot be made.
    PyObject* get() noexcept;

private:
    friend bool intern_names();
    const char* text_;
    PyObject* obj_ = nullptr;
    Name* next_;
};

// The keyword names of an outgoing call, as the tuple that vectorcall takes;
// defined and made like a Name.
class KwNames {
public:
    explicit KwNames(const char* a, const char* b = nullptr, const char* c = nullptr) noexcept;
    KwNames(const KwNames&) = delete;
    KwNames& operator=(const KwNames&) = delete;
    ~KwNames() = default;
    PyObject* get() noexcept;  // borrowed tuple, or NULL with an exception set
    Py_ssize_t size() const noexcept { return names_[2] ? 3 : names_[1] ? 2 : 1; }

private:
    friend bool intern_names();
    const char* names_[3];
    PyObject* tuple_ = nullptr;
    KwNames* next_;
};

// Makes every Name and KwNames constructed so far.
bool intern_names();

// ---------------------------------------------------------------------------
// Calls and attributes.  All return an empty Ref (or false) with the Python
// exception set on failure.

// callable(*args); with `kw`, the last kw.size() arguments are passed by those names.
Ref call(PyObject* callable, std::initializer_list<PyObject*> args = {}, KwNames* kw = nullptr);
Ref getattr(PyObject* obj, Name& name);
bool setattr(PyObject* obj, Name& name, PyObject* value);

// A method looked up on an object ahead of its arguments, as `obj.name(...)`
// evaluates it; calling it later avoids making a bound method where the
// attribute is a plain method of the object's class.
class Method {
public:
    Method(PyObject* obj, Name& name);
    explicit operator bool() const noexcept { return static_cast<bool>(callable_); }
    Ref operator()(std::initializer_list<PyObject*> args = {}, KwNames* kw = nullptr);

private:
    Ref callable_;
    Ref self_;  // set when callable_ is an unbound function that wants self first
};

// Raises what `raise callable(message)` raises.  Always returns nullptr.
PyObject* raise_new(PyObject* callable, PyObject* message);

// Text of a value as format(value, "") gives it.
Ref format_text(PyObject* value);
// The same, but exact int and float through repr(), as an f-string field does.
Ref fstring_text(PyObject* value);
// The concatenation of `parts`, each an exact str (or a Name's text), as an
// f-string joins its pieces: without parsing a format.
Ref join(std::initializer_list<PyObject*> parts);
// Truth test: 1, 0, or -1 with an exception set.
inline int truth(PyObject* obj) { return PyObject_IsTrue(obj); }

// `TypeError: Argument '<name>' has incorrect type ...` unless value is an
// exact str or None.  Returns false with the error set.
bool check_str_or_none(PyObject* value, const char* name);

// Unpacks `item` into exactly two values, with CPython's messages.
bool unpack_pair(PyObject* item, Ref& first, Ref& second);

// Walks `mapping.items()`: an exact dict directly (RuntimeError when its size
// changes during the walk), anything else through the iterator of its items().
// `visit(key, value)` returns false to stop with an error set.
template <class Visit>
bool for_each_item(PyObject* mapping, Visit&& visit);

// ---------------------------------------------------------------------------
// Modules

// `from <from_name> import <names...>` run by `module`, binding each name in
// its namespace in order.  level 1 is a relative import from its package.
bool import_names(PyObject* module, const char* from_name, int level,
                  std::initializer_list<const char*> names);
bool bind(PyObject* module, const char* name, PyObject* value);

// Defines PyInit_<name> for a multi-phase module whose exec function is
// `exec_fn`; the module's names are made before it runs.
#define MV_MODULE(modname, exec_fn)                                                    \
    static int modname##_exec(PyObject* module) {                                      \
        return ::mv::intern_names() ? exec_fn(module) : -1;                            \
    }                                                                                  \
    static PyModuleDef_Slot modname##_slots[] = {{Py_mod_exec, (void*)(modname##_exec)}, \
                                                 {0, nullptr}};                        \
    static PyModuleDef modname##_def = {PyModuleDef_HEAD_INIT, #modname, nullptr, 0,  \
                                        nullptr, modname##_slots, nullptr, nullptr,    \
                                        nullptr};                                      \
    MV_MODINIT_FUNC PyInit_##modname(void) { return PyModuleDef_Init(&modname##_def); }

// ---------------------------------------------------------------------------
// Functions and classes

struct Function;
// A function body receives one borrowed argument per parameter, in the order
// of the parameter list, after the call has been checked and defaults filled.
using Body = PyObject* (*)(Function& fn, PyObject* const* args);

struct FunctionSpec {
    const char* name;
    const char* params;  // the parameter list as a def writes it, without defaults
    const char* locals;  // further local variable names, comma-separated, or nullptr
    const char* doc;     // nullptr: no docstring
    const char* annotations[10];  // name, annotation text, ...; nullptr-terminated
    Body body;
    Ref (*defaults)();  // builds __defaults__, or nullptr
};

struct ClassSpec {
    const char* name;
    const char* doc;
    const FunctionSpec* const* methods;  // nullptr-terminated, or nullptr
};

// A function of `module` named spec.name (qualified by `owner_qualname`, the
// class it will belong to, when given).
Ref make_function(PyObject* module, const FunctionSpec& spec, const char* owner_qualname);

// Creates a class the way a class statement in `module` does: through the
// metaclass of `base` (type when base is nullptr), with a namespace from its
// __prepare__ holding __module__, __qualname__, __doc__ and the methods.
Ref make_class(PyObject* module, PyObject* base, const ClassSpec& spec);

// `class <spec.name>(<base_name>): ...` at the top level of `module`: the base
// is looked up as a module global (then builtin) as it stands now, and the
// class is bound in the module.  No base_name: a class on object.
bool define_class(PyObject* module, const char* base_name, const ClassSpec& spec);

// Looks `name` up as the function's module global, then as a builtin.
Ref global(Function& fn, Name& name);

// `super().__init__(**kw)` from a method of the class that owns `fn`.
Ref call_super_init(Function& fn, PyObject* self, std::initializer_list<PyObject*> kwvalues,
                    KwNames& kw);

}  // namespace mv

#include "items.hpp"
