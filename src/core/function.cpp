#include "function.hpp"

#include <structmember.h>

#include <string>

namespace mv {

namespace {

constexpr Py_ssize_t kMaxParams = 8;

#if MV_HAVE_VECTORCALL
#if MV_HAVE_PUBLIC_VECTORCALL
constexpr unsigned long kVectorcallFlag = Py_TPFLAGS_HAVE_VECTORCALL;
#else
constexpr unsigned long kVectorcallFlag = _Py_TPFLAGS_HAVE_VECTORCALL;
#endif
constexpr unsigned long kCallFlags = kVectorcallFlag | Py_TPFLAGS_METHOD_DESCRIPTOR;
#else
constexpr unsigned long kCallFlags = 0;
#endif

Function* as_function(PyObject* obj) { return reinterpret_cast<Function*>(obj); }

Name dunder_name("__name__");
Name co_name("co_name");
Name co_consts("co_consts");
Name comma(", ");
#if MV_HAVE_KEYWORD_SUGGESTIONS
Name generate_suggestions("_generate_suggestions");
#endif

// ---------------------------------------------------------------------------
// Argument errors, in the words CPython uses for a def.

// What the messages call the function: the code's name before 3.10, the
// qualified name from 3.10 on.
Ref call_name(Function* f) {
#if MV_HAVE_QUALNAME_ERRORS
    return Ref::borrow(f->qualname);
#else
    return getattr(f->code, co_name);
#endif
}

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'"
Ref join_names(PyObject* reprs) {
    const Py_ssize_t n = PyList_GET_SIZE(reprs);
    if (n == 1) {
        return Ref::borrow(PyList_GET_ITEM(reprs, 0));
    }
    if (n == 2) {
        return Ref::steal(PyUnicode_FromFormat("%U and %U", PyList_GET_ITEM(reprs, 0),
                                               PyList_GET_ITEM(reprs, 1)));
    }
    Ref head_items = Ref::steal(PyList_GetSlice(reprs, 0, n - 1));
    if (!head_items) {
        return {};
    }
    Ref head = Ref::steal(PyUnicode_Join(comma.get(), head_items.get()));
    if (!head) {
        return {};
    }
    return Ref::steal(PyUnicode_FromFormat("%U, and %U", head.get(), PyList_GET_ITEM(reprs, n - 1)));
}

void raise_missing(Function* f, const char* kind, PyObject* const* parsed, Py_ssize_t begin,
                   Py_ssize_t end) {
    Ref reprs = Ref::steal(PyList_New(0));
    if (!reprs) {
        return;
    }
    for (Py_ssize_t i = begin; i < end; ++i) {
        if (parsed[i] == nullptr) {
            Ref r = Ref::steal(PyObject_Repr(PyTuple_GET_ITEM(f->varnames, i)));
            if (!r || PyList_Append(reprs.get(), r.get()) < 0) {
                return;
            }
        }
    }
    const Py_ssize_t count = PyList_GET_SIZE(reprs.get());
    Ref names = join_names(reprs.get());
    Ref who = call_name(f);
    if (!names || !who) {
        return;
    }
    PyErr_Format(PyExc_TypeError, "%U() missing %zd required %s argument%s: %U", who.get(), count,
                 kind, count == 1 ? "" : "s", names.get());
}

void raise_too_many_positional(Function* f, Py_ssize_t given, PyObject* const* parsed) {
    Py_ssize_t kwonly_given = 0;
    for (Py_ssize_t i = f->argcount; i < f->argcount + f->kwonlycount; ++i) {
        kwonly_given += parsed[i] != nullptr;
    }
    const Py_ssize_t ndefaults = f->defaults ? PyTuple_GET_SIZE(f->defaults) : 0;
    Ref takes = ndefaults
                    ? Ref::steal(PyUnicode_FromFormat("from %zd to %zd", f->argcount - ndefaults,
                                                      f->argcount))
                    : Ref::steal(PyUnicode_FromFormat("%zd", f->argcount));
    Ref extra = kwonly_given ? Ref::steal(PyUnicode_FromFormat(
                                   " positional argument%s (and %zd keyword-only argument%s)",
                                   given != 1 ? "s" : "", kwonly_given, kwonly_given != 1 ? "s" : ""))
                             : Ref::steal(PyUnicode_FromString(""));
    Ref who = call_name(f);
    if (!takes || !extra || !who) {
        return;
    }
    const bool plural = ndefaults ? true : f->argcount != 1;
    PyErr_Format(PyExc_TypeError, "%U() takes %U positional argument%s but %zd%U %s given", who.get(),
                 takes.get(), plural ? "s" : "", given, extra.get(),
                 given == 1 && !kwonly_given ? "was" : "were");
}

void raise_keyword_error(Function* f, const char* what, PyObject* key) {
    Ref who = call_name(f);
    if (who) {
        PyErr_Format(PyExc_TypeError, "%U() %s '%S'", who.get(), what, key);
    }
}

// The parameter that a mistyped keyword was probably meant for, as 3.13's
// interpreter picks it for a def: among those that take keywords, by the
// edit-distance rule of its "Did you mean" hints.  Empty when there is none;
// like the interpreter, any failure to work it out leaves just the error.
Ref keyword_suggestion(Function* f, PyObject* key) {
#if MV_HAVE_KEYWORD_SUGGESTIONS
    Ref candidates = Ref::steal(PySequence_List(f->varnames));
    Ref module = candidates ? Ref::steal(PyImport_ImportModule("_suggestions")) : Ref();
    Ref generate = module ? getattr(module.get(), generate_suggestions) : Ref();
    Ref suggestion = generate ? call(generate.get(), {candidates.get(), key}) : Ref();
    if (suggestion && PyUnicode_Check(suggestion.get())) {
        return suggestion;
    }
    PyErr_Clear();
#else
    (void)f;
    (void)key;
#endif
    return {};
}

void raise_unexpected_keyword(Function* f, PyObject* key) {
    Ref suggestion = keyword_suggestion(f, key);
    Ref who = suggestion ? call_name(f) : Ref();
    if (!who) {
        raise_keyword_error(f, "got an unexpected keyword argument", key);
        return;
    }
    PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'. Did you mean '%S'?",
                 who.get(), key, suggestion.get());
}

void raise_keywords_not_strings(Function* f) {
#if MV_HAVE_PUBLIC_VECTORCALL
    (void)f;
    PyErr_SetString(PyExc_TypeError, "keywords must be strings");
#else
    Ref who = call_name(f);
    if (who) {
        PyErr_Format(PyExc_TypeError, "%U() keywords must be strings", who.get());
    }
#endif
}

// References held until a call returns (the defaults it uses, the values of
// a keyword dict); unlike an array of Refs it costs nothing for what it does
// not hold.
template <Py_ssize_t Capacity>
class Held {
public:
    Held() = default;
    Held(const Held&) = delete;
    Held& operator=(const Held&) = delete;
    ~Held() {
        while (count_ > 0) {
            Py_DECREF(items_[--count_]);
        }
    }
    PyObject* keep(PyObject* obj) {
        Py_INCREF(obj);
        items_[count_++] = obj;
        return obj;
    }

private:
    PyObject* items_[Capacity];
    Py_ssize_t count_ = 0;
};

// The defaults of one call.
using HeldDefaults = Held<kMaxParams>;

// Index of the parameter named `key`; -1 when there is none (-2 on error).
Py_ssize_t find_parameter(Function* f, PyObject* key) {
    const Py_ssize_t total = f->argcount + f->kwonlycount;
    for (Py_ssize_t i = 0; i < total; ++i) {
        if (PyTuple_GET_ITEM(f->varnames, i) == key) {
            return i;
        }
    }
    for (Py_ssize_t i = 0; i < total; ++i) {
        const int cmp = PyUnicode_Compare(PyTuple_GET_ITEM(f->varnames, i), key);
        if (cmp == 0) {
            return i;
        }
        if (cmp == -1 && PyErr_Occurred()) {
            return -2;
        }
    }
    return -1;
}

// Puts each keyword argument of a call into its parameter's place in
// `parsed`: the first check of CPython's binding of a def.
bool bind_keywords(Function* f, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                   PyObject** parsed) {
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t j = 0; j < nkw; ++j) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, j);
        if (!PyUnicode_Check(key)) {
            raise_keywords_not_strings(f);
            return false;
        }
        const Py_ssize_t index = find_parameter(f, key);
        if (index == -2) {
            return false;
        }
        if (index < 0) {
            raise_unexpected_keyword(f, key);
            return false;
        }
        if (parsed[index] != nullptr) {
            raise_keyword_error(f, "got multiple values for argument", key);
            return false;
        }
        parsed[index] = args[nargs + j];
    }
    return true;
}

