"""Timeout: true until its time limit has passed, then false, a warning or a
TimeoutError, as its flags say.  A fake clock bound as the module's `time`
stands in for the wall clock, so nothing here sleeps."""
import builtins
import decimal
import fractions
import logging
import sys
import time

import pytest

import mivelo
from mivelo.utils import timing
from fakes import FakeClock
from mivelo.utils.timing import Timeout
from models import timing as model

class Logger:
    def __init__(self, log):
        self.log = log

    def warning(self, *args, **kwargs):
        self.log.append(("warning",) + args + tuple(kwargs.items()))


@pytest.fixture
def events():
    return []


@pytest.fixture
def clock(monkeypatch, events):
    fake = FakeClock(log=events)
    monkeypatch.setattr(timing, "time", fake)
    return fake


@pytest.fixture
def logger(monkeypatch, events):
    fake = Logger(events)
    monkeypatch.setattr(timing, "logger", fake)
    return fake


class Recorded(Timeout):
    """Logs every instance attribute that is read or written."""

    def __getattribute__(self, name):
        object.__getattribute__(self, "log").append(("read", name))
        return object.__getattribute__(self, name)

    def __setattr__(self, name, value):
        object.__getattribute__(self, "log").append(("write", name))
        object.__setattr__(self, name, value)


def recorded(log, *args):
    """A Recorded timeout, constructed with `args`, with the log cleared."""
    t = Recorded.__new__(Recorded)
    object.__setattr__(t, "log", log)
    Timeout.__init__(t, *args)
    log.clear()
    return t


class Boom(Exception):
    pass


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


def test_init_reads_the_clock_before_storing_anything(clock, events):
    t = recorded(events, 5)
    assert Timeout.__init__(t, 7, "raise", None) is None
    assert events == ["clock", ("write", "start"), ("write", "time_seconds"),
                      ("write", "raise_error"), ("write", "print_timeout")]
    assert list(vars(Timeout(5)).items()) == [
        ("start", 1000.0), ("time_seconds", 5), ("raise_error", True), ("print_timeout", False)]


# --- expiry -------------------------------------------------------------------

def test_true_until_the_limit_then_false(clock):
    t = Timeout(5, raise_error=False)
    for now, expected in ((1000.0, True), (1004.75, True), (1005.0, False), (1006.0, False)):
        clock.now = now
        assert Timeout.__bool__(t) is expected
        assert bool(t) is expected


@pytest.mark.parametrize("limit", [0, -1, -0.5])
def test_zero_and_negative_limits_expire_at_once(clock, limit):
    assert not Timeout(limit, raise_error=False)
    with pytest.raises(TimeoutError) as info:
        bool(Timeout(limit))
    assert str(info.value) == f"Timer of {limit!r} seconds timed out at 0.0 seconds!"


def test_expiry_is_not_latched(clock, logger, events):
    t = Timeout(1, raise_error=True, print_timeout=True)
    clock.now += 2
    for _ in range(3):
        with pytest.raises(TimeoutError):
            bool(t)
        events.append("raised")
    assert [e for e in events if e != "clock"] == [
        ("warning", "Timer timed out! Time: 2.0"), "raised"] * 3
    events.clear()
    t.raise_error = False
    assert [bool(t) for _ in range(10)] == [False] * 10
    assert [e for e in events if e != "clock"] == [("warning", "Timer timed out! Time: 2.0")] * 10


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


def test_reset_and_new_attribute_values(clock, logger, events):
    t = Timeout(10, raise_error=False)
    clock.now = 1010.0
    assert not t
    assert t.reset() is None
    assert (t.start, t.time_seconds, t.raise_error, t.print_timeout) == (1010.0, 10, False, False)
    clock.now = 1019.5
    assert t
    clock.now = 1020.0
    assert not t and events.count("clock") == 5
    t.time_seconds = 10.5
    assert t
    t.time_seconds, t.print_timeout = 2.0, "yes"
    assert not t and events[-1] == ("warning", "Timer timed out! Time: 10.0")
    t.raise_error = 1
    with pytest.raises(TimeoutError, match=r"^Timer of 2\.0 seconds timed out at 10\.0 seconds!$"):
        bool(t)


