"""Reference and memory leaks of the extension modules, under a debug build.

Every public callable is driven through its success path and each of its
error paths many times.  A leak (or a reference dropped once too often) shows
as a total reference count, or a count of allocated memory blocks, that grows
(or shrinks) with the number of calls: each case is run n and then 2n times
after a warm-up, and the two changes must be about the same.  Caches that fill
once only add a constant to both.

The counts are only meaningful in a debug interpreter (sys.gettotalrefcount)
running modules built for it: a release-built module loaded into python3-dbg
bumps no total, so that case is an error here, not a skip.
"""
import contextlib
import copy
import gc
import importlib
import inspect
import os
import pathlib
import pickle
import re
import sys
import sysconfig
import types
import weakref

import pytest

from fakes import Boom, FakeClock, Stage, watcher
from helpers import DELETE, bound, extension_modules, fresh_module
from mivelo import errors
from mivelo.pipeline_factories import base, custom, http
from mivelo.stream_reader import tunables
from mivelo.utils import timing

IS_DEBUG_BUILD = hasattr(sys, "gettotalrefcount")


@pytest.fixture(scope="module", autouse=True)
def debug_build():
    if not IS_DEBUG_BUILD:
        reason = (f"reference counts need a debug interpreter (python3-dbg) and modules built "
                  f"for it; {sys.executable} is a release build")
        if os.environ.get("MIVELO_REQUIRE_DEBUG"):
            pytest.fail(reason)
        pytest.skip(reason)
    suffix = sysconfig.get_config_var("EXT_SUFFIX")
    loaded = {name: pathlib.Path(importlib.import_module(name).__file__).resolve()
              for name in extension_modules()}
    wrong = {name: path.name for name, path in loaded.items() if not path.name.endswith(suffix)}
    assert loaded and not wrong, (
        f"extension modules not built for this debug interpreter ({suffix}): {wrong}")
    # What exists now is left out of the collections that every measurement
    # runs, which makes them fast; it stays alive meanwhile, as it would anyway.
    gc.collect()
    gc.freeze()
    yield
    gc.unfreeze()


# ---------------------------------------------------------------------------
# Measuring


def growth(fn, n, warmup):
    """How much more the reference total and the block count change over 2n
    calls than over n calls."""
    for _ in range(warmup):
        fn()
    gc.collect()
    counts = [(sys.gettotalrefcount(), sys.getallocatedblocks())]
    for calls in (n, 2 * n):
        for _ in range(calls):
            fn()
        gc.collect()
        counts.append((sys.gettotalrefcount(), sys.getallocatedblocks()))
    (refs0, blocks0), (refs1, blocks1), (refs2, blocks2) = counts
    return (refs2 - refs1) - (refs1 - refs0), (blocks2 - blocks1) - (blocks1 - blocks0)