// Fills the positional parameters after the `nargs` given ones from
// __defaults__, or reports those that have no value.
bool fill_positional_defaults(Function* f, Py_ssize_t nargs, PyObject** parsed,
                              HeldDefaults& held) {
    const Py_ssize_t n = f->argcount;
    // Defaults belong to the last parameters; a concurrent change of
    // __defaults__ must not free the ones in use, hence `held`.
    Ref defaults = Ref::borrow(f->defaults);
    const Py_ssize_t ndefaults = defaults ? PyTuple_GET_SIZE(defaults.get()) : 0;
    const Py_ssize_t first_default = n - ndefaults;
    for (Py_ssize_t i = nargs; i < first_default; ++i) {
        if (parsed[i] == nullptr) {
            raise_missing(f, "positional", parsed, 0, first_default);
            return false;
        }
    }
    for (Py_ssize_t i = nargs > first_default ? nargs : first_default; i < n; ++i) {
        if (parsed[i] == nullptr) {
            parsed[i] = held.keep(PyTuple_GET_ITEM(defaults.get(), i - first_default));
        }
    }
    return true;
}

// Fills the keyword-only parameters not given from __kwdefaults__, or
// reports those that have no value.
bool fill_keyword_only_defaults(Function* f, PyObject** parsed, HeldDefaults& held) {
    const Py_ssize_t n = f->argcount;
    const Py_ssize_t total = n + f->kwonlycount;
    bool missing = false;
    for (Py_ssize_t i = n; i < total; ++i) {
        if (parsed[i] != nullptr) {
            continue;
        }
        if (f->kwdefaults) {
            PyObject* value = PyDict_GetItemWithError(f->kwdefaults, PyTuple_GET_ITEM(f->varnames, i));
            if (value) {
                parsed[i] = held.keep(value);
                continue;
            }
            if (PyErr_Occurred()) {
                return false;
            }
        }
        missing = true;
    }
    if (missing) {
        raise_missing(f, "keyword-only", parsed, n, total);
        return false;
    }
    return true;
}

