// Making a function from its spec: a stub def with the same parameters and
// locals, compiled as part of the module, gives it a real __code__, from
// which its parameter counts and names are read.
#include "function.hpp"

#include "args.hpp"
#include "calls.hpp"

#include <string>

namespace mv {

namespace {

Name dunder_name("__name__");
Name co_name("co_name");
Name co_consts("co_consts");

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
    if (parts.argcount + parts.kwonlycount > kMaxArgs) {
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
