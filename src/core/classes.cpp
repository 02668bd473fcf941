#include "define.hpp"

#include "calls.hpp"
#include "function.hpp"
#include "modules.hpp"

namespace mv {

namespace {

Name dunder_name("__name__");
Name dunder_class("__class__");
Name dunder_init("__init__");
Name dunder_prepare("__prepare__");
Name dunder_module("__module__");
Name dunder_qualname("__qualname__");
Name dunder_doc("__doc__");

// The class namespace that `meta.__prepare__(name, bases)` gives, holding
// __module__, __qualname__ and (when there is one) __doc__, in that order.
Ref prepare_namespace(PyObject* module, PyObject* meta, PyObject* name, PyObject* bases,
                      const char* doc) {
    Ref module_name = getattr(module, dunder_name);
    Ref prepare = module_name ? getattr(meta, dunder_prepare) : Ref();
    if (!prepare) {
        return {};
    }
    Ref ns = call(prepare.get(), {name, bases});
    if (!ns || PyObject_SetItem(ns.get(), dunder_module.get(), module_name.get()) < 0 ||
        PyObject_SetItem(ns.get(), dunder_qualname.get(), name) < 0) {
        return {};
    }
    if (doc) {
        Ref text = Ref::steal(PyUnicode_FromString(doc));
        if (!text || PyObject_SetItem(ns.get(), dunder_doc.get(), text.get()) < 0) {
            return {};
        }
    }
    return ns;
}

// Makes the class's methods and puts them into its namespace `ns`, in order;
// the list of them, for set_owner() once the class exists.
Ref add_methods(PyObject* module, PyObject* ns, const ClassSpec& spec) {
    Ref methods = Ref::steal(PyList_New(0));
    if (!methods) {
        return {};
    }
    for (const FunctionSpec* const* m = spec.methods; m && *m; ++m) {
        Ref function = make_function(module, **m, spec.name);
        if (!function || PyList_Append(methods.get(), function.get()) < 0 ||
            PyObject_SetItem(ns, reinterpret_cast<Function*>(function.get())->name,
                             function.get()) < 0) {
            return {};
        }
    }
    return methods;
}

// super()'s TypeError for an `obj` that is neither an instance nor a
// subclass of `type`.
void raise_not_a_subtype(PyTypeObject* type, PyObject* obj) {
#if MV_HAVE_SUPER_ERROR_NAMES_TYPES
    const bool is_type = PyType_Check(obj);
    PyErr_Format(PyExc_TypeError,
                 "super(type, obj): obj (%s %.200s) is not an instance or subtype of type (%.200s).",
                 is_type ? "type" : "instance of",
                 is_type ? reinterpret_cast<PyTypeObject*>(obj)->tp_name : Py_TYPE(obj)->tp_name,
                 type->tp_name);
#else
    (void)type;
    (void)obj;
    PyErr_SetString(PyExc_TypeError, "super(type, obj): obj must be an instance or subtype of type");
#endif
}

// The start of an MRO walk as super(owner, obj) chooses it, and the object to
// bind what it finds to (nullptr when obj is itself the class).
bool super_start(PyObject* owner, PyObject* obj, Ref& start, PyObject*& bind_to) {
    auto* owner_type = reinterpret_cast<PyTypeObject*>(owner);
    if (PyType_Check(obj) && PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(obj), owner_type)) {
        start = Ref::borrow(obj);
        bind_to = nullptr;
        return true;
    }
    if (PyType_IsSubtype(Py_TYPE(obj), owner_type)) {
        start = Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(obj)));
        bind_to = obj;
        return true;
    }
    Ref claimed = getattr(obj, dunder_class);
    if (!claimed) {
#if MV_HAVE_SUPER_CLASS_ERRORS
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
            return false;
        }
#endif
        PyErr_Clear();
    } else if (PyType_Check(claimed.get()) &&
               PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(claimed.get()), owner_type)) {
        start = std::move(claimed);
        bind_to = obj;
        return true;
    }
    raise_not_a_subtype(owner_type, obj);
    return false;
}