// Binds a call's arguments to the parameters the way CPython binds them for a
// def, in its order of checks.  `parsed` receives borrowed references; defaults
// taken from the function are kept alive in `held` for the length of the call.
bool bind_arguments(Function* f, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    PyObject** parsed, HeldDefaults& held) {
    const Py_ssize_t n = f->argcount;
    const Py_ssize_t total = n + f->kwonlycount;
    for (Py_ssize_t i = 0; i < total; ++i) {
        parsed[i] = i < nargs && i < n ? args[i] : nullptr;
    }
    if (!bind_keywords(f, args, nargs, kwnames, parsed)) {
        return false;
    }
    if (nargs > n) {
        raise_too_many_positional(f, nargs, parsed);
        return false;
    }
    return (nargs == n || fill_positional_defaults(f, nargs, parsed, held)) &&
           fill_keyword_only_defaults(f, parsed, held);
}

#if MV_HAVE_VECTORCALL
PyObject* function_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames) {
    return call_function(as_function(self), args, PyVectorcall_NARGS(nargsf), kwnames);
}
#else
PyObject* function_call(PyObject* self, PyObject* args, PyObject* kwargs) {
    return call_function_tuple(as_function(self), nullptr, args, kwargs);
}
#endif

// The keyword names of a dict of keyword arguments, and its values laid out
// at `values`, each held in `held` while the call runs: the body may run
// code that changes the dict.
Ref unpack_keywords(PyObject* kwargs, PyObject** values, Held<2 * kMaxParams>& held) {
    Ref kwnames = Ref::steal(PyTuple_New(PyDict_GET_SIZE(kwargs)));
    if (!kwnames) {
        return {};
    }
    Py_ssize_t pos = 0;
    Py_ssize_t j = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
        Py_INCREF(key);
        PyTuple_SET_ITEM(kwnames.get(), j, key);
        values[j++] = held.keep(value);
    }
    return kwnames;
}

