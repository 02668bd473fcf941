"""Changes that Python code makes to the classes of the extension modules:
methods assigned, patched, deleted, overridden in subclasses, a __new__ of
their own.  Each scenario makes the same changes to an extension module and
to its model and records what follows; test_class_changes.py runs every
scenario in a fresh interpreter (the changes stay behind in the classes) and
compares the two records.

    python class_changes.py SCENARIO    # prints (module record, model record)
"""
import sys
import unittest.mock as mock

SCENARIOS = {}


def scenario(module_name):
    """Registers fn(module, clock) as a scenario on `module_name`."""
    def register(fn):
        SCENARIOS[fn.__name__] = (module_name, fn)
        return fn
    return register


def outcome(fn, *args, **kwargs):
    """What a call gives, as a literal: the result, or the error raised."""
    try:
        result = fn(*args, **kwargs)
    except Exception as error:  # noqa: B902 (any error is an outcome)
        return ("raised", type(error).__name__, str(error))
    return ("returned", result if isinstance(result, (bool, int, float, str, type(None)))
            else type(result).__name__)


def state(obj):
    """An instance's attributes, in the order they were set."""
    return [(k, v if isinstance(v, (bool, int, float, str, type(None))) else type(v).__name__)
            for k, v in vars(obj).items()]


class Clock:
    """A fake clock, bound as a module's `time`: counts its readings."""

    def __init__(self):
        self.now, self.readings = 1000.0, 0

    def __call__(self):
        self.readings += 1
        return self.now


# --- Timeout --------------------------------------------------------------------

class NotABool:
    """A limit whose comparison with the elapsed time gives 1, not a bool."""

    def __gt__(self, elapsed):
        return 1


@scenario("timing")
def bool_assigned(timing, clock):
    cls = timing.Timeout
    original = vars(cls)["__bool__"]
    before = cls(5)

    class Sub(cls):
        pass

    # The class's own __bool__ returning no bool, before any change.
    record = [outcome(bool, cls(NotABool())), bool(before)]
    cls.__bool__ = lambda self: False
    record += [bool(before), bool(Sub(5)), bool(cls(5))]
    cls.__bool__ = lambda self: 1
    record.append(outcome(bool, before))
    cls.__bool__ = original
    clock.now += 10
    record += [outcome(bool, before), outcome(bool, Sub(1)), bool(cls(5))]
    return record


@scenario("timing")
def bool_deleted(timing, clock):
    cls = timing.Timeout
    original = vars(cls)["__bool__"]
    t = cls(1)
    clock.now += 10
    del cls.__bool__
    readings = clock.readings
    record = [bool(t), clock.readings - readings, hasattr(cls, "__bool__")]
    cls.__len__ = lambda self: 0
    record.append(bool(t))
    del cls.__len__
    cls.__bool__ = original
    record.append(outcome(bool, t))
    return record


@scenario("timing")
def init_patched(timing, clock):
    cls = timing.Timeout
    record = []
    with mock.patch.object(cls, "__init__", return_value=None) as init:
        t = cls(5, raise_error=False)
        record += [state(t), repr(init.call_args)]
    record.append(state(cls(5, raise_error=False)))
    calls = []
    original = vars(cls)["__init__"]

    def wrapper(self, *args, **kwargs):
        calls.append((args, sorted(kwargs.items())))
        original(self, *args, **kwargs)

    with mock.patch.object(cls, "__init__", wrapper):
        record += [state(cls(6, print_timeout=1)), outcome(cls), calls]
    record += [state(cls(7)), outcome(cls, 1, 2, 3, 4)]
    return record


@scenario("timing")
def init_deleted(timing, clock):
    cls = timing.Timeout
    original = vars(cls)["__init__"]
    del cls.__init__
    record = [outcome(cls, 5), state(cls()), outcome(cls, time_seconds=5)]
    cls.__init__ = original
    record += [state(cls(5)), outcome(cls)]
    return record


@scenario("timing")
def init_returning_a_value(timing, clock):
    cls = timing.Timeout
    cls.__init__ = lambda self, *args: 1
    return [outcome(cls, 5)]


