#include "function.hpp"

namespace mv {

namespace {

constexpr size_t kMaxArgs = 8;

// The names the core itself uses.  Like every Name, they are defined at
// namespace scope, so they are made before a module's exec function runs.
Name dunder_name("__name__");
Name dunder_class("__class__");
Name dunder_init("__init__");
Name dunder_prepare("__prepare__");
Name dunder_module("__module__");
Name dunder_qualname("__qualname__");
Name dunder_doc("__doc__");
Name name_attr("name");
Name items_name("items");
Name empty("");

// Calls with vectorcall's layout: `stack[-1]` may be used by the callee, the
// positional arguments come first and the keyword values after them.
Ref vectorcall(PyObject* callable, PyObject** stack, size_t npos, PyObject* kwnames) {
#if MV_HAVE_PUBLIC_VECTORCALL
    return Ref::steal(
        PyObject_Vectorcall(callable, stack, npos | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
#elif MV_HAVE_VECTORCALL
    return Ref::steal(
        _PyObject_Vectorcall(callable, stack, npos | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
#else
    Ref args = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(npos)));
    if (!args) {
        return {};
    }
    for (size_t i = 0; i < npos; ++i) {
        Py_INCREF(stack[i]);
        PyTuple_SET_ITEM(args.get(), i, stack[i]);
    }
    Ref kwargs;
    if (kwnames) {
        kwargs = Ref::steal(PyDict_New());
        if (!kwargs) {
            return {};
        }
        for (Py_ssize_t j = 0; j < PyTuple_GET_SIZE(kwnames); ++j) {
            if (PyDict_SetItem(kwargs.get(), PyTuple_GET_ITEM(kwnames, j), stack[npos + j]) < 0) {
                return {};
            }
        }
    }
    return Ref::steal(PyObject_Call(callable, args.get(), kwargs.get()));
#endif
}

// callable(first, *args), the last kw->size() arguments passed by name;
// `first` is left out when it is nullptr.
Ref call_with(PyObject* callable, PyObject* first, std::initializer_list<PyObject*> args,
              KwNames* kw) {
    const size_t nkw = kw ? static_cast<size_t>(kw->size()) : 0;
    if (args.size() > kMaxArgs || nkw > args.size()) {
        PyErr_SetString(PyExc_SystemError, "mivelo: a call with more arguments than names or room");
        return {};
    }
    // One free slot ahead of the arguments, as PY_VECTORCALL_ARGUMENTS_OFFSET allows.
    PyObject* buffer[kMaxArgs + 2];
    PyObject** stack = buffer + 1;
    size_t n = 0;
    if (first) {
        stack[n++] = first;
    }
    for (PyObject* arg : args) {
        stack[n++] = arg;
    }
    PyObject* kwnames = kw ? kw->get() : nullptr;
    if (kw && !kwnames) {
        return {};
    }
    return vectorcall(callable, stack, n - nkw, kwnames);
}

// `raise obj`, for the object a call produced.
PyObject* raise_object(PyObject* obj) {
    if (PyExceptionClass_Check(obj)) {
        Ref instance = call(obj);
        if (!instance) {
            return nullptr;
        }
        if (!PyExceptionInstance_Check(instance.get())) {
            PyErr_Format(PyExc_TypeError,
                         "calling %R should have returned an instance of BaseException, not %R",
                         obj, Py_TYPE(instance.get()));
            return nullptr;
        }
        PyErr_SetObject(obj, instance.get());
    } else if (PyExceptionInstance_Check(obj)) {
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(obj)), obj);
    } else {
        PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
    }
    return nullptr;
}

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
    Ref path = Ref::steal(PyModule_GetFilenameObject(module));
    Ref message;
    if (path && PyUnicode_Check(path.get())) {
        message = Ref::steal(PyUnicode_FromFormat("cannot import name %R from %R (%S)", name,
                                                  package.get(), path.get()));
    } else {
        PyErr_Clear();
        path = Ref();
        message = Ref::steal(PyUnicode_FromFormat("cannot import name %R from %R (unknown location)",
                                                  name, package.get()));
    }
    if (message) {
        PyErr_SetImportError(message.get(), package.get(), path.get());
    }
    return {};
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

}  // namespace

static Name* name_list = nullptr;
static KwNames* kwnames_list = nullptr;

Name::Name(const char* text) noexcept : text_(text), next_(name_list) { name_list = this; }

KwNames::KwNames(const char* a, const char* b, const char* c) noexcept
    : names_{a, b, c}, next_(kwnames_list) {
    kwnames_list = this;
}

bool intern_names() {
    for (Name* name = name_list; name; name = name->next_) {
        if (!name->get()) {
            return false;
        }
    }
    for (KwNames* kw = kwnames_list; kw; kw = kw->next_) {
        if (!kw->get()) {
            return false;
        }
    }
    return true;
}

PyObject* Name::get() noexcept {
    if (!obj_) {
        obj_ = PyUnicode_InternFromString(text_);
    }
    return obj_;
}

PyObject* KwNames::get() noexcept {
    if (!tuple_) {
        const Py_ssize_t n = size();
        Ref tuple = Ref::steal(PyTuple_New(n));
        if (!tuple) {
            return nullptr;
        }
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject* name = PyUnicode_InternFromString(names_[i]);
            if (!name) {
                return nullptr;
            }
            PyTuple_SET_ITEM(tuple.get(), i, name);
        }
        tuple_ = tuple.release();
    }
    return tuple_;
}