// call_function_tuple() for more arguments than its stack holds: the
// arguments in one new tuple, which holds them.
PyObject* call_function_tuple_large(Function* f, PyObject* self, PyObject* args,
                                    PyObject* kwargs) {
    const Py_ssize_t first = self ? 1 : 0;
    const Py_ssize_t nargs = first + PyTuple_GET_SIZE(args);
    const Py_ssize_t nkw = kwargs ? PyDict_GET_SIZE(kwargs) : 0;
    Ref row = Ref::steal(PyTuple_New(nargs + nkw));
    if (!row) {
        return nullptr;
    }
    PyObject** items = &PyTuple_GET_ITEM(row.get(), 0);
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        items[i] = i < first ? self : PyTuple_GET_ITEM(args, i - first);
        Py_INCREF(items[i]);
    }
    Ref kwnames;
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    if (nkw) {
        kwnames = Ref::steal(PyTuple_New(nkw));
        for (Py_ssize_t j = 0; kwnames && PyDict_Next(kwargs, &pos, &key, &value); ++j) {
            Py_INCREF(key);
            PyTuple_SET_ITEM(kwnames.get(), j, key);
            Py_INCREF(value);
            items[nargs + j] = value;
        }
        if (!kwnames) {
            return nullptr;
        }
    }
    return call_function(f, items, nargs, kwnames.get());
}

}  // namespace

PyObject* call_function(Function* f, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (!kwnames && f->kwonlycount == 0 && nargs <= f->argcount) {
        // Positional arguments only, the rest (if any) from __defaults__:
        // nothing to check but their number.
        if (nargs == f->argcount) {
            return f->body(*f, args);
        }
        Ref defaults = Ref::borrow(f->defaults);  // held: the body may replace them
        const Py_ssize_t ndefaults = defaults ? PyTuple_GET_SIZE(defaults.get()) : 0;
        const Py_ssize_t first_default = f->argcount - ndefaults;
        if (nargs >= first_default) {
            PyObject* parsed[kMaxParams];
            for (Py_ssize_t i = 0; i < f->argcount; ++i) {
                parsed[i] = i < nargs ? args[i] : PyTuple_GET_ITEM(defaults.get(), i - first_default);
            }
            return f->body(*f, parsed);
        }
    }
    PyObject* parsed[kMaxParams];
    HeldDefaults held;
    if (!bind_arguments(f, args, nargs, kwnames, parsed, held)) {
        return nullptr;
    }
    return f->body(*f, parsed);
}

PyObject* call_function_tuple(Function* f, PyObject* self, PyObject* args, PyObject* kwargs) {
    constexpr Py_ssize_t room = 2 * kMaxParams;
    const Py_ssize_t first = self ? 1 : 0;
    const Py_ssize_t nargs = first + PyTuple_GET_SIZE(args);
    const Py_ssize_t nkw = kwargs ? PyDict_GET_SIZE(kwargs) : 0;
    if (nargs + nkw > room) {
        return call_function_tuple_large(f, self, args, kwargs);
    }
    PyObject* stack[room];
    Held<room> held;
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        stack[i] = i < first ? self : PyTuple_GET_ITEM(args, i - first);
    }
    Ref kwnames = nkw ? unpack_keywords(kwargs, stack + nargs, held) : Ref();
    if (nkw && !kwnames) {
        return nullptr;
    }
    return call_function(f, stack, nargs, kwnames.get());
}

#if MV_HAVE_VECTORCALL
PyObject* call_function_prepended(Function* f, PyObject* self, PyObject* const* args,
                                  size_t nargsf, PyObject* kwnames) {
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    const Py_ssize_t total = nargs + (kwnames ? PyTuple_GET_SIZE(kwnames) : 0);
    constexpr Py_ssize_t room = 2 * kMaxParams;
    if (total + 1 > room) {
        Ref row = Ref::steal(PyTuple_New(total + 1));
        if (!row) {
            return nullptr;
        }
        PyObject** items = &PyTuple_GET_ITEM(row.get(), 0);
        for (Py_ssize_t i = 0; i <= total; ++i) {
            items[i] = i == 0 ? self : args[i - 1];
            Py_INCREF(items[i]);
        }
        return call_function(f, items, nargs + 1, kwnames);
    }
    PyObject* stack[room];
    stack[0] = self;
    for (Py_ssize_t i = 0; i < total; ++i) {
        stack[i + 1] = args[i];
    }
    return call_function(f, stack, nargs + 1, kwnames);
}
#endif