@scenario("timing")
def subclasses_override(timing, clock):
    cls = timing.Timeout

    class Over(cls):
        def __init__(self, *args, **kwargs):
            self.first = True
            super().__init__(*args, **kwargs)

        def __bool__(self):
            return not super().__bool__()

    class Plain(cls):
        pass

    over, plain = Over(5, raise_error=False), Plain(5)
    record = [state(over), bool(over), state(plain), bool(plain)]
    clock.now += 5
    record += [bool(over), outcome(bool, plain), state(Plain(1, False, True))]
    return record


@scenario("timing")
def new_of_its_own(timing, clock):
    cls = timing.Timeout
    cls.__new__ = staticmethod(lambda c, *args, **kwargs: "not an instance")
    record = [outcome(cls, 5)]
    cls.__new__ = staticmethod(lambda c, *args, **kwargs: object.__new__(c))
    record += [state(cls(5)), outcome(cls)]
    # Deleting it leaves CPython's generic __new__ slot in place, which then
    # passes the arguments on to object.__new__: an error, for the model too.
    del cls.__new__
    record += [outcome(cls, 6), outcome(cls, 1, 2, 3, 4, 5), outcome(cls)]
    return record


@scenario("timing")
def called_through_type_and_init(timing, clock):
    cls = timing.Timeout
    t = type.__call__(cls, 5, print_timeout=1)
    record = [state(t)]
    cls.__init__(t, 7)
    t.__init__(8, False)
    record += [state(t), outcome(type.__call__, cls)]
    return record


@scenario("timing")
def argument_errors(timing, clock):
    cls = timing.Timeout
    many = {f"k{i}": i for i in range(20)}
    return [
        outcome(cls), outcome(cls, *range(20)), outcome(cls, 1, **many),
        outcome(lambda: cls(**{1: 2})), outcome(cls, 1, raise_error=2, **{"print_timeout": 3}),
        outcome(type.__call__, cls, *range(20)), outcome(type.__call__, cls, 1, **many),
        outcome(cls, 1, time_seconds=1), state(cls(time_seconds=1, print_timeout=0)),
    ]


@scenario("timing")
def wall_clock(timing, clock):
    # The module's `time` as the import bound it: the builtin time.time.
    import time
    timing.time = time.time
    before = time.time()
    t = timing.Timeout(100)
    after = time.time()
    record = [type(t.start).__name__, before <= t.start <= after, bool(t)]
    t.reset()
    record += [before <= t.start <= time.time(), bool(timing.Timeout(-1, raise_error=False))]
    return record


# --- the HTTP factory -------------------------------------------------------------

@scenario("http")
def factory_init_changed(http, clock):
    cls = http.HTTPPipelineFactory
    record = []
    with mock.patch.object(cls, "__init__", return_value=None) as init:
        record += [state(cls(url="u")), repr(init.call_args)]
    record.append(state(cls(url="u", pipeline_watcher=1, on_complete=None)))

    class Over(cls):
        def __init__(self, **kwargs):
            self.first = True
            super().__init__(url=kwargs.pop("url").upper(), **kwargs)

    record.append(state(Over(url="u", pipeline_watcher=2, on_complete=None)))
    original = vars(cls)["__init__"]
    del cls.__init__
    record.append(outcome(cls, url="u", pipeline_watcher=1, on_complete=None))
    cls.__init__ = original
    record += [state(cls(url="v", pipeline_watcher=3, on_complete=None)),
               outcome(cls, "u"), outcome(cls, url=b"u", pipeline_watcher=1, on_complete=None)]
    return record


def run(name):
    module_name, fn = SCENARIOS[name]
    if module_name == "timing":
        from mivelo.utils import timing as module
    else:
        import mivelo.utils.gstreamer  # noqa: F401  (selects the GStreamer version)
        from mivelo.pipeline_factories import http as module
    from helpers import model_of
    records = []
    for target in (module, model_of(module)):
        clock = Clock()
        if module_name == "timing":
            target.time = clock
        records.append(fn(target, clock))
    return records


if __name__ == "__main__":
    print(repr(run(sys.argv[1])))
