#include "modules.hpp"

#include "calls.hpp"
#include "function.hpp"

namespace mv {

namespace {

Name dunder_name("__name__");
Name name_attr("name");

void raise_name_error(PyObject* name) {
    Ref message = Ref::steal(PyUnicode_FromFormat("name '%U' is not defined", name));
    if (!message) {
        return;
    }
    Ref error = call(PyExc_NameError, {message.get()});
    if (!error) {
        return;
    }
#if MV_HAVE_QUALNAME_ERRORS
    if (!setattr(error.get(), name_attr, name)) {
        return;
    }
#endif
    PyErr_SetObject(PyExc_NameError, error.get());
}

// `key` in `globals`, then in `builtins`; NameError when in neither.
Ref lookup_global(PyObject* globals, PyObject* builtins, PyObject* key) {
    PyObject* value = PyDict_GetItemWithError(globals, key);
    if (!value && !PyErr_Occurred()) {
        value = PyDict_GetItemWithError(builtins, key);
        if (!value && !PyErr_Occurred()) {
            raise_name_error(key);
        }
    }
    return Ref::borrow(value);
}

// ImportError for `from <module> import <name>`, worded as CPython words it.
void raise_cannot_import(PyObject* module, PyObject* name, PyObject* package) {
    Ref path = Ref::steal(PyModule_GetFilenameObject(module));
    Ref message;
    if (path && PyUnicode_Check(path.get())) {
        message = Ref::steal(PyUnicode_FromFormat("cannot import name %R from %R (%S)", name,
                                                  package, path.get()));
    } else {
        PyErr_Clear();
        path = Ref();
        message = Ref::steal(PyUnicode_FromFormat("cannot import name %R from %R (unknown location)",
                                                  name, package));
    }
    if (message) {
        PyErr_SetImportError(message.get(), package, path.get());
    }
}

// Mirrors CPython's `from module import name`: the attribute, else an
// already imported submodule of that name, else ImportError.
Ref import_from(PyObject* module, PyObject* name) {
    PyObject* value = PyObject_GetAttr(module, name);
    if (value || !PyErr_ExceptionMatches(PyExc_AttributeError)) {
        return Ref::steal(value);
    }
    PyErr_Clear();
    Ref package = getattr(module, dunder_name);
    if (package && PyUnicode_Check(package.get())) {
        Ref full = Ref::steal(PyUnicode_FromFormat("%U.%U", package.get(), name));
        if (!full) {
            return {};
        }
        Ref submodule = Ref::steal(PyImport_GetModule(full.get()));
        if (submodule || PyErr_Occurred()) {
            return submodule;
        }
    } else {
        PyErr_Clear();
        package = Ref::steal(PyUnicode_FromString("<unknown module name>"));
        if (!package) {
            return {};
        }
    }
    raise_cannot_import(module, name, package.get());
    return {};
}

}  // namespace

bool import_names(PyObject* module, const char* from_name, int level,
                  std::initializer_list<const char*> names) {
    PyObject* globals = PyModule_GetDict(module);
    Ref fromlist = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
    Ref target = Ref::steal(PyUnicode_FromString(from_name));
    if (!fromlist || !target) {
        return false;
    }
    Py_ssize_t i = 0;
    for (const char* name : names) {
        PyObject* interned = PyUnicode_InternFromString(name);
        if (!interned) {
            return false;
        }
        PyTuple_SET_ITEM(fromlist.get(), i++, interned);
    }
    Ref imported = Ref::steal(
        PyImport_ImportModuleLevelObject(target.get(), globals, globals, fromlist.get(), level));
    if (!imported) {
        return false;
    }
    for (i = 0; i < PyTuple_GET_SIZE(fromlist.get()); ++i) {
        PyObject* name = PyTuple_GET_ITEM(fromlist.get(), i);
        Ref value = import_from(imported.get(), name);
        if (!value || PyDict_SetItem(globals, name, value.get()) < 0) {
            return false;
        }
    }
    return true;
}

bool bind(PyObject* module, const char* name, PyObject* value) {
    return PyObject_SetAttrString(module, name, value) == 0;
}

Ref global(Function& fn, Name& name) {
    PyObject* key = name.get();
    return key ? lookup_global(fn.globals, fn.builtins, key) : Ref();
}

Ref module_global(PyObject* module, const char* name) {
    Ref key = Ref::steal(PyUnicode_InternFromString(name));
    if (!key) {
        return {};
    }
    Ref builtins = Ref::steal(PyImport_ImportModule("builtins"));
    if (!builtins) {
        return {};
    }
    return lookup_global(PyModule_GetDict(module), PyModule_GetDict(builtins.get()), key.get());
}

}  // namespace mv