namespace {

// ---------------------------------------------------------------------------
// The type's slots.

PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject* /*type*/) {
    if (obj == nullptr || obj == Py_None) {
        Py_INCREF(self);
        return self;
    }
    return PyMethod_New(self, obj);
}

PyObject* function_repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

int function_traverse(PyObject* self, visitproc visit, void* arg) {
    Function* f = as_function(self);
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    Py_VISIT(f->module);
    Py_VISIT(f->doc);
    Py_VISIT(f->defaults);
    Py_VISIT(f->kwdefaults);
    Py_VISIT(f->annotations);
    Py_VISIT(f->dict);
    Py_VISIT(f->code);
    Py_VISIT(f->globals);
    Py_VISIT(f->builtins);
    Py_VISIT(f->owner);
    Py_VISIT(f->varnames);
    return 0;
}

int function_clear(PyObject* self) {
    Function* f = as_function(self);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->module);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->kwdefaults);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->dict);
    Py_CLEAR(f->code);
    Py_CLEAR(f->globals);
    Py_CLEAR(f->builtins);
    Py_CLEAR(f->owner);
    Py_CLEAR(f->varnames);
    return 0;
}

void function_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    if (as_function(self)->weakreflist) {
        PyObject_ClearWeakRefs(self);
    }
    function_clear(self);
    PyObject_GC_Del(self);
}

// Pickles and copies by reference, as functions do.
PyObject* function_reduce(PyObject* self, PyObject* /*unused*/) {
    Py_INCREF(as_function(self)->qualname);
    return as_function(self)->qualname;
}

PyObject* get_field(PyObject* value) {
    Py_INCREF(value);
    return value;
}

// Replaces a field, checking what a Python function checks for it.
int set_field(PyObject*& field, PyObject* value, bool (*accepts)(PyObject*), bool none_clears,
              const char* error) {
    if (value == nullptr || (none_clears && value == Py_None)) {
        if (!none_clears) {
            PyErr_SetString(PyExc_TypeError, error);
            return -1;
        }
        Py_CLEAR(field);
        return 0;
    }
    if (!accepts(value)) {
        PyErr_SetString(PyExc_TypeError, error);
        return -1;
    }
    Py_INCREF(value);
    Py_XSETREF(field, value);
    return 0;
}

bool is_str(PyObject* v) { return PyUnicode_Check(v); }
bool is_tuple(PyObject* v) { return PyTuple_Check(v); }
bool is_dict(PyObject* v) { return PyDict_Check(v); }

PyObject* get_name(PyObject* self, void*) { return get_field(as_function(self)->name); }
int set_name(PyObject* self, PyObject* v, void*) {
    return set_field(as_function(self)->name, v, is_str, false,
                     "__name__ must be set to a string object");
}
PyObject* get_qualname(PyObject* self, void*) { return get_field(as_function(self)->qualname); }
int set_qualname(PyObject* self, PyObject* v, void*) {
    return set_field(as_function(self)->qualname, v, is_str, false,
                     "__qualname__ must be set to a string object");
}
PyObject* get_defaults(PyObject* self, void*) {
    PyObject* d = as_function(self)->defaults;
    return get_field(d ? d : Py_None);
}
int set_defaults(PyObject* self, PyObject* v, void*) {
    return set_field(as_function(self)->defaults, v, is_tuple, true,
                     "__defaults__ must be set to a tuple object");
}
PyObject* get_kwdefaults(PyObject* self, void*) {
    PyObject* d = as_function(self)->kwdefaults;
    return get_field(d ? d : Py_None);
}
int set_kwdefaults(PyObject* self, PyObject* v, void*) {
    return set_field(as_function(self)->kwdefaults, v, is_dict, true,
                     "__kwdefaults__ must be set to a dict object");
}
PyObject* get_annotations(PyObject* self, void*) {
    Function* f = as_function(self);
    if (!f->annotations && !(f->annotations = PyDict_New())) {
        return nullptr;
    }
    return get_field(f->annotations);
}
int set_annotations(PyObject* self, PyObject* v, void*) {
    return set_field(as_function(self)->annotations, v, is_dict, true,
                     "__annotations__ must be set to a dict object");
}
PyObject* get_code(PyObject* self, void*) { return get_field(as_function(self)->code); }
PyObject* get_none(PyObject*, void*) { Py_RETURN_NONE; }

