// Interned names: the attribute, global and keyword names that the modules
// use, each made once per process.
#pragma once

#include "ref.hpp"

namespace mv {

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

}  // namespace mv
