// mivelo.stream_reader.waker: readiness of appsinks for one thread, or one
// event loop, that waits on many streams.
//
// A Waker owns an eventfd.  A Watch stands for one reader: attach(appsink)
// sets the appsink's C callbacks (a new sample, the end of the stream) to the
// Watch, and target(waker, key) names the Waker it wakes and the key it hands
// over.  When a sample arrives, the callback, on GStreamer's streaming
// thread and without any Python, marks the Watch ready: it joins the Waker's
// list of ready watches (once, until it is taken) and the eventfd becomes
// readable.  Python takes the ready watches with take(), which clears their
// marks, and then pulls their frames; a frame that arrives after the take
// marks its watch again, so none is missed.  take() also tells how many
// samples arrived since the last take, so that the reader need not pull once
// more to find its sink empty.  Python marks a Watch itself with notify()
// when something else changed (a bus message, a read that let go of the
// reader); how many samples wait is then not known.
//
// Waker.wait(timeout) waits for the eventfd with the interpreter lock
// released; fileno() is the descriptor for an event loop's add_reader.
//
// The appsink holds the Watch's state through the callbacks' user data
// until it is finalised or its callbacks are replaced, and the state holds
// its Waker's the same way, so a late callback of a pipeline being closed
// never reaches freed memory; a Waker's eventfd is closed when the last of
// them goes.
#include "appsink.hpp"
#include "core.hpp"

#include <gst/app/gstappsink.h>
#include <gst/gst.h>

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cmath>
#include <memory>
#include <mutex>
#include <new>
#include <utility>
#include <vector>

namespace {

using mv::Name;
using mv::Ref;


struct WatchCore;

// What a Waker's watches mark: the eventfd and the list of ready watches.
struct WakerCore {
    int fd = -1;
    std::mutex mutex;
    std::vector<std::shared_ptr<WatchCore>> ready;

    WakerCore() = default;
    WakerCore(const WakerCore&) = delete;
    WakerCore& operator=(const WakerCore&) = delete;
    WakerCore(WakerCore&&) = delete;
    WakerCore& operator=(WakerCore&&) = delete;
    ~WakerCore() {
        if (fd >= 0) {
            close(fd);
        }
    }

    // Makes the eventfd readable.  A full counter is readable already.
    void signal() const {
        const uint64_t one = 1;
        while (write(fd, &one, sizeof one) < 0 && errno == EINTR) {
        }
    }

    // Called on streaming threads: it must not throw.  The eventfd is
    // written after the lock is let go of, so that a take() never waits for
    // a streaming thread that the system put aside while it held the lock;
    // a take() in between finds the list and leaves a readable eventfd behind
    // (one wake for nothing), never the other way round.
    void mark(std::shared_ptr<WatchCore> watch) noexcept {
        bool was_empty = false;
        {
            const std::lock_guard<std::mutex> lock(mutex);
            was_empty = ready.empty();
            try {
                ready.push_back(std::move(watch));
            } catch (const std::bad_alloc&) {
                // Not listed: the wake still comes, and the reader's stall
                // watchdog brings it back at the latest.
            }
        }
        if (was_empty) {
            signal();
        }
    }

    // The ready watches, the list emptied and the eventfd drained (under the
    // lock: a mark's write that comes after the drain belongs to a listing
    // that comes after the swap).
    std::vector<std::shared_ptr<WatchCore>> take() {
        std::vector<std::shared_ptr<WatchCore>> taken;
        const std::lock_guard<std::mutex> lock(mutex);
        taken.swap(ready);
        uint64_t count = 0;
        while (read(fd, &count, sizeof count) < 0 && errno == EINTR) {
        }
        return taken;
    }
};

// One reader's readiness: the Waker it marks and its key there.
struct WatchCore : std::enable_shared_from_this<WatchCore> {
    std::mutex mutex;
    std::shared_ptr<WakerCore> target;
    unsigned long long key = 0;
    bool pending = false;  // in the target's ready list, not yet taken
    unsigned long long arrivals = 0;  // samples since the last take
    bool unknown = true;  // marked for something else than samples

    // Marks the watch ready in its Waker, unless it is marked already;
    // `sample`: for a sample that arrived.
    void notify(bool sample = false) noexcept {
        std::shared_ptr<WakerCore> waker;
        {
            const std::lock_guard<std::mutex> lock(mutex);
            if (sample) {
                ++arrivals;
            } else {
                unknown = true;
            }
            if (!target || pending) {
                return;
            }
            pending = true;
            waker = target;
        }
        waker->mark(shared_from_this());
    }