PyGetSetDef function_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__defaults__", get_defaults, set_defaults, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, set_kwdefaults, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__code__", get_code, nullptr, nullptr, nullptr},
    {"__closure__", get_none, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef function_members[] = {
    {"__doc__", T_OBJECT, offsetof(Function, doc), 0, nullptr},
    {"__module__", T_OBJECT, offsetof(Function, module), 0, nullptr},
    {"__globals__", T_OBJECT, offsetof(Function, globals), READONLY, nullptr},
#if MV_HAVE_QUALNAME_ERRORS
    {"__builtins__", T_OBJECT, offsetof(Function, builtins), READONLY, nullptr},
#endif
    {nullptr, 0, 0, 0, nullptr},
};

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// The stub def whose code object gives the function its signature and locals.
std::string stub_source(const FunctionSpec& spec, const char* owner_qualname) {
    std::string indent = owner_qualname ? "  " : " ";
    std::string src;
    if (owner_qualname) {
        src = std::string("class ") + owner_qualname + ":\n ";
    }
    src += std::string("def ") + spec.name + "(" + spec.params + "):\n" + indent;
    src += spec.locals ? std::string(spec.locals) + " = None\n" : std::string("pass\n");
    return src;
}

// Depth-first search of a compiled module for the code object named `name`.
Ref find_code(PyObject* code, PyObject* name) {
    Ref consts = getattr(code, co_consts);
    if (!consts) {
        return {};
    }
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(consts.get()); ++i) {
        PyObject* item = PyTuple_GET_ITEM(consts.get(), i);
        if (!PyCode_Check(item)) {
            continue;
        }
        Ref item_name = getattr(item, co_name);
        if (!item_name) {
            return {};
        }
        const int same = PyObject_RichCompareBool(item_name.get(), name, Py_EQ);
        if (same < 0) {
            return {};
        }
        if (same) {
            return Ref::borrow(item);
        }
        Ref inner = find_code(item, name);
        if (inner || PyErr_Occurred()) {
            return inner;
        }
    }
    return {};
}

Py_ssize_t int_attr(PyObject* obj, const char* name) {
    Ref value = Ref::steal(PyObject_GetAttrString(obj, name));
    return value ? PyLong_AsSsize_t(value.get()) : -1;
}

Ref make_annotations(const FunctionSpec& spec) {
    Ref annotations = Ref::steal(PyDict_New());
    for (int i = 0; annotations && spec.annotations[i]; i += 2) {
        Ref text = Ref::steal(PyUnicode_FromString(spec.annotations[i + 1]));
        if (!text || PyDict_SetItemString(annotations.get(), spec.annotations[i], text.get()) < 0) {
            return {};
        }
    }
    return annotations;
}

}  // namespace

// Filled in by ready_function_type(); only the object header is static.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
PyTypeObject FunctionType = {PyVarObject_HEAD_INIT(nullptr, 0)};
#pragma GCC diagnostic pop

bool ready_function_type() {
    static bool ready = false;
    if (ready) {
        return true;
    }
    PyTypeObject& t = FunctionType;
    t.tp_name = "mivelo.function";
    t.tp_basicsize = sizeof(Function);
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | kCallFlags;
    t.tp_doc = "A function of the mivelo package, implemented in C++.";
    t.tp_dealloc = function_dealloc;
    t.tp_repr = function_repr;
    t.tp_traverse = function_traverse;
    t.tp_clear = function_clear;
    t.tp_descr_get = function_descr_get;
    t.tp_getset = function_getset;
    t.tp_members = function_members;
    t.tp_methods = function_methods;
    t.tp_dictoffset = offsetof(Function, dict);
    t.tp_weaklistoffset = offsetof(Function, weakreflist);
#if MV_HAVE_VECTORCALL
    t.tp_vectorcall_offset = offsetof(Function, vectorcall);
    t.tp_call = PyVectorcall_Call;
#else
    t.tp_call = function_call;
#endif
    if (PyType_Ready(&t) < 0) {
        return false;
    }
    ready = true;
    return true;
}

void set_owner(PyObject* function, PyObject* owner) {
    Py_INCREF(owner);
    Py_XSETREF(as_function(function)->owner, owner);
}

