"""Timeout: true until its time limit has passed, then false, a warning or a
TimeoutError, as its flags say.  A fake clock bound as the module's `time`
stands in for the wall clock, so nothing here sleeps.  The model
(models/timing.py) states the steps, their order and the messages: the tests
run each scenario on the module and on the model and compare."""
import decimal
import fractions
import logging
import time
import types

import pytest

import leaks
import mivelo
from fakes import Boom, FakeClock, Stage
from helpers import DELETE, fresh_model, fresh_module
from mivelo.utils import timing
from mivelo.utils.timing import Timeout
from models import timing as model


class Logger:
    def __init__(self, log):
        self.log = log

    def warning(self, *args, **kwargs):
        self.log.append(("warning",) + args + tuple(kwargs.items()))


def recorded_class(cls):
    """A subclass of `cls` that logs every instance attribute read or written."""
    class Recorded(cls):
        def __getattribute__(self, name):
            object.__getattribute__(self, "log").append(("read", name))
            return object.__getattribute__(self, name)

        def __setattr__(self, name, value):
            object.__getattribute__(self, "log").append(("write", name))
            object.__setattr__(self, name, value)
    return Recorded


RECORDED = {timing: recorded_class(Timeout), model: recorded_class(model.Timeout)}


def recorded(target, log, *args):
    """A recorded timeout of `target`, constructed with `args`, its log cleared."""
    cls = RECORDED[target]
    t = cls.__new__(cls)
    object.__setattr__(t, "log", log)
    target.Timeout.__init__(t, *args)
    log.clear()
    return t


def outcome(fn, *args):
    try:
        return ("returned", fn(*args))
    except Exception as error:  # noqa: BLE001 - compared
        return (type(error), str(error))


def same_as_model(monkeypatch, scenario, **clock):
    """Runs scenario(target, events) on the module and on its model, each
    with a fake clock (made with `clock`) and a logger that log to `events`;
    both must give the same result and the same events.  Returns them."""
    runs = []
    for target in (timing, model):
        events = []
        with monkeypatch.context() as patch:
            patch.setattr(target, "time", FakeClock(log=events, **clock))
            patch.setattr(target, "logger", Logger(events))
            runs.append((outcome(scenario, target, events), events))
    assert runs[0] == runs[1]
    return runs[0]


@pytest.fixture
def events():
    return []


@pytest.fixture
def clock(monkeypatch, events):
    fake = FakeClock(log=events)
    monkeypatch.setattr(timing, "time", fake)
    return fake


# --- surface ------------------------------------------------------------------

def test_module_namespace():
    assert timing.__doc__ is None
    assert [n for n in vars(timing) if not n.startswith("__")] == ["time", "logger", "Timeout"]
    assert timing.time is time.time
    assert timing.logger is mivelo.logger


def test_class_surface():
    assert type(Timeout) is type and Timeout.__bases__ == (object,)
    assert (Timeout.__module__, Timeout.__qualname__) == ("mivelo.utils.timing", "Timeout")
    assert list(vars(Timeout)) == ["__module__", "__doc__", "__init__", "reset", "__bool__",
                                   "__dict__", "__weakref__"]
    # Signatures, names and docstrings are compared with the model's in
    # test_introspection.py; here the local names, which the module states.
    for name in ("__init__", "reset", "__bool__"):
        method, model_method = vars(Timeout)[name], vars(model.Timeout)[name]
        assert method.__module__ == "mivelo.utils.timing"
        assert method.__code__.co_varnames == model_method.__code__.co_varnames


# --- steps in the model's order ------------------------------------------------

def test_init_reads_the_clock_before_storing_anything(monkeypatch):
    def scenario(target, events):
        t = recorded(target, events, 5)
        target.Timeout.__init__(t, 7, "raise", None)
        return list(vars(target.Timeout(5)).items())

    assert same_as_model(monkeypatch, scenario)[0][1][0] == ("start", 1000.0)


@pytest.mark.parametrize("flags", [(True, True), (False, False), (True, False), (False, True)])
@pytest.mark.parametrize("elapsed", [0, 4.5, 5, 7])
def test_reads_while_running_and_on_expiry(monkeypatch, flags, elapsed):
    def scenario(target, events):
        t = recorded(target, events, 5, *flags)
        target.time.now += elapsed
        return bool(t)

    same_as_model(monkeypatch, scenario)