    // After a take() from `waker`: the key and the samples that arrived
    // (-1: not known), the mark and the count cleared, if the watch still
    // marks that Waker.
    bool taken_by(const WakerCore* waker, unsigned long long& taken_key, long long& samples) {
        const std::lock_guard<std::mutex> lock(mutex);
        if (target.get() != waker || !pending) {
            return false;  // marks another Waker now, or listed twice
        }
        pending = false;
        taken_key = key;
        samples = unknown ? -1 : static_cast<long long>(arrivals);
        arrivals = 0;
        unknown = false;
        return true;
    }

    // After a take() that could not hand it out: ready again, its count
    // unknown (whatever happened to its mark meanwhile, it is listed anew).
    void requeue() noexcept {
        {
            const std::lock_guard<std::mutex> lock(mutex);
            pending = false;
        }
        notify();
    }

    void retarget(std::shared_ptr<WakerCore> waker, unsigned long long new_key) {
        {
            const std::lock_guard<std::mutex> lock(mutex);
            target = std::move(waker);
            key = new_key;
            pending = false;
            unknown = true;
        }
        // Ready at once: frames may wait that no callback announces again.
        notify();
    }
};

// ---------------------------------------------------------------------------
// The Python types

struct WakerObject {
    PyObject_HEAD
    std::shared_ptr<WakerCore> core;
};

struct WatchObject {
    PyObject_HEAD
    std::shared_ptr<WatchCore> core;
};

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
PyTypeObject WakerType = {PyVarObject_HEAD_INIT(nullptr, 0)};
PyTypeObject WatchType = {PyVarObject_HEAD_INIT(nullptr, 0)};
#pragma GCC diagnostic pop

WakerObject* as_waker(PyObject* obj) { return reinterpret_cast<WakerObject*>(obj); }
WatchObject* as_watch(PyObject* obj) { return reinterpret_cast<WatchObject*>(obj); }

PyObject* waker_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    if (PyTuple_GET_SIZE(args) != 0 || (kwargs && PyDict_Size(kwargs) != 0)) {
        PyErr_SetString(PyExc_TypeError, "Waker() takes no arguments");
        return nullptr;
    }
    // The core first (a bad_alloc must not leave this function); it owns the
    // eventfd from then on, so a failure after that leaves nothing to undo.
    std::shared_ptr<WakerCore> core;
    try {
        core = std::make_shared<WakerCore>();
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
    core->fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (core->fd < 0) {
        return PyErr_SetFromErrno(PyExc_OSError);
    }
    Ref obj = Ref::steal(type->tp_alloc(type, 0));
    if (!obj) {
        return nullptr;
    }
    new (&as_waker(obj.get())->core) std::shared_ptr<WakerCore>(std::move(core));
    return obj.release();
}

void waker_dealloc(PyObject* self) {
    as_waker(self)->core.~shared_ptr<WakerCore>();
    Py_TYPE(self)->tp_free(self);
}

PyObject* waker_fileno(PyObject* self, PyObject* /*unused*/) {
    return PyLong_FromLong(as_waker(self)->core->fd);
}

// A timeout in seconds (None waits for ever) as poll()'s milliseconds,
// rounded up so that a wait never ends early.
bool timeout_ms(PyObject* obj, int& ms) {
    double seconds;
    if (!mv::timeout_seconds(obj, seconds)) {
        return false;
    }
    const double millis = std::ceil(seconds * 1000.0);
    ms = millis >= static_cast<double>(INT_MAX) ? -1 : static_cast<int>(millis);
    return true;
}

// poll() of the eventfd with the interpreter lock released: 1 when it is
// readable, 0 after `ms`, -1 with an error set (a signal handler raised).
int poll_readable(int fd, int ms) {
    const bool forever = ms < 0;
    const gint64 deadline = forever ? 0 : g_get_monotonic_time() + gint64{ms} * 1000;
    for (;;) {
        pollfd entry = {fd, POLLIN, 0};
        int result = 0;
        Py_BEGIN_ALLOW_THREADS
        result = poll(&entry, 1, ms);
        Py_END_ALLOW_THREADS
        if (result >= 0) {
            return result > 0 ? 1 : 0;
        }
        if (errno != EINTR) {
            PyErr_SetFromErrno(PyExc_OSError);
            return -1;
        }
        // Interrupted by a signal: its Python handler runs now (Ctrl-C raises).
        if (PyErr_CheckSignals() < 0) {
            return -1;
        }
        if (!forever) {
            const gint64 left = deadline - g_get_monotonic_time();
            ms = left <= 0 ? 0 : static_cast<int>((left + 999) / 1000);
        }
    }
}

PyObject* waker_wait(PyObject* self, PyObject* timeout) {
    int ms = 0;
    if (!timeout_ms(timeout, ms)) {
        return nullptr;
    }
    // The core stays alive while the lock is released, whatever happens to self.
    const std::shared_ptr<WakerCore> core = as_waker(self)->core;
    const int readable = poll_readable(core->fd, ms);
    if (readable < 0) {
        return nullptr;
    }
    return Ref::borrow(readable ? Py_True : Py_False).release();
}

// (key, samples) of one taken watch; samples None when not known.
Ref taken_pair(unsigned long long key, long long samples) {
    Ref number = Ref::steal(PyLong_FromUnsignedLongLong(key));
    Ref count = samples < 0 ? Ref::borrow(Py_None) : Ref::steal(PyLong_FromLongLong(samples));
    if (!number || !count) {
        return {};
    }
    return Ref::steal(PyTuple_Pack(2, number.get(), count.get()));
}

// The (key, samples) list of the watches that `core`'s take() returned.
Ref taken_pairs(const WakerCore* core, const std::vector<std::shared_ptr<WatchCore>>& taken) {
    Ref pairs = Ref::steal(PyList_New(0));
    if (!pairs) {
        return {};
    }
    for (const std::shared_ptr<WatchCore>& watch : taken) {
        unsigned long long key = 0;
        long long samples = 0;
        if (!watch->taken_by(core, key, samples)) {
            continue;
        }
        Ref pair = taken_pair(key, samples);
        if (!pair || PyList_Append(pairs.get(), pair.get()) < 0) {
            return {};
        }
    }
    return pairs;
}

PyObject* waker_take(PyObject* self, PyObject* /*unused*/) {
    WakerCore* core = as_waker(self)->core.get();
    const std::vector<std::shared_ptr<WatchCore>> taken = core->take();
    Ref pairs = taken_pairs(core, taken);
    if (!pairs) {
        // Out of memory: the watches are off the list, and a watch still
        // marked would never be listed again.  They are all listed anew.
        for (const std::shared_ptr<WatchCore>& watch : taken) {
            watch->requeue();
        }
    }
    return pairs.release();
}

PyObject* waker_wake(PyObject* self, PyObject* /*unused*/) {
    as_waker(self)->core->signal();
    Py_RETURN_NONE;
}

PyMethodDef waker_methods[] = {
    {"fileno", waker_fileno, METH_NOARGS,
     "The eventfd, readable while watches are ready (for an event loop's add_reader)."},
    {"wait", waker_wait, METH_O,
     "wait(timeout) -> bool\n\n"
     "Waits, with the interpreter lock released, until a watch is ready or wake()\n"
     "was called (True), or `timeout` seconds pass (False; None: no limit).  A\n"
     "signal's Python handler runs while it waits, and what it raises ends the wait."},
    {"take", waker_take, METH_NOARGS,
     "take() -> list of (key, samples)\n\n"
     "The watches that became ready since the last take(), each once, in the order\n"
     "they did: their keys and the samples that reached their sinks meanwhile (None\n"
     "when a notify() or target() marked them: unknown).  Their marks and counts\n"
     "are cleared, and the eventfd too; a MemoryError leaves them all ready, their\n"
     "counts unknown."},
    {"wake", waker_wake, METH_NOARGS, "Ends the waits in progress (and the next one) at once."},
    {nullptr, nullptr, 0, nullptr},
};

// ---------------------------------------------------------------------------
// Watch

GstFlowReturn on_new_sample(GstAppSink* /*sink*/, gpointer data) {
    (*static_cast<std::shared_ptr<WatchCore>*>(data))->notify(true);
    return GST_FLOW_OK;
}

void on_eos(GstAppSink* /*sink*/, gpointer data) {
    (*static_cast<std::shared_ptr<WatchCore>*>(data))->notify();
}

void drop_watch(gpointer data) { delete static_cast<std::shared_ptr<WatchCore>*>(data); }

PyObject* watch_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    if (PyTuple_GET_SIZE(args) != 0 || (kwargs && PyDict_Size(kwargs) != 0)) {
        PyErr_SetString(PyExc_TypeError, "Watch() takes no arguments");
        return nullptr;
    }
    // The core first, as for a Waker: the object's dealloc always finds one.
    std::shared_ptr<WatchCore> core;
    try {
        core = std::make_shared<WatchCore>();
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
    Ref obj = Ref::steal(type->tp_alloc(type, 0));
    if (!obj) {
        return nullptr;
    }
    new (&as_watch(obj.get())->core) std::shared_ptr<WatchCore>(std::move(core));
    return obj.release();
}

void watch_dealloc(PyObject* self) {
    WatchObject* watch = as_watch(self);
    watch->core->retarget(nullptr, 0);
    watch->core.~shared_ptr<WatchCore>();
    Py_TYPE(self)->tp_free(self);
}

PyObject* watch_attach(PyObject* self, PyObject* appsink) {
    GstAppSink* sink = appsink::of(appsink, "attach");
    if (!sink) {
        return nullptr;
    }
    auto* data = new (std::nothrow) std::shared_ptr<WatchCore>(as_watch(self)->core);
    if (!data) {
        return PyErr_NoMemory();
    }
    GstAppSinkCallbacks callbacks{};
    callbacks.eos = on_eos;
    callbacks.new_sample = on_new_sample;
    gst_app_sink_set_callbacks(sink, &callbacks, data, drop_watch);
    // Frames may have arrived before: the reader looks at once.
    as_watch(self)->core->notify();
    Py_RETURN_NONE;
}

PyObject* watch_target(PyObject* self, PyObject* args) {
    PyObject* waker = nullptr;
    PyObject* number = nullptr;
    if (!PyArg_ParseTuple(args, "OO:target", &waker, &number)) {
        return nullptr;
    }
    unsigned long long key = 0;
    if (!mv::unsigned_64(number, "key", key)) {
        return nullptr;
    }
    if (waker == Py_None) {
        as_watch(self)->core->retarget(nullptr, 0);
        Py_RETURN_NONE;
    }
    if (!PyObject_TypeCheck(waker, &WakerType)) {
        PyErr_Format(PyExc_TypeError, "target() needs a Waker or None, not %.200s",
                     Py_TYPE(waker)->tp_name);
        return nullptr;
    }
    as_watch(self)->core->retarget(as_waker(waker)->core, key);
    Py_RETURN_NONE;
}

PyObject* watch_notify(PyObject* self, PyObject* /*unused*/) {
    as_watch(self)->core->notify();
    Py_RETURN_NONE;
}

PyMethodDef watch_methods[] = {
    {"attach", watch_attach, METH_O,
     "attach(appsink)\n\n"
     "Sets the appsink's callbacks (replacing any) so that its samples and its end\n"
     "mark this watch ready, and marks it ready at once."},
    {"target", watch_target, METH_VARARGS,
     "target(waker, key)\n\n"
     "The Waker that this watch marks from now on, with `key` (an int from 0 to\n"
     "2**64-1) for take() to return; None stops marking.  Marks it ready at once."},
    {"notify", watch_notify, METH_NOARGS,
     "Marks the watch ready, as a new sample does (once until it is taken)."},
    {nullptr, nullptr, 0, nullptr},
};

bool ready_type(PyTypeObject& t, const char* name, const char* doc, Py_ssize_t size,
                newfunc make, destructor dealloc, PyMethodDef* methods) {
    if (t.tp_flags & Py_TPFLAGS_READY) {
        return true;
    }
    t.tp_name = name;
    t.tp_basicsize = size;
    t.tp_flags = Py_TPFLAGS_DEFAULT;
    t.tp_doc = doc;
    t.tp_new = make;
    t.tp_dealloc = dealloc;
    t.tp_methods = methods;
    return PyType_Ready(&t) == 0;
}

int exec_waker(PyObject* module) {
    const bool ready =
        ready_type(WakerType, "mivelo.stream_reader.waker.Waker",
                   "Waker()\n\nAn eventfd that the Watches targeting it make readable.",
                   sizeof(WakerObject), waker_new, waker_dealloc, waker_methods) &&
        ready_type(WatchType, "mivelo.stream_reader.waker.Watch",
                   "Watch()\n\nOne reader's readiness: its appsink's samples mark its Waker.",
                   sizeof(WatchObject), watch_new, watch_dealloc, watch_methods);
    return ready && mv::bind(module, "Waker", reinterpret_cast<PyObject*>(&WakerType)) &&
                   mv::bind(module, "Watch", reinterpret_cast<PyObject*>(&WatchType))
               ? 0
               : -1;
}

}  // namespace

MV_MODULE(waker, exec_waker)
