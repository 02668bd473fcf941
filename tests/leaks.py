"""Every path of every extension module, checked against its model and for
leaks: the one registry of cases, their check, and the self-checks.

The test file of each extension module registers its cases in a ``Cases`` of
that module and collects them with ``Cases.test()``.  A case is one path of
one callable (its success or one of its errors): ``make(target)`` prepares it
on ``target``, the extension module or its model (models/), with the case's
``patches`` bound as the target's globals, and returns what to call, or
``(what to call, objects it uses)``.  The check of a case:

- it runs the path once on the module and once on its model and compares the
  outcomes (returned, or the error's type and text), so that no case states a
  message; a module without a model (the frame module) names the error it
  expects instead (``raises``, ``match``);
- on every interpreter, it runs the path again and again, and the reference
  counts of the objects the path was given (its arguments and what they hold
  directly, or the objects ``make`` named) must come back to where they were;
- on a debug interpreter (python3-dbg, modules built for it), the total
  reference count and the count of allocated blocks must not grow with the
  number of calls: the path runs n and then 2n times after a warm-up, and
  the two changes must be about the same.  A release-built module loaded into
  python3-dbg bumps no total, so that case fails here.

``assert_every_callable_is_driven`` and ``assert_the_check_sees_a_leak`` are
the registry's self-checks (tests/test_leak_check.py runs them).
"""
import contextlib
import gc
import importlib
import os
import pathlib
import re
import sys
import sysconfig

import pytest

from helpers import DELETE, bound, extension_modules, model_of

IS_DEBUG_BUILD = hasattr(sys, "gettotalrefcount")
# Calls of a path over which the counts of the objects it was given must come
# back to where they were.
TRACKED_CALLS = 50

# Every Cases made.
REGISTRY = []


class Case:
    def __init__(self, cases, id, covers, make, patches, raises, match, n, fixtures, marks,
                 compare):
        self.cases, self.id, self.make, self.patches = cases, id, make, patches
        prefix = cases.module.__name__ if cases.module is not None else ""
        self.covers = [".".join(filter(None, (prefix, name))) for name in covers]
        self.raises, self.match, self.n, self.fixtures = raises, match, n, fixtures
        self.marks, self.compare = marks, compare


class Cases:
    """The cases of one extension module; ``model`` False for a module that
    has none.  Without a module: cases of the core's function objects and of
    modules' execution, whose ``covers`` are full names, with no model."""

    def __init__(self, module, model=True):
        self.module = module
        self.model = model_of(module) if model and module is not None else None
        self.cases = []
        REGISTRY.append(self)

    def add(self, id, covers, make, patches=None, raises=None, match=None, n=2000,
            fixtures=(), marks=(), compare="outcome"):
        """Registers a case.  ``covers``: the qualified names, within the
        module, of what it drives ("" for the module itself); ``raises`` and
        ``match`` only for a module without a model; ``fixtures``: names of
        fixtures that ``make`` takes as keywords; ``compare="kind"`` compares
        only the error type with the model's (for a text that holds the wall
        clock's time)."""
        case = Case(self, id, [covers] if isinstance(covers, str) else covers, make,
                    patches or {}, raises, match, n, fixtures, marks, compare)
        self.cases.append(case)
        return case

    def test(self):
        """The test function that checks every case, one parameter each."""
        params = [pytest.param(c, id=c.id, marks=c.marks) for c in self.cases]

        @pytest.mark.parametrize("case", params)
        def test_every_path(case, request):
            fixtures = {name: request.getfixturevalue(name) for name in case.fixtures}
            check(case, fixtures)
        return test_every_path


# ---------------------------------------------------------------------------
# Making cases


def calling(path, *args, **kwargs):
    """make(target) for ``target.<path>(*args, **kwargs)``."""
    def make(target):
        fn = target
        for name in path.split("."):
            fn = getattr(fn, name)
        return lambda: fn(*args, **kwargs)
    make.tracked = args + tuple(kwargs.values())
    return make


def fresh(error):
    """A new exception like ``error``, for every raise: raising one instance
    again would add to its traceback, a growth of the test's own making."""
    return type(error)(*error.args)


def tracked_objects(objects, depth=3):
    """The objects, and what the tuples, lists, dicts and plain instances
    among them hold (their items, keys and values, attribute values), to
    `depth` levels, leaving out those that the whole process shares (small
    ints, None, the immortal and statically allocated objects), whose
    counts move with any code."""
    found, level = [], list(objects)
    for _ in range(depth + 1):
        found.extend(level)
        inner = []
        for obj in level:
            if isinstance(obj, (tuple, list)):
                inner.extend(obj)
            elif isinstance(obj, dict):
                inner.extend(obj.keys())
                inner.extend(obj.values())
            elif not isinstance(obj, type) and isinstance(getattr(obj, "__dict__", None), dict):
                inner.extend(vars(obj).values())
        level = inner
    unique = {id(obj): obj for obj in found if not shared(obj)}
    return list(unique.values())


def shared(obj):
    small_int = type(obj) in (int, bool) and -5 <= obj <= 256
    return obj is None or small_int or sys.getrefcount(obj) > 10**8