def test_each_elapsed_time_is_read_afresh(monkeypatch):
    # Compared at 1.0, warned at 2.0, raised at 3.0.
    def scenario(target, events):
        return bool(target.Timeout(1, print_timeout=True))

    (kind, text), events = same_as_model(monkeypatch, scenario, now=0.0, step=1.0)
    assert kind is TimeoutError and events.count("clock") == 4


def test_expiry_is_not_latched(monkeypatch):
    def scenario(target, events):
        t = target.Timeout(1, raise_error=True, print_timeout=True)
        target.time.now += 2
        results = [outcome(bool, t) for _ in range(3)]
        t.raise_error = False
        return results + [bool(t) for _ in range(10)]

    same_as_model(monkeypatch, scenario)


def test_reset_and_new_attribute_values(monkeypatch):
    def scenario(target, events):
        t = target.Timeout(10, raise_error=False)
        clock, seen = target.time, []
        for now, change in [(1010.0, None), (1010.0, "reset"), (1019.5, None), (1020.0, None),
                            (1020.0, {"time_seconds": 10.5}),
                            (1020.0, {"time_seconds": 2.0, "print_timeout": "yes"}),
                            (1020.0, {"raise_error": 1})]:
            clock.now = now
            if change == "reset":
                seen.append(t.reset())
            elif change:
                vars(t).update(change)
            seen.append(outcome(bool, t))
        return seen, sorted(vars(t).items())

    same_as_model(monkeypatch, scenario)


# --- expiry and messages ----------------------------------------------------------

def test_true_until_the_limit_then_false(clock):
    t = Timeout(5, raise_error=False)
    for now, expected in ((1000.0, True), (1004.75, True), (1005.0, False), (1006.0, False)):
        clock.now = now
        assert Timeout.__bool__(t) is expected
        assert bool(t) is expected


def test_the_docstring_loop(clock):
    clock.step = 0.5
    timeout = Timeout(300)
    with pytest.raises(TimeoutError):
        while timeout:
            pass
    timeout, rounds = Timeout(300, raise_error=False), 0
    while timeout:
        rounds += 1
    assert rounds == 599  # the 600th reading is 300 s after the start


class Seconds(int):
    def __format__(self, spec):
        return "five" + spec

    def __repr__(self):
        return "repr"


class FloatSeconds(float):
    def __repr__(self):
        return "repr"


@pytest.mark.parametrize("limit", [
    300, 0.1, 2.5, 1e-07, True, 0, -1, -0.5, decimal.Decimal("0.50"), fractions.Fraction(1, 3),
    # Subclasses go through format(), not through their base's repr().
    Seconds(0), FloatSeconds(0.25),
], ids=repr)
@pytest.mark.parametrize("now", [1300.5, 1000.1])
def test_messages_show_the_limit_and_the_elapsed_time_as_the_model(monkeypatch, limit, now):
    def scenario(target, events):
        t = target.Timeout(limit, print_timeout=True)
        target.time.now = now
        return bool(t)

    same_as_model(monkeypatch, scenario)


def test_default_logger_is_the_package_logger(monkeypatch, caplog):
    records = []
    for target in (timing, model):
        monkeypatch.setattr(target, "time", FakeClock())
        with caplog.at_level(logging.WARNING, logger="mivelo"):
            assert not target.Timeout(0, raise_error=False, print_timeout=True)
        records.append([(r.name, r.levelno, r.getMessage()) for r in caplog.records])
        caplog.clear()
    assert records[0] == records[1] and records[0][0][:2] == ("mivelo", logging.WARNING)


# --- names looked up at each use ------------------------------------------------

def test_rebound_clock_is_used_from_the_next_call(monkeypatch, clock):
    t = Timeout(5)
    monkeypatch.setattr(timing, "time", FakeClock(now=2000.0))
    with pytest.raises(TimeoutError, match="at 1000.0 seconds"):
        bool(t)
    t.reset()
    assert t.start == 2000.0 and t


def test_logger_is_looked_up_only_when_warning(monkeypatch, clock, events):
    class Failing:
        def warning(self, message):
            raise Boom(message)

    monkeypatch.setattr(timing, "logger", Failing())
    t = recorded(timing, events, 0, True, True)
    with pytest.raises(Boom):
        bool(t)
    assert ("read", "raise_error") not in events
    monkeypatch.setattr(timing, "logger", object())
    assert Timeout(1, print_timeout=True)  # not looked up while time remains


# --- odd values -----------------------------------------------------------------