def assert_no_leak(fn, n):
    """Fails when fn leaks (or over-releases) about one reference or block in
    every 10 calls or more.  Other threads of the process (GStreamer's, left
    by earlier tests) can disturb one measurement, never three alike."""
    # A short first round stops a reference dropped once too often before the
    # object it belongs to runs out of references.
    def failure(n, refs, blocks):
        pytest.fail(f"{n} more calls changed the reference total by {refs:+d} and the "
                    f"allocated blocks by {blocks:+d}")

    refs, blocks = growth(fn, 50, warmup=10)
    if abs(refs) >= 25:
        failure(50, refs, blocks)
    limit = max(n // 10, 10)
    for _ in range(3):
        refs, blocks = growth(fn, n, warmup=100)
        # Blocks only count when they grow: a free list or cache that an
        # earlier test filled may drain as the calls go on.
        if abs(refs) < limit and blocks < limit:
            return
    failure(n, refs, blocks)


# ---------------------------------------------------------------------------
# Cases


class Case:
    """One path of one callable: ``make()`` (run with ``patches`` bound)
    returns what to call, which returns normally or raises ``raises`` with a
    message that ``match`` finds (re.search)."""

    def __init__(self, id, covers, make, raises=None, match=None, patches=(), n=2000):
        self.id, self.covers, self.make = id, covers, make
        self.raises, self.match, self.patches, self.n = raises, match, patches, n


CASES = []


def case(id, covers, make, raises=None, match=None, patches=(), n=2000):
    CASES.append(Case(id, covers, make, raises, match, patches, n))


def calls(fn, *args, **kwargs):
    return lambda: lambda: fn(*args, **kwargs)


def fresh(error):
    # A new exception for every raise: raising one instance again would add to
    # its traceback, a growth of the test's own making.
    return type(error)(*error.args)


class Mapping:
    """A mapping that is no dict: items() gives what it was made with, or
    raises a copy of it when it is an exception."""

    def __init__(self, items, contains=None, getitem=None):
        self._items, self._contains, self._getitem = items, contains, getitem

    def items(self):
        if isinstance(self._items, Exception):
            raise fresh(self._items)
        return self._items

    def __contains__(self, key):
        if self._contains:
            raise fresh(self._contains)
        return True

    def __getitem__(self, key):
        if self._getitem:
            raise fresh(self._getitem)
        return int


def raising_iterator():
    yield ("size", 1)
    raise Boom("next")


class BadHash:
    def __hash__(self):
        raise Boom("hash")


class BadFormat:
    def __format__(self, spec):
        raise Boom("format")


class RaisingMeta(type):
    def __instancecheck__(cls, obj):
        raise Boom("instancecheck")

    def __format__(cls, spec):
        raise Boom("format")


class RaisingCheck(metaclass=RaisingMeta):
    pass


class FormatMeta(type):
    def __format__(cls, spec):
        raise Boom("format")


class BadlyFormattedType(metaclass=FormatMeta):
    pass


class Grows:
    """``in`` that adds a key to the dict being walked (once per walk)."""

    def __init__(self, target, replace=False):
        self.target, self.replace = target, replace

    def __contains__(self, key):
        if self.replace:
            self.target.pop(key, None)
            self.target[object()] = 1
        else:
            self.target[object()] = 1
        return True

    def __getitem__(self, key):
        return object


def mutating_walk(replace):
    def make():
        def run():
            supplied = {"a": 1, "b": 2}
            tunables.check_tunables(supplied, Grows(supplied, replace))
        return run
    return make


class OtherError(Exception):
    pass


class NoInstanceError(Exception):
    def __new__(cls, *args):
        return 5


def make_other_error(message):
    return OtherError(message)


def raise_boom(*args):
    raise Boom("factory")


# mivelo.errors ---------------------------------------------------------------

ERROR_CLASSES = ["StreamSetupError", "InvalidCustomPipelineError", "SourceNotFoundError",
                 "InvalidRuntimeOptionError", "NotLinkedError"]


def raise_and_catch(cls):
    def run():
        try:
            raise cls("message")
        except Exception as error:
            assert str(error) == "message" and error.args == ("message",)
    return lambda: run


for _name in ERROR_CLASSES:
    _cls = getattr(errors, _name)
    case(f"errors.{_name}: raise and catch", [f"mivelo.errors.{_name}"], raise_and_catch(_cls))
    case(f"errors.{_name}: keyword refused", [f"mivelo.errors.{_name}"],
         calls(_cls, message="x"), TypeError, "keyword arguments")
case("errors: catch subclasses by base", ["mivelo.errors.StreamSetupError"],
     lambda: lambda: isinstance(errors.SourceNotFoundError("m"), errors.StreamSetupError))

# mivelo.stream_reader.tunables -------------------------------------------------

CT = "mivelo.stream_reader.tunables.check_tunables"
ct = tunables.check_tunables
SUPPORTED = {"size": int, "name": (str, bytes), "flag": bool}

case("check_tunables: empty", [CT], calls(ct, {}, None))
case("check_tunables: all pass", [CT], calls(ct, {"size": 3, "name": b"x", "flag": True}, SUPPORTED))
case("check_tunables: keywords", [CT], calls(ct, supplied={"size": 3}, supported=SUPPORTED))
case("check_tunables: through a dict of keywords", [CT],
     calls(ct, **{"supplied": {"size": 3}, "supported": SUPPORTED}))
case("check_tunables: subclass value passes", [CT], calls(ct, {"size": True}, SUPPORTED))
case("check_tunables: mapping that is no dict", [CT],
     calls(ct, Mapping([("size", 1), ["name", "x"]]), SUPPORTED))
case("check_tunables: unknown option", [CT], calls(ct, {"size": 1, "other": 2}, SUPPORTED),
     errors.InvalidRuntimeOptionError, "^Unknown option 'other'$")
case("check_tunables: unknown int key", [CT], calls(ct, {5: 1}, {}),
     errors.InvalidRuntimeOptionError, "^Unknown option '5'$")
case("check_tunables: wrong type", [CT], calls(ct, {"size": "3"}, SUPPORTED),
     errors.InvalidRuntimeOptionError,
     "^Option 'size' should be of type '<class 'int'>', got '<class 'str'>'$")
case("check_tunables: wrong type, tuple", [CT], calls(ct, {"name": 3}, SUPPORTED),
     errors.InvalidRuntimeOptionError, r"of type '\(<class 'str'>, <class 'bytes'>\)'")
case("check_tunables: supplied None", [CT], calls(ct, None, {}),
     AttributeError, "^'NoneType' object has no attribute 'items'$")
case("check_tunables: supplied without items", [CT], calls(ct, 5, {}), AttributeError, "items")
case("check_tunables: items() raises", [CT], calls(ct, Mapping(Boom("items")), {}), Boom)
case("check_tunables: items() not iterable", [CT], calls(ct, Mapping(5), {}), TypeError)
case("check_tunables: iteration raises", [CT],
     lambda: lambda: ct(Mapping(raising_iterator()), SUPPORTED), Boom)
case("check_tunables: item of three", [CT], calls(ct, Mapping([("a", 1, 2)]), SUPPORTED),
     ValueError, "too many values to unpack")
case("check_tunables: item of one", [CT], calls(ct, Mapping([("a",)]), SUPPORTED),
     ValueError, "not enough values to unpack")
case("check_tunables: item None", [CT], calls(ct, Mapping([None]), SUPPORTED),
     TypeError, "cannot unpack non-iterable NoneType object")
case("check_tunables: supported no container", [CT], calls(ct, {"a": 1}, 5),
     TypeError, "not iterable")
case("check_tunables: in raises", [CT], calls(ct, {"a": 1}, Mapping([], contains=Boom("in"))), Boom)
case("check_tunables: supported[key] raises", [CT],
     calls(ct, {"a": 1}, Mapping([], getitem=KeyError("a"))), KeyError)
case("check_tunables: unhashable key", [CT], lambda: lambda: ct(Mapping([(BadHash(), 1)]), {}),
     Boom, "hash")
case("check_tunables: entry no class", [CT], calls(ct, {"a": 1}, {"a": 3}),
     TypeError, "isinstance")
case("check_tunables: instancecheck raises", [CT], calls(ct, {"a": 1}, {"a": RaisingCheck}), Boom)
case("check_tunables: key format raises", [CT], calls(ct, Mapping([(BadFormat(), 1)]), {}), Boom)
case("check_tunables: type format raises", [CT], calls(ct, {"a": 1}, {"a": BadlyFormattedType}),
     Boom, "format")
case("check_tunables: dict grows while walked", [CT], mutating_walk(False),
     RuntimeError, "changed size during iteration")
case("check_tunables: dict keys replaced while walked", [CT], mutating_walk(True), RuntimeError)
case("check_tunables: error class deleted", [CT], calls(ct, {"a": 1}, {}),
     NameError, "^name 'InvalidRuntimeOptionError' is not defined$",
     [(tunables, {"InvalidRuntimeOptionError": DELETE})])
case("check_tunables: error class no exception", [CT], calls(ct, {"a": 1}, {}),
     TypeError, "exceptions must derive from BaseException",
     [(tunables, {"InvalidRuntimeOptionError": str})])
case("check_tunables: error class rebound", [CT], calls(ct, {"a": 1}, {}),
     OtherError, "Unknown option", [(tunables, {"InvalidRuntimeOptionError": OtherError})])
case("check_tunables: error factory gives an instance", [CT], calls(ct, {"a": 1}, {}),
     OtherError, "Unknown option", [(tunables, {"InvalidRuntimeOptionError": make_other_error})])
case("check_tunables: error factory raises", [CT], calls(ct, {"a": 1}, {}), Boom, "factory",
     [(tunables, {"InvalidRuntimeOptionError": raise_boom})])
case("check_tunables: error factory gives a class that gives no instance", [CT],
     calls(ct, {"a": 1}, {}), TypeError, "should have returned an instance of BaseException",
     [(tunables, {"InvalidRuntimeOptionError": lambda message: NoInstanceError})])
case("check_tunables: missing both", [CT], calls(ct), TypeError,
     r"missing 2 required positional arguments: 'supplied' and 'supported'$")
case("check_tunables: missing one", [CT], calls(ct, {}), TypeError,
     r"missing 1 required positional argument: 'supported'$")
case("check_tunables: too many", [CT], calls(ct, {}, {}, {}), TypeError,
     r"takes 2 positional arguments but 3 were given$")
case("check_tunables: unexpected keyword", [CT], calls(ct, {}, {}, other=1), TypeError,
     r"got an unexpected keyword argument 'other'$")
case("check_tunables: multiple values", [CT], calls(ct, {}, {}, supplied={}), TypeError,
     r"got multiple values for argument 'supplied'$")
case("check_tunables: keyword not a string", [CT], lambda: lambda: ct({}, {}, **{1: 2}),
     TypeError, "keywords must be strings")

# mivelo.utils.timing -----------------------------------------------------------

T = "mivelo.utils.timing.Timeout"
TIMING = [(timing, {"time": FakeClock(), "logger": Stage().logger})]


def expired(*args, **kwargs):
    timeout = timing.Timeout(*args, **kwargs)
    timeout.start = 990.0
    return timeout


def truth_of(make_timeout):
    def make():
        timeout = make_timeout()
        return lambda: bool(timeout)
    return make


def clock_fails_after(use):
    def make():
        timeout = timing.Timeout(5)
        timing.time = FakeClock(fail=True)  # put back by the case's patches
        return use(timeout)
    return make


def with_attr(make_timeout, **attrs):
    def make():
        timeout = make_timeout()
        for name, value in attrs.items():
            if value is DELETE:
                delattr(timeout, name)
            else:
                setattr(timeout, name, value)
        return timeout
    return make


class Truthless:
    def __bool__(self):
        raise Boom("bool")


class OddLimit:
    """Compares to a float as an object whose truth raises."""

    def __gt__(self, other):
        return Truthless()


class BadIntFormat(int):
    def __format__(self, spec):
        raise Boom("format")


case("Timeout: defaults", [f"{T}.__init__"], calls(timing.Timeout, 5), patches=TIMING)
case("Timeout: all positional", [f"{T}.__init__"], calls(timing.Timeout, 5, False, True),
     patches=TIMING)
case("Timeout: keywords", [f"{T}.__init__"],
     calls(timing.Timeout, time_seconds=5, raise_error=False, print_timeout=True), patches=TIMING)
case("Timeout: clock raises in __init__", [f"{T}.__init__"], calls(timing.Timeout, 5), Boom,
     patches=[(timing, {"time": FakeClock(fail=True)})])
case("Timeout: time deleted", [f"{T}.__init__"], calls(timing.Timeout, 5), NameError,
     "^name 'time' is not defined$", [(timing, {"time": DELETE})])
case("Timeout: missing limit", [f"{T}.__init__"], calls(timing.Timeout), TypeError,
     r"missing 1 required positional argument: 'time_seconds'$", TIMING)
case("Timeout: unbound, nothing", [f"{T}.__init__"], calls(timing.Timeout.__init__), TypeError,
     r"missing 2 required positional arguments: 'self' and 'time_seconds'$", TIMING)
case("Timeout: too many", [f"{T}.__init__"], calls(timing.Timeout, 1, 2, 3, 4), TypeError,
     r"takes from 2 to 4 positional arguments but 5 were given$", TIMING)
case("Timeout: unexpected keyword", [f"{T}.__init__"], calls(timing.Timeout, 1, other=2),
     TypeError, r"got an unexpected keyword argument 'other'$", TIMING)
case("Timeout: multiple values", [f"{T}.__init__"], calls(timing.Timeout, 1, time_seconds=2),
     TypeError, r"got multiple values for argument 'time_seconds'$", TIMING)
case("Timeout: reset", [f"{T}.reset"], lambda: timing.Timeout(5).reset, patches=TIMING)
case("Timeout: reset, clock raises", [f"{T}.reset"], clock_fails_after(lambda t: t.reset), Boom,
     patches=TIMING)
case("Timeout: reset with an argument", [f"{T}.reset"],
     lambda: lambda: timing.Timeout.reset(timing.Timeout(5), 1), TypeError,
     r"takes 1 positional argument but 2 were given$", TIMING)
case("Timeout: reset on a frozen object", [f"{T}.reset"],
     calls(timing.Timeout.reset, object()), AttributeError, None, TIMING)
case("Timeout: running", [f"{T}.__bool__"], truth_of(lambda: timing.Timeout(5)), patches=TIMING)
case("Timeout: expired, quiet", [f"{T}.__bool__"],
     truth_of(lambda: expired(5, raise_error=False)), patches=TIMING)
case("Timeout: expired, warns", [f"{T}.__bool__"],
     truth_of(lambda: expired(5, raise_error=False, print_timeout=True)), patches=TIMING)
case("Timeout: expired, raises", [f"{T}.__bool__"], truth_of(lambda: expired(5)),
     TimeoutError, r"^Timer of 5 seconds timed out at 10\.0 seconds!$", TIMING)
case("Timeout: expired, warns and raises", [f"{T}.__bool__"],
     truth_of(lambda: expired(5.5, True, True)), TimeoutError, "Timer of 5.5 seconds", TIMING)
case("Timeout: warning raises", [f"{T}.__bool__"],
     truth_of(lambda: expired(5, False, True)), Boom, "warning",
     TIMING + [(timing, {"logger": Stage("warning").logger})])
case("Timeout: logger deleted", [f"{T}.__bool__"], truth_of(lambda: expired(5, False, True)),
     NameError, "'logger'", TIMING + [(timing, {"logger": DELETE})])
case("Timeout: logger without warning", [f"{T}.__bool__"],
     truth_of(lambda: expired(5, False, True)), AttributeError, "warning",
     TIMING + [(timing, {"logger": object()})])
case("Timeout: clock raises in __bool__", [f"{T}.__bool__"],
     clock_fails_after(lambda t: lambda: bool(t)), Boom, None, TIMING)
case("Timeout: start deleted", [f"{T}.__bool__"],
     truth_of(with_attr(lambda: timing.Timeout(5), start=DELETE)), AttributeError, "start", TIMING)
case("Timeout: limit not comparable", [f"{T}.__bool__"],
     truth_of(lambda: timing.Timeout("5")), TypeError, "'<' not supported", TIMING)
case("Timeout: comparison truth raises", [f"{T}.__bool__"],
     truth_of(lambda: timing.Timeout(OddLimit())), Boom, "bool", TIMING)
case("Timeout: print flag raises", [f"{T}.__bool__"],
     truth_of(lambda: expired(5, True, Truthless())), Boom, "bool", TIMING)
case("Timeout: raise flag raises", [f"{T}.__bool__"],
     truth_of(lambda: expired(5, Truthless(), False)), Boom, "bool", TIMING)
case("Timeout: limit text raises", [f"{T}.__bool__"],
     truth_of(lambda: expired(BadIntFormat(5))), Boom, "format", TIMING)
case("Timeout: TimeoutError rebound", [f"{T}.__bool__"], truth_of(lambda: expired(5)),
     OtherError, "Timer of 5", TIMING + [(timing, {"TimeoutError": OtherError})])
case("Timeout: TimeoutError no exception", [f"{T}.__bool__"], truth_of(lambda: expired(5)),
     TypeError, "exceptions must derive", TIMING + [(timing, {"TimeoutError": str})])
case("Timeout: __bool__ unbound on another object", [f"{T}.__bool__"],
     calls(timing.Timeout.__bool__, types.SimpleNamespace(start=0.0)), AttributeError,
     "time_seconds", TIMING)

# Construction and truth test through the core's direct slots (slots.cpp):
# calls of the class and through type.__call__, more arguments than the
# core's stack holds, the wall clock read directly while the module's `time`
# is the builtin, and the way back to CPython's own slots once a class's
# methods change (on a fresh copy of the module, so that the class the other
# cases use keeps its slots).
MANY = {f"k{i}": i for i in range(20)}
WALL_CLOCK = [(timing, {"time": timing.time, "logger": Stage().logger})]


def changed_timeout(**attrs):
    def make():
        module = fresh_module("mivelo.utils.timing")
        module.time = FakeClock()
        for name, value in attrs.items():
            setattr(module.Timeout, name, value)
        return lambda: module.Timeout(5, print_timeout=True)
    return make


def python_init(self, time_seconds, raise_error=True, print_timeout=False):
    self.start, self.time_seconds = 0.0, time_seconds


case("Timeout: through type.__call__", [f"{T}.__init__"],
     calls(type.__call__, timing.Timeout, 5, print_timeout=True), patches=TIMING)
case("Timeout: type.__call__, too many", [f"{T}.__init__"],
     calls(type.__call__, timing.Timeout, *range(20)), TypeError, "but 21 were given$", TIMING)
case("Timeout: type.__call__, many keywords", [f"{T}.__init__"],
     calls(type.__call__, timing.Timeout, 1, **MANY), TypeError, "argument 'k0'$", TIMING)
case("Timeout: many positional", [f"{T}.__init__"], calls(timing.Timeout, *range(20)),
     TypeError, "but 21 were given$", TIMING)
case("Timeout: many keywords", [f"{T}.__init__"], calls(timing.Timeout, 1, **MANY), TypeError,
     "argument 'k0'$", TIMING)
case("Timeout: __init__ changed on the class", [f"{T}.__init__"],
     changed_timeout(__init__=python_init), n=500)
case("Timeout: __new__ of its own", [f"{T}.__init__"],
     changed_timeout(__new__=staticmethod(lambda cls, *args, **kwargs: object.__new__(cls))),
     n=500)
case("Timeout: wall clock, construct", [f"{T}.__init__"], calls(timing.Timeout, 5),
     patches=WALL_CLOCK)
case("Timeout: wall clock, reset", [f"{T}.reset"], lambda: timing.Timeout(5).reset,
     patches=WALL_CLOCK)
case("Timeout: wall clock, running", [f"{T}.__bool__"], truth_of(lambda: timing.Timeout(100)),
     patches=WALL_CLOCK)
case("Timeout: wall clock, int start", [f"{T}.__bool__"],
     truth_of(with_attr(lambda: timing.Timeout(100), start=0)), TimeoutError, "Timer of 100",
     WALL_CLOCK)
case("Timeout: wall clock, expired", [f"{T}.__bool__"],
     truth_of(lambda: timing.Timeout(-1, True, True)), TimeoutError, "^Timer of -1 seconds",
     WALL_CLOCK)

# mivelo.pipeline_factories.http ------------------------------------------------

H = "mivelo.pipeline_factories.http.HTTPPipelineFactory"
URL = "http://127.0.0.1:9/stream.mjpg"
HTTP_KW = {"url": URL, "pipeline_watcher": watcher, "on_complete": None}


def http_patches(*fail, **names):
    return [(http, dict({"Pipeline": Stage(*fail).Pipeline}, **names))]


def set_attributes(factory, attrs):
    """Sets each attribute, or deletes those given as DELETE."""
    for name, value in attrs.items():
        if value is DELETE:
            delattr(factory, name)
        else:
            setattr(factory, name, value)


def http_build(cls=None, decoder_fails=False, **attrs):
    def make():
        factory = (cls or http.HTTPPipelineFactory)(**HTTP_KW)
        if cls is None:
            stage = Stage("_set_up_decoder") if decoder_fails else Stage()
            factory._set_up_decoder = stage.decoder
        set_attributes(factory, attrs)
        return factory.build
    return make


class DecoderLookupFails(http.HTTPPipelineFactory):
    @property
    def _set_up_decoder(self):
        raise Boom("lookup")


class ReadOnlyWatcher(http.HTTPPipelineFactory):
    _pipeline_watcher = property(lambda self: None)


HF = http.HTTPPipelineFactory
case("http: construct", [f"{H}.__init__"], calls(HF, **HTTP_KW))
case("http: construct, url None", [f"{H}.__init__"], calls(HF, **dict(HTTP_KW, url=None)))
case("http: url a str subclass", [f"{H}.__init__"],
     calls(HF, **dict(HTTP_KW, url=type("Text", (str,), {})("x"))), TypeError,
     r"^Argument 'url' has incorrect type \(expected str, got Text\)$")
case("http: url an int", [f"{H}.__init__"], calls(HF, **dict(HTTP_KW, url=5)), TypeError,
     r"\(expected str, got int\)$")
case("http: missing one", [f"{H}.__init__"], calls(HF, url=URL, pipeline_watcher=watcher),
     TypeError, r"missing 1 required keyword-only argument: 'on_complete'$")
case("http: missing two", [f"{H}.__init__"], calls(HF, url=URL), TypeError,
     r"missing 2 required keyword-only arguments: 'pipeline_watcher' and 'on_complete'$")
case("http: missing three", [f"{H}.__init__"], calls(HF), TypeError,
     r"arguments: 'url', 'pipeline_watcher', and 'on_complete'$")
case("http: url positional", [f"{H}.__init__"], calls(HF, URL), TypeError,
     r"takes 1 positional argument but 2 were given$")
case("http: positional and keywords", [f"{H}.__init__"], calls(HF, URL, **HTTP_KW), TypeError,
     r"but 2 positional arguments \(and 3 keyword-only arguments\) were given$")
case("http: unexpected keyword", [f"{H}.__init__"], calls(HF, other=1, **HTTP_KW), TypeError,
     r"got an unexpected keyword argument 'other'$")
case("http: frame-rate limit deleted", [f"{H}.__init__"], calls(HF, **HTTP_KW), NameError,
     "'_FRAMERATE_LIMIT'", [(http, {"_FRAMERATE_LIMIT": DELETE})])
case("http: base constructor raises", [f"{H}.__init__"], calls(HF, **HTTP_KW), ValueError,
     "max_framerate", [(http, {"_FRAMERATE_LIMIT": -1})])
case("http: __init__ on another object", [f"{H}.__init__"],
     calls(HF.__init__, object(), **HTTP_KW), TypeError, "super")
case("http: watcher not settable", [f"{H}.__init__"], calls(ReadOnlyWatcher, **HTTP_KW),
     AttributeError)
case("http: build", [f"{H}.build"], http_build(), patches=http_patches())
case("http: build with an argument", [f"{H}.build"], lambda: lambda: HF.build(HF(**HTTP_KW), 1),
     TypeError, r"takes 1 positional argument but 2 were given$", http_patches())
for _step in ["Pipeline", "add_bus_watch", "new_element:appsink", "appsink",
              "new_element:souphttpsrc", "get_static_pad", "set_state"]:
    case(f"http: {_step} raises", [f"{H}.build"], http_build(), Boom, f"^{_step}$",
         http_patches(_step))
case("http: decoder lookup raises", [f"{H}.build"], http_build(DecoderLookupFails), Boom,
     "lookup", http_patches())
case("http: decoder raises", [f"{H}.build"], http_build(decoder_fails=True), Boom,
     "_set_up_decoder", http_patches())
case("http: _url deleted", [f"{H}.build"], http_build(_url=DELETE), AttributeError, "_url",
     http_patches())
for _name in ["Pipeline", "_APPSINK_PROPERTIES", "BUFFER_SRC_NAME", "Gst"]:
    case(f"http: {_name} deleted", [f"{H}.build"], http_build(), NameError, f"'{_name}'",
         http_patches(**{_name: DELETE}))
case("http: Gst without State", [f"{H}.build"], http_build(), AttributeError, "State",
     http_patches(Gst=types.SimpleNamespace()))

case("http: through type.__call__", [f"{H}.__init__"], calls(type.__call__, HF, **HTTP_KW))
case("http: many keywords", [f"{H}.__init__"], calls(HF, **dict(HTTP_KW, **MANY)), TypeError,
     "argument 'k0'$")

# mivelo.pipeline_factories.custom ----------------------------------------------

C = "mivelo.pipeline_factories.custom.CustomPipelineFactory"
CF = custom.CustomPipelineFactory
LAUNCH = 'souphttpsrc location="{url}" name=buffer_src ! jpegdec ! appsink name=main_sink'
C_KW = {"url": URL, "pipeline_watcher": watcher, "on_complete": None}
ICPE = errors.InvalidCustomPipelineError


def custom_patches(*fail, sink=True, source=True, pad=True, **names):
    return [(custom, dict({"Pipeline": Stage(*fail, sink=sink, source=source, pad=pad).Pipeline},
                          **names))]


def custom_build(logger_fails=False, **attrs):
    def make():
        factory = CF(LAUNCH, **C_KW)
        factory._logger = (Stage("warning") if logger_fails else Stage()).logger
        set_attributes(factory, attrs)
        return factory.build
    return make


case("custom: construct", [f"{C}.__init__"], calls(CF, LAUNCH, **C_KW))
case("custom: construct, keywords only", [f"{C}.__init__"],
     calls(CF, pipeline_str="a {url} {url} {{url}}", **C_KW))
case("custom: construct, url None", [f"{C}.__init__"], calls(CF, LAUNCH, **dict(C_KW, url=None)))
case("custom: launch None", [f"{C}.__init__"], calls(CF, None, **C_KW), TypeError,
     "^'NoneType' object is not iterable$")
case("custom: no url field", [f"{C}.__init__"], calls(CF, "fakesrc ! appsink", **C_KW), ICPE,
     r"^Invalid pipeline format: 'fakesrc ! appsink'\. Pipelines must contain a '\{url\}' "
     r"portion to be filled by the source URL\.$")
case("custom: no url field, error class deleted", [f"{C}.__init__"],
     calls(CF, "x", **C_KW), NameError, "'InvalidCustomPipelineError'",
     [(custom, {"InvalidCustomPipelineError": DELETE})])
case("custom: another field", [f"{C}.__init__"], calls(CF, "{url} {other}", **C_KW), KeyError)
case("custom: positional field", [f"{C}.__init__"], calls(CF, "{url} {}", **C_KW), IndexError)
case("custom: lone brace", [f"{C}.__init__"], calls(CF, "{url} {", **C_KW), ValueError)
case("custom: url with a quote", [f"{C}.__init__"],
     calls(CF, LAUNCH, **dict(C_KW, url='http://x/"a')), ICPE, "^Refused URL")
case("custom: url with a space outside quotes", [f"{C}.__init__"],
     calls(CF, "souphttpsrc location={url}", **dict(C_KW, url="http://x/ a")), ICPE, "^Refused URL")
case("custom: launch a str subclass", [f"{C}.__init__"],
     calls(CF, type("Text", (str,), {})("{url}"), **C_KW), TypeError,
     r"^Argument 'pipeline_str' has incorrect type \(expected str, got Text\)$")
case("custom: url bytes", [f"{C}.__init__"], calls(CF, LAUNCH, **dict(C_KW, url=b"x")),
     TypeError, r"^Argument 'url' has incorrect type \(expected str, got bytes\)$")
case("custom: missing launch", [f"{C}.__init__"], calls(CF, **C_KW), TypeError,
     r"missing 1 required positional argument: 'pipeline_str'$")
case("custom: missing keywords", [f"{C}.__init__"], calls(CF, LAUNCH), TypeError,
     r"missing 3 required keyword-only arguments")
case("custom: multiple values", [f"{C}.__init__"], calls(CF, LAUNCH, pipeline_str=LAUNCH, **C_KW),
     TypeError, r"got multiple values for argument 'pipeline_str'$")
case("custom: too many", [f"{C}.__init__"], calls(CF, LAUNCH, URL, **C_KW), TypeError,
     r"takes 2 positional arguments but 3 positional arguments \(and 3 keyword-only arguments\)")
case("custom: unexpected keyword", [f"{C}.__init__"], calls(CF, LAUNCH, other=1, **C_KW),
     TypeError, r"got an unexpected keyword argument 'other'$")
case("custom: frame-rate limit deleted", [f"{C}.__init__"], calls(CF, LAUNCH, **C_KW), NameError,
     "'_FRAMERATE_LIMIT'", [(custom, {"_FRAMERATE_LIMIT": DELETE})])
case("custom: base constructor raises", [f"{C}.__init__"], calls(CF, LAUNCH, **C_KW), TypeError,
     "max_framerate", [(custom, {"_FRAMERATE_LIMIT": "fast"})])
case("custom: build", [f"{C}.build"], custom_build(), patches=custom_patches())
case("custom: build without buffer source", [f"{C}.build"], custom_build(),
     patches=custom_patches(source=False))
case("custom: build, properties not a dict", [f"{C}.build"], custom_build(),
     patches=custom_patches(_APPSINK_PROPERTIES=Mapping([("sync", False)])))
case("custom: build, no properties", [f"{C}.build"], custom_build(),
     patches=custom_patches(_APPSINK_PROPERTIES={}))
for _step in ["from_launch_string", "add_bus_watch", "get_by_name", "set_property", "appsink",
              "get_static_pad", "set_state"]:
    case(f"custom: {_step} raises", [f"{C}.build"], custom_build(), Boom, f"^{_step}$",
         custom_patches(_step))
case("custom: no main_sink", [f"{C}.build"], custom_build(), ICPE,
     r"^No element with name 'main_sink' element found in custom pipeline 'souphttpsrc "
     r"location=\"http://127\.0\.0\.1:9/stream\.mjpg\"", custom_patches(sink=False))
case("custom: no main_sink, launch string replaced", [f"{C}.build"],
     custom_build(_pipeline_str=BadFormat()), Boom, "format", custom_patches(sink=False))
case("custom: no src pad", [f"{C}.build"], custom_build(), ICPE,
     "^Element named 'buffer_src' does not have a static pad named 'src'", custom_patches(pad=False))
case("custom: warning raises", [f"{C}.build"], custom_build(logger_fails=True), Boom, "warning",
     custom_patches(source=False))
case("custom: _logger deleted", [f"{C}.build"], custom_build(_logger=DELETE), AttributeError,
     "_logger", custom_patches(source=False))
case("custom: properties None", [f"{C}.build"], custom_build(), AttributeError,
     "^'NoneType' object has no attribute 'items'$", custom_patches(_APPSINK_PROPERTIES=None))
case("custom: properties item of three", [f"{C}.build"], custom_build(), ValueError,
     "too many values", custom_patches(_APPSINK_PROPERTIES=Mapping([(1, 2, 3)])))
case("custom: properties iteration raises", [f"{C}.build"], custom_build(), Boom, "next",
     custom_patches(_APPSINK_PROPERTIES=types.SimpleNamespace(items=raising_iterator)))
case("custom: _pipeline_str deleted", [f"{C}.build"], custom_build(_pipeline_str=DELETE),
     AttributeError, "_pipeline_str", custom_patches())
case("custom: Pipeline without from_launch_string", [f"{C}.build"], custom_build(),
     AttributeError, "from_launch_string", [(custom, {"Pipeline": object})])
for _name in ["Pipeline", "_APPSINK_PROPERTIES", "BUFFER_SRC_NAME", "Gst"]:
    case(f"custom: {_name} deleted", [f"{C}.build"], custom_build(), NameError, f"'{_name}'",
         custom_patches(**{_name: DELETE}))
case("custom: no main_sink, error class deleted", [f"{C}.build"], custom_build(), NameError,
     "'InvalidCustomPipelineError'",
     custom_patches(sink=False, InvalidCustomPipelineError=DELETE))


GROWING = {}
# Its sink's set_property adds to the properties being walked.
GROWING_STAGE = Stage()
GROWING_STAGE.hooks["set_property"] = lambda key, value: GROWING.setdefault(object(), value)


def growing_build():
    build = custom_build()()

    def run():
        GROWING.clear()
        GROWING.update(sync=False, drop=True)
        build()
    return run


case("custom: properties grow while walked", [f"{C}.build"], growing_build, RuntimeError,
     "^dictionary changed size during iteration$",
     [(custom, {"Pipeline": GROWING_STAGE.Pipeline, "_APPSINK_PROPERTIES": GROWING})])

# mivelo.stream_reader.frame ----------------------------------------------------
# Real appsinks, made on first use (this module is imported where only the
# stand-in for gi exists too) and closed after the last case.

FRAME_SOURCES = {
    # Endless small frames, as fast as GStreamer makes them; rows padded.
    "frames": "videotestsrc ! video/x-raw,format=BGR,width=5,height=3 "
              "! appsink name=sink sync=false max-buffers=4",
    "planar": "videotestsrc ! video/x-raw,format=I420,width=8,height=8 "
              "! appsink name=sink sync=false max-buffers=4",
    "nv12": "videotestsrc ! video/x-raw,format=NV12,width=8,height=8 "
            "! appsink name=sink sync=false max-buffers=4",
    "uyvy": "videotestsrc ! video/x-raw,format=UYVY,width=8,height=8 "
            "! appsink name=sink sync=false max-buffers=4",
    # Nothing comes unless pushed.
    "pushed": "appsrc name=src format=time caps=video/x-raw,format=GRAY8,width=4,height=2,"
              "framerate=0/1 ! appsink name=sink",
}
_frame_pipelines = {}


@pytest.fixture(scope="module", autouse=True)
def close_frame_pipelines():
    yield
    for pipeline in _frame_pipelines.values():
        pipeline.close()


def frame_pipeline(kind):
    if kind not in _frame_pipelines:
        from gi.repository import Gst
        from mivelo.utils.gstreamer import Pipeline

        pipeline = Pipeline.from_launch_string(FRAME_SOURCES[kind], None)
        pipeline.set_state(Gst.State.PLAYING)
        _frame_pipelines[kind] = pipeline
    return _frame_pipelines[kind]


def frame_sink(kind):
    return frame_pipeline(kind).get_by_name("sink")


# The buffer requests of the protocol that a frame refuses: writable, Fortran
# order, and contiguous or unstrided ones of padded rows.
REFUSED_BUFFER_FLAGS = (0x1, 0x40 | 0x18, 0x20 | 0x18, 0x80 | 0x18, 0x8, 0)


def use_frame():
    from mivelo.stream_reader import frame

    sink = frame_sink("frames")

    def run():
        got = frame.pull(sink, 5.0, 3)
        view = memoryview(got)
        view[1, 2, 0], view.tobytes(), bytes(got), repr(got), view.shape, view.strides
        got.width, got.height, got.stride, got.format, got.pts, got.index
        view.release()
    return run


def refused_buffers():
    import ctypes

    from mivelo.stream_reader import frame

    get_buffer = ctypes.pythonapi.PyObject_GetBuffer
    get_buffer.argtypes = [ctypes.py_object, ctypes.c_void_p, ctypes.c_int]
    view = ctypes.create_string_buffer(256)  # room for a Py_buffer
    got = frame.pull(frame_sink("frames"), 5.0, 0)

    def run():
        for flags in REFUSED_BUFFER_FLAGS:
            try:
                get_buffer(got, view, flags)
            except BufferError:
                continue
            raise AssertionError(f"buffer flags {flags:#x} were served")
    return run


def pull_with(kind, *args, push=None):
    def make():
        from mivelo.stream_reader import frame

        sink = frame_sink(kind)
        src = frame_pipeline(kind).get_by_name("src")

        def run():
            if push is not None:
                from gi.repository import Gst

                src.emit("push-buffer", Gst.Buffer.new_wrapped(push))
            return frame.pull(sink, *args)
        return run
    return make


def planes_of(kind):
    def make():
        from mivelo.stream_reader import frame

        sink = frame_sink(kind)

        def run():
            got = frame.pull(sink, 5.0, 0)
            planes = got.planes
            [bytes(plane) for plane in planes], bytes(got)
            memoryview(planes[1]).release()
        return run
    return make


def pull_wrong(get_appsink, timeout=0, index=0):
    def make():
        from mivelo.stream_reader import frame

        appsink = get_appsink()
        return lambda: frame.pull(appsink, timeout, index)
    return make


FRAME = ["mivelo.stream_reader.frame.pull", "mivelo.stream_reader.frame.Frame"]
case("frame: pull, view, copy and read a frame", FRAME, lambda: use_frame(), n=1000)
case("frame: pull times out", FRAME[:1], pull_with("pushed", 0, 0))
case("frame: pull of a pushed frame", FRAME, pull_with("pushed", 1.0, 0, push=bytes(8)))
case("frame: pull of a buffer too small", FRAME[:1], pull_with("pushed", 1.0, 0, push=bytes(7)),
     ValueError, "does not fit its buffer")
case("frame: pull of planar frames and their planes", FRAME, planes_of("planar"), n=500)
case("frame: pull of packed YUV", FRAME[:1], pull_with("uyvy", 5.0, 0), ValueError,
     "neither rows of whole pixels nor planes", n=500)
case("frame: pull of planar frames converted to BGR", FRAME, pull_with("planar", 5.0, 0, "BGR"),
     n=500)
case("frame: pull of NV12 frames converted by GStreamer", FRAME, pull_with("nv12", 5.0, 0, "RGB"),
     n=500)
case("frame: pull with an unknown pixel format", FRAME[:1],
     pull_with("planar", 5.0, 0, "GRAY8"), ValueError, "pixel_format must be")
case("frame: buffer requests refused", FRAME, lambda: refused_buffers(), n=500)
case("frame: pull of no element", FRAME[:1], pull_wrong(lambda: 1), TypeError, "needs an appsink")
case("frame: pull of a pipeline", FRAME[:1],
     pull_wrong(lambda: frame_pipeline("pushed").gst_pipeline), TypeError, "not Pipeline")
case("frame: pull with a bool timeout", FRAME[:1], pull_wrong(lambda: frame_sink("pushed"), True),
     TypeError, "not bool")
case("frame: pull with a negative timeout", FRAME[:1],
     pull_wrong(lambda: frame_sink("pushed"), -1.0), ValueError, "at least 0")
case("frame: pull with a negative index", FRAME[:1],
     pull_wrong(lambda: frame_sink("pushed"), 0, -1), ValueError, "index must be")
case("frame: pull with a str index", FRAME[:1],
     pull_wrong(lambda: frame_sink("pushed"), 0, "1"), TypeError, "index must be an int")

# mivelo.stream_reader.waker ----------------------------------------------------


def waker_round():
    from mivelo.stream_reader import waker as waker_module

    sink = frame_sink("pushed")
    waker = waker_module.Waker()

    def run():
        watch = waker_module.Watch()
        watch.target(waker, 7)
        watch.attach(sink)
        watch.notify()
        waker.wake()
        waker.wait(0)
        waker.take()
        waker.wait(0.0)
        waker.fileno()
        watch.target(None, 0)
    return run


def waker_wrong(call):
    def make():
        from mivelo.stream_reader import waker as waker_module

        waker, watch = waker_module.Waker(), waker_module.Watch()
        return lambda: call(waker_module, waker, watch)
    return make


W = "mivelo.stream_reader.waker"
WAKER = [f"{W}.Waker", f"{W}.Watch"]
case("waker: watch a sink, mark, wait and take", WAKER, lambda: waker_round(), n=1000)
case("waker: a wait with a str timeout", WAKER[:1], waker_wrong(lambda m, w, s: w.wait("1")),
     TypeError, "number of seconds")
case("waker: a wait with a negative timeout", WAKER[:1], waker_wrong(lambda m, w, s: w.wait(-1.0)),
     ValueError, "at least 0")
case("waker: arguments to the types", WAKER, waker_wrong(lambda m, w, s: m.Waker(1)), TypeError,
     "takes no arguments")
case("waker: a watch of no appsink", WAKER[1:], waker_wrong(lambda m, w, s: s.attach(1)),
     TypeError, "needs an appsink")
case("waker: a watch of no waker", WAKER[1:], waker_wrong(lambda m, w, s: s.target(1, 1)),
     TypeError, "needs a Waker")
case("waker: a key out of range", WAKER[1:], waker_wrong(lambda m, w, s: s.target(w, -1)),
     ValueError, "key must be from")
case("waker: a key of another type", WAKER[1:], waker_wrong(lambda m, w, s: s.target(w, "1")),
     TypeError, "key must be an int")
case("waker: target with one argument", WAKER[1:], waker_wrong(lambda m, w, s: s.target(w)),
     TypeError, "target")

# The function objects themselves ---------------------------------------------


def attribute_round_trip(fn):
    saved = {name: getattr(fn, name) for name in
             ("__name__", "__qualname__", "__doc__", "__module__", "__defaults__",
              "__kwdefaults__", "__annotations__")}

    def run():
        for name in saved:
            getattr(fn, name)
        fn.__code__, fn.__globals__, fn.__closure__, fn.__dict__, repr(fn)
        fn.__name__, fn.__qualname__ = "renamed", "Re.named"
        fn.__doc__, fn.__module__ = "doc", "elsewhere"
        fn.__defaults__, fn.__kwdefaults__ = (1,), {"x": 2}
        fn.__annotations__ = {"return": "int"}
        del fn.__doc__, fn.__module__, fn.__defaults__, fn.__kwdefaults__, fn.__annotations__
        fn.__annotations__  # made anew when asked for
        fn.extra = [1]
        del fn.extra
        for name, value in saved.items():
            setattr(fn, name, value)
    return run


def attribute_refusals(fn):
    def run():
        for name, value in [("__name__", 1), ("__qualname__", None), ("__defaults__", [1]),
                            ("__kwdefaults__", [1]), ("__annotations__", 1), ("__dict__", 1)]:
            try:
                setattr(fn, name, value)
            except TypeError:
                pass
            else:
                raise AssertionError(f"{name} took {value!r}")
        for name in ("__name__", "__qualname__", "__code__", "__globals__"):
            try:
                delattr(fn, name)
            except (TypeError, AttributeError):
                pass
            else:
                raise AssertionError(f"{name} could be deleted")
    return run


def function_use(fn, owner):
    def run():
        copy.copy(fn), copy.deepcopy(fn), fn.__reduce__(), weakref.ref(fn)
        gc.get_referents(fn)
        if owner is not None:
            bound = fn.__get__(owner.__new__(owner), owner)
            bound.__func__, bound.__self__, fn.__get__(None, owner)
    return run


def all_functions():
    """(qualified name, function, owner class) of every function that the
    extension modules define, found through their namespaces."""
    function_type = type(tunables.check_tunables)
    for name in extension_modules():
        module = importlib.import_module(name)
        for value in list(vars(module).values()):
            if isinstance(value, function_type) and value.__module__ == name:
                yield f"{name}.{value.__qualname__}", value, None
            elif isinstance(value, type) and value.__module__ == name:
                for attr in vars(value).values():
                    if isinstance(attr, function_type):
                        yield f"{name}.{attr.__qualname__}", attr, value


# These drive the function objects, not the calls: they cover nothing below.
for _qualname, _fn, _owner in all_functions():
    case(f"function {_qualname}: attributes", [],
         (lambda f: lambda: attribute_round_trip(f))(_fn))
    case(f"function {_qualname}: refusals", [], (lambda f: lambda: attribute_refusals(f))(_fn))
    case(f"function {_qualname}: copy, bind, weakref", [],
         (lambda f, o: lambda: function_use(f, o))(_fn, _owner))
case("inspect.signature of every function", [], lambda: lambda: [
    inspect.signature(fn) for _, fn, _ in all_functions()], n=300)
case("pickle of a function", [CT], lambda: lambda: pickle.loads(pickle.dumps(ct)), n=500)

# Executing the modules afresh: classes, functions and imports made again --------


def failing_import(name, stubs):
    def make():
        def run():
            saved = {key: sys.modules.get(key) for key in stubs}
            sys.modules.update(stubs)
            try:
                fresh_module(name)
            finally:
                for key, value in saved.items():
                    if value is None:
                        sys.modules.pop(key, None)
                    else:
                        sys.modules[key] = value
        return run
    return make


def stub(name, **attrs):
    module = types.ModuleType(name)
    vars(module).update(attrs)
    return module


class RefusingMeta(type):
    def __new__(mcls, name, bases, namespace):
        if bases:
            raise Boom("metaclass")
        return super().__new__(mcls, name, bases, namespace)


class BadPrepareMeta(type):
    @classmethod
    def __prepare__(mcls, name, bases):
        raise Boom("prepare")


def base_stub(factory_class):
    return stub("mivelo.pipeline_factories.base", **{
        name: getattr(base, name) for name in
        ("_APPSINK_PROPERTIES", "_FRAMERATE_LIMIT", "_ON_COMPLETE_CALLBACK", "_PIPELINE_WATCHER",
         "BUFFER_SRC_NAME")}, PipelineFactory=factory_class)


for _module in sorted(extension_modules()):
    case(f"{_module}: executed afresh", [_module],
         (lambda name: lambda: lambda: fresh_module(name))(_module), n=200)
case("tunables: errors module lacks the class", [], failing_import(
    "mivelo.stream_reader.tunables", {"mivelo.errors": stub("mivelo.errors")}),
    ImportError, "cannot import name 'InvalidRuntimeOptionError'", n=200)
case("http: utility module lacks Pipeline", [], failing_import(
    "mivelo.pipeline_factories.http", {"mivelo.utils.gstreamer": stub("mivelo.utils.gstreamer")}),
    ImportError, "cannot import name 'Pipeline'", n=200)
case("custom: base module lacks a constant", [], failing_import(
    "mivelo.pipeline_factories.custom",
    {"mivelo.pipeline_factories.base": stub("mivelo.pipeline_factories.base")}),
    ImportError, "cannot import name '_APPSINK_PROPERTIES'", n=200)
case("http: base metaclass refuses the class", [], failing_import(
    "mivelo.pipeline_factories.http",
    {"mivelo.pipeline_factories.base": base_stub(RefusingMeta("PipelineFactory", (), {}))}),
    Boom, "metaclass", n=200)
case("custom: base metaclass __prepare__ raises", [], failing_import(
    "mivelo.pipeline_factories.custom",
    {"mivelo.pipeline_factories.base": base_stub(BadPrepareMeta("PipelineFactory", (), {}))}),
    Boom, "prepare", n=200)
case("timing: package lacks logger", [], failing_import(
    "mivelo.utils.timing", {"mivelo": stub("mivelo", __path__=[])}),
    ImportError, "cannot import name 'logger'", n=200)


# ---------------------------------------------------------------------------


def check_outcome(fn, raises, match):
    try:
        result = fn()
    except Exception as error:  # noqa: BLE001 - compared below
        assert raises is not None, f"raised {error!r}"
        assert type(error) is raises, f"raised {error!r}, expected {raises.__name__}"
        if match is not None:
            assert re.search(match, str(error)), f"{str(error)!r} does not match {match!r}"
        return None
    assert raises is None, f"returned {result!r}, expected {raises.__name__}"
    return result


@pytest.mark.parametrize("c", CASES, ids=[c.id for c in CASES])
def test_no_leak(c):
    with contextlib.ExitStack() as stack:
        for module, names in c.patches:
            stack.enter_context(bound(module, **names))
        fn = c.make()
        check_outcome(fn, c.raises, c.match)
        if c.raises is None:
            assert_no_leak(fn, c.n)
        else:
            def swallowed(fn=fn, raises=c.raises):
                try:
                    fn()
                except raises:
                    pass
            assert_no_leak(swallowed, c.n)


def test_every_callable_is_driven():
    """Each extension module, and every function and class it defines, is
    driven by some case above: a new module or method needs cases too."""
    covered = {name for c in CASES for name in c.covers}
    wanted = set(extension_modules())
    for name in extension_modules():
        module = importlib.import_module(name)
        for value in vars(module).values():
            if isinstance(value, type) and value.__module__ == name:
                wanted.add(f"{name}.{value.__qualname__}")
    wanted.update(qualname for qualname, _, _ in all_functions())
    # A class is driven when its constructor or a method is.
    covered.update(name.rsplit(".", 1)[0] for name in list(covered))
    assert wanted <= covered, f"not driven: {sorted(wanted - covered)}"


def test_the_check_sees_a_leak():
    """The measurement itself: one reference kept per call is caught, and a
    clean call is not."""
    kept = []
    with pytest.raises(pytest.fail.Exception, match="reference total"):
        assert_no_leak(lambda: kept.append(object()), 500)
    kept.clear()
    assert_no_leak(lambda: ct({"size": 1}, SUPPORTED), 500)