namespace {

// What a new function holds, gathered before the object is made.
struct Parts {
    Ref name;
    Ref qualname;
    Ref module_name;
    Ref doc;
    Ref defaults;
    Ref annotations;
    Ref code;
    Ref varnames;
    Ref builtins_module;
    Py_ssize_t argcount = 0;
    Py_ssize_t kwonlycount = 0;
};

// The code object of the stub def for `spec`, compiled as part of the module
// named `module_name`.
Ref stub_code(PyObject* module_name, const FunctionSpec& spec, const char* owner_qualname,
              PyObject* name) {
    Ref filename = Ref::steal(PyUnicode_FromFormat("<%U>", module_name));
    if (!filename) {
        return {};
    }
    const std::string source = stub_source(spec, owner_qualname);
    Ref compiled = Ref::steal(Py_CompileStringObject(source.c_str(), filename.get(), Py_file_input,
                                                     nullptr, -1));
    Ref code = compiled ? find_code(compiled.get(), name) : Ref();
    if (!code && !PyErr_Occurred()) {
        PyErr_Format(PyExc_SystemError, "no code object for %s", spec.name);
    }
    return code;
}

// The parameter counts and names that the stub's code object declares.
bool read_parameters(Parts& parts, const char* name) {
    parts.argcount = int_attr(parts.code.get(), "co_argcount");
    parts.kwonlycount = int_attr(parts.code.get(), "co_kwonlyargcount");
    Ref all_varnames = Ref::steal(PyObject_GetAttrString(parts.code.get(), "co_varnames"));
    if (parts.argcount < 0 || parts.kwonlycount < 0 || !all_varnames) {
        return false;
    }
    if (parts.argcount + parts.kwonlycount > kMaxParams) {
        PyErr_Format(PyExc_SystemError, "%s has too many parameters", name);
        return false;
    }
    parts.varnames = Ref::steal(
        PyTuple_GetSlice(all_varnames.get(), 0, parts.argcount + parts.kwonlycount));
    return static_cast<bool>(parts.varnames);
}

Ref new_function(PyObject* module, Parts& parts, Body body) {
    Function* f = PyObject_GC_New(Function, &FunctionType);
    if (!f) {
        return {};
    }
#if MV_HAVE_VECTORCALL
    f->vectorcall = function_vectorcall;
#endif
    f->name = parts.name.release();
    f->qualname = parts.qualname.release();
    f->module = parts.module_name.release();
    f->doc = parts.doc.release();
    f->defaults = parts.defaults.release();
    f->kwdefaults = nullptr;
    f->annotations = parts.annotations.release();
    f->dict = nullptr;
    f->code = parts.code.release();
    f->globals = Ref::borrow(PyModule_GetDict(module)).release();
    f->builtins = Ref::borrow(PyModule_GetDict(parts.builtins_module.get())).release();
    f->owner = nullptr;
    f->varnames = parts.varnames.release();
    f->weakreflist = nullptr;
    f->argcount = parts.argcount;
    f->kwonlycount = parts.kwonlycount;
    f->body = body;
    PyObject_GC_Track(reinterpret_cast<PyObject*>(f));
    return Ref::steal(reinterpret_cast<PyObject*>(f));
}

}  // namespace

Ref make_function(PyObject* module, const FunctionSpec& spec, const char* owner_qualname) {
    if (!ready_function_type()) {
        return {};
    }
    Parts parts;
    parts.module_name = getattr(module, dunder_name);
    parts.name = Ref::steal(PyUnicode_InternFromString(spec.name));
    if (!parts.module_name || !parts.name) {
        return {};
    }
    parts.code = stub_code(parts.module_name.get(), spec, owner_qualname, parts.name.get());
    if (!parts.code || !read_parameters(parts, spec.name)) {
        return {};
    }
    parts.qualname = owner_qualname
                         ? Ref::steal(PyUnicode_FromFormat("%s.%s", owner_qualname, spec.name))
                         : Ref::borrow(parts.name.get());
    parts.doc = spec.doc ? Ref::steal(PyUnicode_FromString(spec.doc)) : Ref::borrow(Py_None);
    parts.defaults = spec.defaults ? spec.defaults() : Ref();
    parts.annotations = make_annotations(spec);
    parts.builtins_module = Ref::steal(PyImport_ImportModule("builtins"));
    if (!parts.qualname || !parts.doc || (spec.defaults && !parts.defaults) || !parts.annotations ||
        !parts.builtins_module) {
        return {};
    }
    return new_function(module, parts, spec.body);
}

}  // namespace mv