class Verdict:
    """A comparison result that counts its truth tests."""

    def __init__(self, value):
        self.value, self.tests = value, 0

    def __bool__(self):
        self.tests += 1
        if isinstance(self.value, Exception):
            raise self.value
        return self.value


class Limit:
    def __init__(self, verdict):
        self.verdict = verdict

    def __gt__(self, elapsed):  # elapsed < limit, reflected
        return self.verdict


def test_bool_returns_the_comparison_result_itself(clock, events):
    going = Verdict(True)
    t = Timeout(Limit(going))
    assert Timeout.__bool__(t) is going
    with pytest.raises(TypeError, match="__bool__ should return bool"):
        bool(t)
    stopped = Verdict(False)
    assert Timeout.__bool__(Timeout(Limit(stopped), False, False)) is stopped
    assert stopped.tests == 2  # once before each flag


def test_values_that_do_not_compute(monkeypatch):
    def scenario(target, events):
        results = [outcome(bool, target.Timeout("x"))]
        t = target.Timeout(5)
        target.time.now = "later"
        return results + [outcome(bool, t)]

    assert [kind for kind, _ in same_as_model(monkeypatch, scenario)[0][1]] == [TypeError] * 2


@pytest.mark.parametrize("defaults", [(False, True), None, (1, 2, 3, 4, 5)])
def test_patched_defaults_take_effect(monkeypatch, defaults):
    def scenario(target, events):
        monkeypatch.setattr(target.Timeout.__init__, "__defaults__", defaults)
        return [outcome(lambda: vars(target.Timeout(*args))) for args in ((), (1,), (1, 2))]

    same_as_model(monkeypatch, scenario)


# ---------------------------------------------------------------------------
# Every path, compared with the model and checked for leaks

PATHS = leaks.Cases(timing)
FAKES = {"time": FakeClock(), "logger": Stage().logger}
WALL_CLOCK = {"time": time.time, "logger": Stage().logger}
MANY = {f"k{i}": i for i in range(20)}


def path(id, covers, make, patches=FAKES, n=2000, compare="outcome"):
    PATHS.add(id, covers, make, patches, n=n, compare=compare)


def expired(target, *args, **kwargs):
    timeout = target.Timeout(*args, **kwargs)
    timeout.start = 990.0
    return timeout


def truth_of(make_timeout):
    def make(target):
        timeout = make_timeout(target)
        return (lambda: bool(timeout)), [timeout]
    return make


def with_attrs(make_timeout, **attrs):
    def make(target):
        timeout = make_timeout(target)
        for name, value in attrs.items():
            if value is DELETE:
                delattr(timeout, name)
            else:
                setattr(timeout, name, value)
        return timeout
    return make


def clock_fails_after(use):
    def make(target):
        timeout = target.Timeout(5)
        target.time = FakeClock(fail=True)  # put back with the case's patches
        return use(timeout)
    return make


def time_deleted_after(use):
    def make(target):
        timeout = target.Timeout(5)
        del target.time  # put back with the case's patches
        return use(timeout)
    return make


def changed_timeout(**attrs):
    def make(target):
        fresh = fresh_module(timing.__name__) if target is timing else fresh_model(timing)
        fresh.time = FakeClock()
        for name, value in attrs.items():
            setattr(fresh.Timeout, name, value)
        return lambda: fresh.Timeout(5, print_timeout=True)
    return make


def python_init(self, time_seconds, raise_error=True, print_timeout=False):
    self.start, self.time_seconds = 0.0, time_seconds


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


class OtherError(Exception):
    pass


INIT, RESET, BOOL = "Timeout.__init__", "Timeout.reset", "Timeout.__bool__"
# Construction, arguments bound as for a def.
for _id, _args, _kwargs in [
    ("defaults", (5,), {}), ("all positional", (5, False, True), {}),
    ("keywords", (), {"time_seconds": 5, "raise_error": False, "print_timeout": True}),
    ("no limit", (), {}), ("too many", (1, 2, 3, 4), {}), ("unexpected keyword", (1,), {"other": 2}),
    ("limit twice", (1,), {"time_seconds": 2}), ("only a flag", (), {"raise_error": False}),
    ("flag twice", (1, 2), {"raise_error": 3}), ("flag after three", (1, 2, 3), {"print_timeout": 4}),
    ("keywords, no limit", (), {"raise_error": 1, "print_timeout": 2}),
    ("many positional", tuple(range(20)), {}), ("many keywords", (1,), MANY),
]:
    path(f"construct: {_id}", INIT, leaks.calling("Timeout", *_args, **_kwargs))