Ref call(PyObject* callable, std::initializer_list<PyObject*> args, KwNames* kw) {
    return call_with(callable, nullptr, args, kw);
}

Ref getattr(PyObject* obj, Name& name) {
    PyObject* key = name.get();
    return key ? Ref::steal(PyObject_GetAttr(obj, key)) : Ref();
}

bool setattr(PyObject* obj, Name& name, PyObject* value) {
    PyObject* key = name.get();
    if (!key) {
        return false;
    }
    // The name is an interned str already, the one thing PyObject_SetAttr
    // would add before handing over to the type's slot.
    setattrofunc set = Py_TYPE(obj)->tp_setattro;
    return (set ? set(obj, key, value) : PyObject_SetAttr(obj, key, value)) == 0;
}

#if MV_HAVE_VECTORCALL && !MV_HAVE_GET_METHOD
namespace {

// What `obj.name` finds when it is a method descriptor of the object's class
// that the instance does not shadow, looked up as the interpreter's method
// call does: the descriptor itself, to be called with obj first.  Returns 1
// with `found` set to it, 2 with `found` set to the instance's own entry that
// shadows it, 0 when the attribute must be fetched by getattr, and -1 with an
// error set.
int unbound_method(PyObject* obj, PyObject* key, Ref& found) {
    PyTypeObject* type = Py_TYPE(obj);
    if (type->tp_getattro != PyObject_GenericGetAttr || !PyUnicode_CheckExact(key) ||
        !PyType_HasFeature(type, Py_TPFLAGS_READY)) {
        return 0;
    }
    PyObject* descr = _PyType_Lookup(type, key);
    if (!descr || !PyType_HasFeature(Py_TYPE(descr), Py_TPFLAGS_METHOD_DESCRIPTOR)) {
        return 0;
    }
    // A method descriptor defines no __set__, so an entry of the instance's
    // own dict comes first.
    Ref method = Ref::borrow(descr);
    PyObject** dict_ptr = _PyObject_GetDictPtr(obj);
    if (!dict_ptr) {
#ifdef Py_TPFLAGS_MANAGED_DICT
        if (PyType_HasFeature(type, Py_TPFLAGS_MANAGED_DICT)) {
            return 0;  // its dict could not be had: leave it to getattr
        }
#endif
    } else if (*dict_ptr) {
        Ref dict = Ref::borrow(*dict_ptr);
        PyObject* own = PyDict_GetItemWithError(dict.get(), key);
        if (own) {
            found = Ref::borrow(own);
            return 2;
        }
        if (PyErr_Occurred()) {
            return -1;
        }
    }
    found = std::move(method);
    return 1;
}

}  // namespace
#endif