# ---------------------------------------------------------------------------
# Checking


def outcome(fn):
    """("returned",) or ("raised", type, text): what a path gives, as compared
    between a module and its model."""
    try:
        fn()
    except Exception as error:  # noqa: BLE001 - compared by the caller
        return ("raised", type(error), str(error))
    return ("returned",)


def prepared(case, target, fixtures):
    made = case.make(target, **fixtures)
    if isinstance(made, tuple):
        return made
    return made, getattr(case.make, "tracked", ())


def check(case, fixtures):
    if not IS_DEBUG_BUILD and os.environ.get("MIVELO_REQUIRE_DEBUG"):
        pytest.fail(f"reference totals need a debug interpreter (python3-dbg) and modules built "
                    f"for it; {sys.executable} is a release build")
    model = case.cases.model
    module = case.cases.module
    with bound(module, **case.patches) if case.patches else contextlib.nullcontext():
        fn, tracked = prepared(case, module, fixtures)
        got = outcome(fn)
    if model is not None:
        with bound(model, **case.patches):
            expected = outcome(prepared(case, model, fixtures)[0])
        if case.compare == "kind":
            assert got[:2] == expected[:2]
        else:
            assert got == expected
    elif case.raises is None:
        assert got == ("returned",), got
    else:
        assert got[:2] == ("raised", case.raises), got
        assert case.match is None or re.search(case.match, got[2]), got
    with bound(module, **case.patches) if case.patches else contextlib.nullcontext():
        fn, tracked = prepared(case, module, fixtures)
        call = fn if got == ("returned",) else swallowing(fn, got[1])
        given = [value for value in case.patches.values()
                 if value is not DELETE and not shared(value)]
        with frozen_heap():
            assert_counts_return(call, tracked_objects(tracked) + given)
            if IS_DEBUG_BUILD:
                check_debug_modules()
                assert_no_leak(call, case.n)


def swallowing(fn, error_type):
    def call():
        try:
            fn()
        except error_type:
            pass
    return call


def assert_counts_return(fn, objects):
    """Fails when calls of fn leave the reference count of any of `objects`
    other than it was."""
    for _ in range(10):
        fn()
    gc.collect()
    before = [sys.getrefcount(obj) for obj in objects]
    for _ in range(TRACKED_CALLS):
        fn()
    gc.collect()
    after = [sys.getrefcount(obj) for obj in objects]
    changed = [(obj, b, a) for obj, b, a in zip(objects, before, after) if a != b]
    assert not changed, f"{TRACKED_CALLS} calls changed these reference counts: {changed!r}"


@contextlib.contextmanager
def frozen_heap():
    """What exists now is left out of the collections that the measurement
    runs, which makes them fast: they see only what the calls made.  (Its
    garbage waits until the heap thaws.)"""
    gc.freeze()
    try:
        yield
    finally:
        gc.unfreeze()


_checked_modules = []


def check_debug_modules():
    """Once: every extension module was loaded from a file built for this
    debug interpreter."""
    if _checked_modules:
        return
    suffix = sysconfig.get_config_var("EXT_SUFFIX")
    loaded = {name: pathlib.Path(importlib.import_module(name).__file__).resolve()
              for name in extension_modules()}
    wrong = {name: path.name for name, path in loaded.items() if not path.name.endswith(suffix)}
    assert loaded and not wrong, (
        f"extension modules not built for this debug interpreter ({suffix}): {wrong}")
    _checked_modules.append(True)


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
# Self-checks


def assert_every_callable_is_driven(function_type):
    """Each extension module, and every function and class it defines, is
    driven by some registered case: a new module or method needs cases too."""
    covered = {name for cases in REGISTRY for c in cases.cases for name in c.covers}
    wanted = set(extension_modules())
    for name in extension_modules():
        module = importlib.import_module(name)
        for value in vars(module).values():
            if isinstance(value, type) and value.__module__ == name:
                wanted.add(f"{name}.{value.__qualname__}")
                wanted.update(f"{name}.{attr.__qualname__}" for attr in vars(value).values()
                              if isinstance(attr, function_type))
            elif isinstance(value, function_type) and value.__module__ == name:
                wanted.add(f"{name}.{value.__qualname__}")
    # A class is driven when its constructor or a method is.
    covered.update(name.rsplit(".", 1)[0] for name in list(covered))
    assert wanted <= covered, f"not driven: {sorted(wanted - covered)}"


def assert_the_check_sees_a_leak(clean):
    """The measurements themselves: one reference kept per call is caught,
    and the clean call `clean` is not."""
    kept, obj = [], object()
    with pytest.raises(AssertionError, match="changed these reference counts"):
        assert_counts_return(lambda: kept.append(obj), [obj])
    kept.clear()
    assert_counts_return(clean, [])
    if IS_DEBUG_BUILD:
        with pytest.raises(pytest.fail.Exception, match="reference total"):
            assert_no_leak(lambda: kept.append(object()), 500)
        kept.clear()
        assert_no_leak(clean, 500)
