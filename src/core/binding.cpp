// Binding a call's arguments to a function's parameters, the way CPython
// binds them for a def: the same order of checks and the same messages
// (argument errors name the function as the interpreter of the day does).
#include "function.hpp"

#include "args.hpp"
#include "calls.hpp"

namespace mv {

namespace {

Name co_name("co_name");
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
    if (generate) {
        Ref suggestion = call(generate.get(), {candidates.get(), key});
        if (suggestion && PyUnicode_Check(suggestion.get())) {
            return suggestion;
        }
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

// ---------------------------------------------------------------------------
// Binding

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
                   ArgStack& parsed) {
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
        parsed.set(index, args[nargs + j]);
    }
    return true;
}

// Fills the positional parameters after the `nargs` given ones from
// __defaults__, or reports those that have no value.
bool fill_positional_defaults(Function* f, Py_ssize_t nargs, ArgStack& parsed) {
    const Py_ssize_t n = f->argcount;
    // Defaults belong to the last parameters; a concurrent change of
    // __defaults__ must not free the ones in use, so the stack holds them.
    Ref defaults = Ref::borrow(f->defaults);
    const Py_ssize_t ndefaults = defaults ? PyTuple_GET_SIZE(defaults.get()) : 0;
    const Py_ssize_t first_default = n - ndefaults;
    for (Py_ssize_t i = nargs; i < first_default; ++i) {
        if (parsed[i] == nullptr) {
            raise_missing(f, "positional", parsed.args(), 0, first_default);
            return false;
        }
    }
    for (Py_ssize_t i = nargs > first_default ? nargs : first_default; i < n; ++i) {
        if (parsed[i] == nullptr) {
            parsed.set_held(i, PyTuple_GET_ITEM(defaults.get(), i - first_default));
        }
    }
    return true;
}

// Fills the keyword-only parameters not given from __kwdefaults__, or
// reports those that have no value.
bool fill_keyword_only_defaults(Function* f, ArgStack& parsed) {
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
                parsed.set_held(i, value);
                continue;
            }
            if (PyErr_Occurred()) {
                return false;
            }
        }
        missing = true;
    }
    if (missing) {
        raise_missing(f, "keyword-only", parsed.args(), n, total);
        return false;
    }
    return true;
}

// Binds a call's arguments to the parameters the way CPython binds them for a
// def, in its order of checks.  `parsed` receives the arguments as borrowed
// references; the defaults taken from the function it holds for the length
// of the call.
bool bind_arguments(Function* f, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    ArgStack& parsed) {
    const Py_ssize_t n = f->argcount;
    parsed.clear_places(n + f->kwonlycount);
    for (Py_ssize_t i = 0; i < nargs && i < n; ++i) {
        parsed.set(i, args[i]);
    }
    if (!bind_keywords(f, args, nargs, kwnames, parsed)) {
        return false;
    }
    if (nargs > n) {
        raise_too_many_positional(f, nargs, parsed.args());
        return false;
    }
    return (nargs == n || fill_positional_defaults(f, nargs, parsed)) &&
           fill_keyword_only_defaults(f, parsed);
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
            PyObject* parsed[kMaxArgs];
            for (Py_ssize_t i = 0; i < f->argcount; ++i) {
                parsed[i] = i < nargs ? args[i] : PyTuple_GET_ITEM(defaults.get(), i - first_default);
            }
            return f->body(*f, parsed);
        }
    }
    ArgStack parsed;
    if (!bind_arguments(f, args, nargs, kwnames, parsed)) {
        return nullptr;
    }
    return f->body(*f, parsed.args());
}

PyObject* call_function_tuple(Function* f, PyObject* self, PyObject* args, PyObject* kwargs) {
    ArgStack stack;
    Ref kwnames;
    const Py_ssize_t nargs = stack.unpack(self, args, kwargs, kwnames);
    return nargs < 0 ? nullptr : call_function(f, stack.args(), nargs, kwnames.get());
}

}  // namespace mv