// `obj.name` as the interpreter looks up a method it is about to call: a
// plain function (or other method descriptor) of the class is kept unbound
// and called with obj prepended, so no bound method is made for the call.
Method::Method(PyObject* obj, Name& name) {
    PyObject* key = name.get();
    if (!key) {
        return;
    }
#if MV_HAVE_GET_METHOD
    PyObject* found = nullptr;
    const int unbound = _PyObject_GetMethod(obj, key, &found);
    callable_ = Ref::steal(found);
    if (unbound && callable_) {
        self_ = Ref::borrow(obj);
    }
#elif MV_HAVE_VECTORCALL
    const int found = unbound_method(obj, key, callable_);
    if (found == 1) {
        self_ = Ref::borrow(obj);
    } else if (found == 0) {
        callable_ = Ref::steal(PyObject_GetAttr(obj, key));
    }
#else
    callable_ = Ref::steal(PyObject_GetAttr(obj, key));
#endif
}

Ref Method::operator()(std::initializer_list<PyObject*> args, KwNames* kw) {
    return call_with(callable_.get(), self_.get(), args, kw);
}

PyObject* raise_new(PyObject* callable, PyObject* message) {
    Ref error = call(callable, {message});
    return error ? raise_object(error.get()) : nullptr;
}

Ref format_text(PyObject* value) { return Ref::steal(PyObject_Format(value, empty.get())); }

Ref fstring_text(PyObject* value) {
    if (PyUnicode_CheckExact(value)) {
        return Ref::borrow(value);
    }
    if (PyLong_CheckExact(value) || PyFloat_CheckExact(value)) {
        return Ref::steal(PyObject_Repr(value));
    }
    return format_text(value);
}

Ref join(std::initializer_list<PyObject*> parts) {
    Py_ssize_t length = 0;
    Py_UCS4 max_char = 0;
    for (PyObject* part : parts) {
        if (!part) {
            return {};
        }
#if !MV_HAVE_READY_STRINGS
        if (PyUnicode_READY(part) < 0) {
            return {};
        }
#endif
        length += PyUnicode_GET_LENGTH(part);
        const Py_UCS4 part_max = PyUnicode_MAX_CHAR_VALUE(part);
        max_char = part_max > max_char ? part_max : max_char;
    }
    Ref text = Ref::steal(PyUnicode_New(length, max_char));
    if (!text) {
        return {};
    }
    Py_ssize_t at = 0;
    for (PyObject* part : parts) {
        const Py_ssize_t n = PyUnicode_GET_LENGTH(part);
        if (PyUnicode_CopyCharacters(text.get(), at, part, 0, n) < 0) {
            return {};
        }
        at += n;
    }
    return text;
}

bool check_str_or_none(PyObject* value, const char* name) {
    if (value == Py_None || PyUnicode_CheckExact(value)) {
        return true;
    }
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                 name, "str", Py_TYPE(value)->tp_name);
    return false;
}

bool unpack_pair(PyObject* item, Ref& first, Ref& second) {
    if (PyTuple_CheckExact(item) && PyTuple_GET_SIZE(item) == 2) {
        first = Ref::borrow(PyTuple_GET_ITEM(item, 0));
        second = Ref::borrow(PyTuple_GET_ITEM(item, 1));
        return true;
    }
    Ref iterator = Ref::steal(PyObject_GetIter(item));
    if (!iterator) {
        if (PyErr_ExceptionMatches(PyExc_TypeError) && Py_TYPE(item)->tp_iter == nullptr &&
            !PySequence_Check(item)) {
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object",
                         Py_TYPE(item)->tp_name);
        }
        return false;
    }
    Ref* targets[2] = {&first, &second};
    for (int i = 0; i < 2; ++i) {
        *targets[i] = Ref::steal(PyIter_Next(iterator.get()));
        if (!*targets[i]) {
            if (!PyErr_Occurred()) {
                PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", i);
            }
            return false;
        }
    }
    Ref extra = Ref::steal(PyIter_Next(iterator.get()));
    if (extra) {
        PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
        return false;
    }
    return !PyErr_Occurred();
}

bool raise_items_of_none() {
    PyErr_Format(PyExc_AttributeError, "'NoneType' object has no attribute '%.30s'", "items");
    return false;
}

bool raise_dict_resized() {
    PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
    return false;
}

bool raise_dict_keys_changed() {
    PyErr_SetString(PyExc_RuntimeError, "dictionary keys changed during iteration");
    return false;
}