Ref type_dict(PyTypeObject* type) {
#if MV_HAVE_TYPE_GET_DICT
    return Ref::steal(PyType_GetDict(type));
#else
    return Ref::borrow(type->tp_dict);
#endif
}

// The first __init__ in the MRO `mro` after `owner`, as super(owner, ...)
// finds it; an empty Ref with no error set when there is none.
Ref next_init(PyObject* mro, PyObject* owner) {
    const Py_ssize_t n = mro ? PyTuple_GET_SIZE(mro) : 0;
    Py_ssize_t i = 0;
    while (i < n && PyTuple_GET_ITEM(mro, i) != owner) {
        ++i;
    }
    for (++i; i < n; ++i) {
        Ref dict = type_dict(reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i)));
        PyObject* found = dict ? PyDict_GetItemWithError(dict.get(), dunder_init.get()) : nullptr;
        if (found || PyErr_Occurred()) {
            return Ref::borrow(found);
        }
    }
    return {};
}

}  // namespace

Ref make_class(PyObject* module, PyObject* base, const ClassSpec& spec) {
    PyObject* meta = base ? reinterpret_cast<PyObject*>(Py_TYPE(base))
                          : reinterpret_cast<PyObject*>(&PyType_Type);
    Ref bases = Ref::steal(base ? PyTuple_Pack(1, base) : PyTuple_New(0));
    Ref name = Ref::steal(PyUnicode_FromString(spec.name));
    if (!bases || !name) {
        return {};
    }
    Ref ns = prepare_namespace(module, meta, name.get(), bases.get(), spec.doc);
    Ref methods = ns ? add_methods(module, ns.get(), spec) : Ref();
    Ref cls = methods ? call(meta, {name.get(), bases.get(), ns.get()}) : Ref();
    if (!cls) {
        return {};
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(methods.get()); ++i) {
        set_owner(PyList_GET_ITEM(methods.get(), i), cls.get());
    }
    return install_direct_slots(cls.get()) ? std::move(cls) : Ref();
}

bool define_class(PyObject* module, const char* base_name, const ClassSpec& spec) {
    Ref base;
    if (base_name) {
        base = module_global(module, base_name);
        if (!base) {
            return false;
        }
    }
    Ref cls = make_class(module, base.get(), spec);
    return cls && bind(module, spec.name, cls.get());
}

Ref call_super_init(Function& fn, PyObject* self, std::initializer_list<PyObject*> kwvalues,
                    KwNames& kw) {
    if (!fn.owner) {
        PyErr_SetString(PyExc_RuntimeError, "super(): __class__ cell not found");
        return {};
    }
    Ref start;
    PyObject* bind_to = nullptr;
    if (!super_start(fn.owner, self, start, bind_to)) {
        return {};
    }
    // The MRO may be replaced while we walk it; hold this one.
    Ref mro = Ref::borrow(reinterpret_cast<PyTypeObject*>(start.get())->tp_mro);
    Ref init = next_init(mro.get(), fn.owner);
    if (!init) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_AttributeError, "'super' object has no attribute '__init__'");
        }
        return {};
    }
    descrgetfunc get = Py_TYPE(init.get())->tp_descr_get;
#if MV_HAVE_VECTORCALL
    // A method descriptor called with self first is the same as binding it
    // and calling the result, without making the bound method.
    if (get && bind_to && PyType_HasFeature(Py_TYPE(init.get()), Py_TPFLAGS_METHOD_DESCRIPTOR)) {
        return call_with(init.get(), bind_to, kwvalues, &kw);
    }
#endif
    if (get) {
        init = Ref::steal(get(init.get(), bind_to, start.get()));
        if (!init) {
            return {};
        }
    }
    return call(init.get(), kwvalues, &kw);
}

}  // namespace mv