def test_attributes_read_while_running_and_on_expiry(clock, logger, events):
    t = recorded(events, 5, True, True)
    assert t and events == ["clock", ("read", "start"), ("read", "time_seconds")]
    clock.now += 5
    events.clear()
    with pytest.raises(TimeoutError):
        bool(t)
    assert events == [
        "clock", ("read", "start"), ("read", "time_seconds"), ("read", "print_timeout"),
        "clock", ("read", "start"), ("warning", "Timer timed out! Time: 5.0"),
        ("read", "raise_error"), ("read", "time_seconds"), "clock", ("read", "start")]
    t = recorded(events, 5, False, False)
    clock.now += 5
    assert not t and events == ["clock", ("read", "start"), ("read", "time_seconds"),
                                ("read", "print_timeout"), ("read", "raise_error")]


# --- messages -----------------------------------------------------------------

class Seconds(int):
    def __format__(self, spec):
        return "five" + spec

    def __repr__(self):
        return "repr"


class FloatSeconds(float):
    def __repr__(self):
        return "repr"


@pytest.mark.parametrize("limit, text", [
    (300, "300"), (0.1, "0.1"), (2.5, "2.5"), (1e-07, "1e-07"), (True, "True"),
    (decimal.Decimal("0.50"), "0.50"), (fractions.Fraction(1, 3), "1/3"),
    # Subclasses go through format(), not through their base's repr().
    (Seconds(0), "five"), (FloatSeconds(0.25), format(FloatSeconds(0.25), "")),
])
def test_message_texts(clock, logger, events, limit, text):
    t = Timeout(limit, print_timeout=True)
    clock.now = 1300.5
    with pytest.raises(TimeoutError) as info:
        bool(t)
    assert type(info.value) is TimeoutError
    assert info.value.args == (f"Timer of {text} seconds timed out at 300.5 seconds!",)
    assert events[-2] == ("warning", "Timer timed out! Time: 300.5")


def test_each_elapsed_time_is_read_afresh(monkeypatch, logger, events):
    monkeypatch.setattr(timing, "time", FakeClock(now=0.0, step=1.0, log=events))
    t = Timeout(1, print_timeout=True)
    with pytest.raises(TimeoutError, match=r"^Timer of 1 seconds timed out at 3\.0 seconds!$"):
        bool(t)  # compared at 1.0, warned at 2.0, raised at 3.0
    assert events == ["clock"] * 3 + [("warning", "Timer timed out! Time: 2.0"), "clock"]


def test_elapsed_is_shown_in_its_shortest_form(clock, logger, events):
    t = Timeout(0.05, raise_error=False, print_timeout=True)
    clock.now = 1000.1
    assert not t
    assert events[-1] == ("warning", "Timer timed out! Time: " + repr(1000.1 - 1000.0))


def test_default_logger_is_the_package_logger(clock, caplog):
    with caplog.at_level(logging.WARNING, logger="mivelo"):
        assert not Timeout(0, raise_error=False, print_timeout=True)
    assert [(r.name, r.levelno, r.getMessage()) for r in caplog.records] == [
        ("mivelo", logging.WARNING, "Timer timed out! Time: 0.0")]


# --- names looked up at each use ------------------------------------------------

def test_rebound_clock_is_used_from_the_next_call(monkeypatch, clock):
    t = Timeout(5)
    monkeypatch.setattr(timing, "time", FakeClock(now=2000.0))
    with pytest.raises(TimeoutError, match="at 1000.0 seconds"):
        bool(t)
    t.reset()
    assert t.start == 2000.0 and t
    monkeypatch.delattr(timing, "time")
    with pytest.raises(NameError, match="^name 'time' is not defined$"):
        bool(t)