Ref items_iterator(PyObject* mapping) {
    Ref items_method = getattr(mapping, items_name);
    Ref items = items_method ? call(items_method.get()) : Ref();
    return items ? Ref::steal(PyObject_GetIter(items.get())) : Ref();
}

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

Ref make_class(PyObject* module, PyObject* base, const ClassSpec& spec) {
    PyObject* meta = base ? reinterpret_cast<PyObject*>(Py_TYPE(base))
                          : reinterpret_cast<PyObject*>(&PyType_Type);
    Ref bases = Ref::steal(base ? PyTuple_Pack(1, base) : PyTuple_New(0));
    Ref name = Ref::steal(PyUnicode_FromString(spec.name));
    Ref module_name = getattr(module, dunder_name);
    if (!bases || !name || !module_name) {
        return {};
    }
    Ref prepare = getattr(meta, dunder_prepare);
    if (!prepare) {
        return {};
    }
    Ref ns = call(prepare.get(), {name.get(), bases.get()});
    if (!ns || PyObject_SetItem(ns.get(), dunder_module.get(), module_name.get()) < 0 ||
        PyObject_SetItem(ns.get(), dunder_qualname.get(), name.get()) < 0) {
        return {};
    }
    if (spec.doc) {
        Ref doc = Ref::steal(PyUnicode_FromString(spec.doc));
        if (!doc || PyObject_SetItem(ns.get(), dunder_doc.get(), doc.get()) < 0) {
            return {};
        }
    }
    Ref methods = Ref::steal(PyList_New(0));
    if (!methods) {
        return {};
    }
    for (const FunctionSpec* const* m = spec.methods; m && *m; ++m) {
        Ref function = make_function(module, **m, spec.name);
        if (!function || PyList_Append(methods.get(), function.get()) < 0 ||
            PyObject_SetItem(ns.get(), reinterpret_cast<Function*>(function.get())->name,
                             function.get()) < 0) {
            return {};
        }
    }
    Ref cls = call(meta, {name.get(), bases.get(), ns.get()});
    if (!cls) {
        return {};
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(methods.get()); ++i) {
        set_owner(PyList_GET_ITEM(methods.get(), i), cls.get());
    }
    return install_direct_slots(cls.get()) ? std::move(cls) : Ref();
}

namespace {

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

}  // namespace

Ref global(Function& fn, Name& name) {
    PyObject* key = name.get();
    return key ? lookup_global(fn.globals, fn.builtins, key) : Ref();
}

bool define_class(PyObject* module, const char* base_name, const ClassSpec& spec) {
    Ref base;
    if (base_name) {
        Ref key = Ref::steal(PyUnicode_InternFromString(base_name));
        Ref builtins = key ? Ref::steal(PyImport_ImportModule("builtins")) : Ref();
        base = builtins ? lookup_global(PyModule_GetDict(module), PyModule_GetDict(builtins.get()),
                                        key.get())
                        : Ref();
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
    const Py_ssize_t n = mro ? PyTuple_GET_SIZE(mro.get()) : 0;
    Py_ssize_t i = 0;
    while (i < n && PyTuple_GET_ITEM(mro.get(), i) != fn.owner) {
        ++i;
    }
    for (++i; i < n; ++i) {
        auto* type = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro.get(), i));
        Ref dict = type_dict(type);
        PyObject* found = dict ? PyDict_GetItemWithError(dict.get(), dunder_init.get()) : nullptr;
        if (!found) {
            if (PyErr_Occurred()) {
                return {};
            }
            continue;
        }
        Ref init = Ref::borrow(found);
        descrgetfunc get = Py_TYPE(found)->tp_descr_get;
#if MV_HAVE_VECTORCALL
        // A method descriptor called with self first is the same as binding
        // it and calling the result, without making the bound method.
        if (get && bind_to && PyType_HasFeature(Py_TYPE(found), Py_TPFLAGS_METHOD_DESCRIPTOR)) {
            return call_with(init.get(), bind_to, kwvalues, &kw);
        }
#endif
        if (get) {
            init = Ref::steal(get(found, bind_to, start.get()));
            if (!init) {
                return {};
            }
        }
        return call(init.get(), kwvalues, &kw);
    }
    PyErr_SetString(PyExc_AttributeError, "'super' object has no attribute '__init__'");
    return {};
}

}  // namespace mv