path("construct: clock raises", INIT, leaks.calling("Timeout", 5),
     {"time": FakeClock(fail=True)})
path("construct: time deleted", INIT, leaks.calling("Timeout", 5), {"time": DELETE})
path("__init__ unbound, nothing", INIT, leaks.calling("Timeout.__init__"))
path("through type.__call__", INIT,
     lambda target: lambda: type.__call__(target.Timeout, 5, print_timeout=True))
path("through type.__call__, many positional", INIT,
     lambda target: lambda: type.__call__(target.Timeout, *range(20)))
path("through type.__call__, many keywords", INIT,
     lambda target: lambda: type.__call__(target.Timeout, 1, **MANY))
# The class changed: construction leaves the direct slots (on fresh copies).
path("__init__ changed on the class", INIT, changed_timeout(__init__=python_init), n=500)
path("__new__ of its own", INIT, changed_timeout(
    __new__=staticmethod(lambda cls, *args, **kwargs: object.__new__(cls))), n=500)
# reset()
path("reset", RESET, lambda target: target.Timeout(5).reset)
path("reset, clock raises", RESET, clock_fails_after(lambda t: t.reset))
path("reset with an argument", RESET,
     lambda target: lambda: target.Timeout.reset(target.Timeout(5), 1))
path("reset on a frozen object", RESET, leaks.calling("Timeout.reset", object()))
# The truth test.
for _id, _make in [
    ("running", lambda target: target.Timeout(5)),
    ("expired, quiet", lambda target: expired(target, 5, raise_error=False)),
    ("expired, warns", lambda target: expired(target, 5, raise_error=False, print_timeout=True)),
    ("expired, raises", lambda target: expired(target, 5)),
    ("expired, warns and raises", lambda target: expired(target, 5.5, True, True)),
    ("start deleted", with_attrs(lambda target: target.Timeout(5), start=DELETE)),
    ("limit not comparable", lambda target: target.Timeout("5")),
    ("comparison's truth raises", lambda target: target.Timeout(OddLimit())),
    ("print flag's truth raises", lambda target: expired(target, 5, True, Truthless())),
    ("raise flag's truth raises", lambda target: expired(target, 5, Truthless(), False)),
    ("limit's text raises", lambda target: expired(target, BadIntFormat(5))),
    ("decimal limit, warns and raises",
     lambda target: expired(target, decimal.Decimal("1.5"), True, True)),
]:
    path(f"truth: {_id}", BOOL, truth_of(_make))
_WARNS = truth_of(lambda target: expired(target, 5, False, True))
path("truth: warning raises", BOOL, _WARNS, {**FAKES, "logger": Stage("warning").logger})
path("truth: logger deleted", BOOL, _WARNS, {**FAKES, "logger": DELETE})
path("truth: logger without warning", BOOL, _WARNS, {**FAKES, "logger": object()})
path("truth: clock raises", BOOL, clock_fails_after(lambda t: lambda: bool(t)))
path("truth: time deleted", BOOL, time_deleted_after(lambda t: lambda: bool(t)))
_RAISES = truth_of(lambda target: expired(target, 5))
path("truth: TimeoutError rebound", BOOL, _RAISES, {**FAKES, "TimeoutError": OtherError})
path("truth: TimeoutError no exception", BOOL, _RAISES, {**FAKES, "TimeoutError": str})
path("truth: TimeoutError deleted from the module", BOOL, _RAISES,
     {**FAKES, "TimeoutError": DELETE})
path("truth: __bool__ unbound on another object", BOOL,
     leaks.calling("Timeout.__bool__", types.SimpleNamespace(start=0.0)))
# The wall clock, read directly while the module's `time` is the builtin.
path("wall clock: construct", INIT, leaks.calling("Timeout", 5), WALL_CLOCK)
path("wall clock: reset", RESET, lambda target: target.Timeout(5).reset, WALL_CLOCK)
path("wall clock: running", BOOL, truth_of(lambda target: target.Timeout(100)), WALL_CLOCK)
# (The messages of an expiry hold the time read then: only their kind is compared.)
path("wall clock: int start", BOOL,
     truth_of(with_attrs(lambda target: target.Timeout(100), start=0)), WALL_CLOCK,
     compare="kind")
path("wall clock: expired", BOOL, truth_of(lambda target: target.Timeout(-1, True, True)),
     WALL_CLOCK, compare="kind")

test_every_path_is_the_models_and_leaks_nothing = PATHS.test()