def test_logger_failures_propagate(monkeypatch, clock, events):
    class Failing:
        def warning(self, message):
            raise Boom(message)

    monkeypatch.setattr(timing, "logger", Failing())
    t = recorded(events, 0, True, True)
    with pytest.raises(Boom, match="^Timer timed out! Time: 0.0$"):
        bool(t)
    assert ("read", "raise_error") not in events
    monkeypatch.setattr(timing, "logger", object())
    with pytest.raises(AttributeError, match="warning"):
        bool(t)
    assert Timeout(1, print_timeout=True)  # not looked up while time remains


def test_timeout_error_is_looked_up_in_the_module_first(monkeypatch, clock):
    class Other(Exception):
        pass

    monkeypatch.setattr(timing, "TimeoutError", Other, raising=False)
    with pytest.raises(Other, match="^Timer of 0 seconds timed out at 0.0 seconds!$"):
        bool(Timeout(0))
    monkeypatch.delattr(timing, "TimeoutError")
    with pytest.raises(builtins.TimeoutError):
        bool(Timeout(0))


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
    t = recorded(events, Limit(Verdict(Boom())), True, True)
    with pytest.raises(Boom):
        Timeout.__bool__(t)
    assert events[-1] == ("read", "time_seconds")


def test_values_that_do_not_compute(clock):
    t = Timeout("x")
    assert t.time_seconds == "x"
    with pytest.raises(TypeError, match="'<' not supported between instances of 'float' and 'str'"):
        bool(t)
    t = Timeout(5)
    clock.now = "later"
    with pytest.raises(TypeError) as info:
        bool(t)
    assert str(info.value) == "unsupported operand type(s) for -: 'str' and 'float'"


def test_no_reference_is_leaked(clock, logger, events):
    limit = decimal.Decimal("1.5")
    t = Timeout(limit, True, True)
    total = getattr(sys, "gettotalrefcount", lambda: 0)

    def run():
        clock.now = 1000.0
        t.reset()
        bool(t)
        clock.now = 1002.0
        with pytest.raises(TimeoutError):
            bool(t)
        with pytest.raises(TypeError):
            Timeout(1, 2, 3, 4)
        events.clear()

    for _ in range(10):
        run()
    before = [sys.getrefcount(x) for x in (limit, t, clock, logger)], total()
    for _ in range(1000):
        run()
    assert [sys.getrefcount(x) for x in (limit, t, clock, logger)] == before[0]
    assert total() - before[1] < 500  # a debug build counts every reference


# --- arguments, compared with the model's constructor ------------------------------

def construct(cls, *args, **kwargs):
    """The stored arguments, or the text of the TypeError."""
    try:
        t = cls(*args, **kwargs)
    except TypeError as error:
        return str(error)
    return (t.time_seconds, t.raise_error, t.print_timeout)


@pytest.mark.parametrize("args, kwargs", [
    ((), {}), ((1, 2, 3, 4), {}), ((1,), {"other": 1}), ((1,), {"time_seconds": 2}),
    ((), {"raise_error": False}), ((1, 2, 3), {"print_timeout": 4}), ((1, 2), {"raise_error": 3}),
    ((), {"time_seconds": 1, "print_timeout": 2}), ((1,), {}),
])
def test_arguments_bind_as_for_a_def(clock, args, kwargs):
    assert construct(Timeout, *args, **kwargs) == construct(model.Timeout, *args, **kwargs)


def test_unbound_init_without_self(clock):
    with pytest.raises(TypeError) as expected:
        model.Timeout.__init__()
    with pytest.raises(TypeError) as got:
        Timeout.__init__()
    assert str(got.value) == str(expected.value)


@pytest.mark.parametrize("defaults", [(False, True), None, (1, 2, 3, 4, 5)])
def test_patched_defaults_take_effect(monkeypatch, clock, defaults):
    monkeypatch.setattr(Timeout.__init__, "__defaults__", defaults)
    monkeypatch.setattr(model.Timeout.__init__, "__defaults__", defaults)
    for args in ((), (1,), (1, 2)):
        assert construct(Timeout, *args) == construct(model.Timeout, *args)
