// The arguments of one call as vectorcall lays them out, and every change of
// layout the core makes between calling conventions: one stack type that
// owns what it must keep alive, and one conversion the other way (pack).
//
// Layout: the positional arguments, then the values of the keywords that a
// tuple of names lists.  Up to kMaxArgs arguments live in the stack object
// itself; more go into a tuple, which then holds them all.  A stack is
// handed to a function's binding and body, never to a vectorcall, so it
// keeps no free slot ahead of its first argument.
#pragma once

#include "ref.hpp"

namespace mv {

// The most parameters a function of the package declares (make_function
// refuses more), and the most arguments a stack keeps without a tuple.
constexpr Py_ssize_t kMaxArgs = 8;

class ArgStack {
public:
    ArgStack() noexcept = default;
    ArgStack(const ArgStack&) = delete;
    ArgStack& operator=(const ArgStack&) = delete;
    ~ArgStack() {
        if (lent_slot_) {
            *lent_slot_ = lent_value_;
        }
        while (nheld_ > 0) {
            Py_DECREF(held_[--nheld_]);
        }
    }

    // Room for `n` arguments, asked for before the first is pushed; more
    // than kMaxArgs are kept in a tuple.  False with an exception set.
    bool reserve(Py_ssize_t n) { return n <= kMaxArgs || spill(n); }
    // Appends an argument that the caller keeps alive for the call.
    void push(PyObject* arg) noexcept {
        if (spill_) {
            Py_INCREF(arg);
        }
        items_[size_++] = arg;
    }
    // Appends an argument that the stack keeps alive until it goes.
    void push_held(PyObject* arg) noexcept {
        Py_INCREF(arg);
        if (!spill_) {
            held_[nheld_++] = arg;
        }
        items_[size_++] = arg;
    }

    // `n` empty places (nullptr), to be filled in any order with set() and
    // set_held(): the parameters of a call as they are bound.  At most
    // kMaxArgs, on a stack that has had nothing pushed.
    void clear_places(Py_ssize_t n) noexcept {
        for (size_ = 0; size_ < n; ++size_) {
            items_[size_] = nullptr;
        }
    }
    PyObject* operator[](Py_ssize_t i) const noexcept { return items_[i]; }
    void set(Py_ssize_t i, PyObject* arg) noexcept { items_[i] = arg; }
    void set_held(Py_ssize_t i, PyObject* arg) noexcept {
        Py_INCREF(arg);
        held_[nheld_++] = arg;
        items_[i] = arg;
    }

    // self (left out when nullptr), the items of the tuple `args` and the
    // values of the dict `kwargs` (or nullptr), as tp_call and tp_init
    // receive a call; `kwnames` gets the dict's keys (stays empty without
    // keywords).  The keyword values are held, as the callee may change the
    // dict.  Returns the number of positional arguments, -1 with an error set.
    Py_ssize_t unpack(PyObject* self, PyObject* args, PyObject* kwargs, Ref& kwnames);

#if MV_HAVE_VECTORCALL
    // `self` ahead of the arguments that a vectorcall passed (`nargsf` and
    // `kwnames` as it passed them): written into args[-1] when
    // PY_VECTORCALL_ARGUMENTS_OFFSET allows that, and the slot given back
    // when the stack goes; copied otherwise.  False with an exception set.
    bool prepend(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames);
#endif

    PyObject* const* args() const noexcept { return items_; }
    PyObject** args() noexcept { return items_; }
    Py_ssize_t size() const noexcept { return size_; }

private:
    bool spill(Py_ssize_t n);

    PyObject* inline_[kMaxArgs];
    PyObject** items_ = inline_;
    Py_ssize_t size_ = 0;
    PyObject* held_[kMaxArgs];  // what the stack holds, unless a tuple does
    Py_ssize_t nheld_ = 0;
    Ref spill_;                     // the tuple, when there are too many arguments
    PyObject** lent_slot_ = nullptr;  // args[-1] of the caller's array, while used
    PyObject* lent_value_ = nullptr;
};

// The arguments laid out as vectorcall passes them, as the tuple and the
// dict (empty Ref without keywords) that tp_call and tp_init take.  False
// with an exception set.
bool pack(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Ref& tuple, Ref& kwargs);

}  // namespace mv
