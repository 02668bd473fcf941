#include "names.hpp"

namespace mv {

namespace {

// Every Name and KwNames of the module, linked as they are constructed
// (before the module's init function runs), and made by intern_names().
Name* name_list = nullptr;
KwNames* kwnames_list = nullptr;

}  // namespace

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

}  // namespace mv
