"""Random and hostile objects thrown at every constructor and function.

Each test requires the documented result or a clean Python exception, never a
crash or a hang.  Each module and its model (models/) are run on the same
objects: same result, same exception with the same text, same calls into the
objects in the same order.
"""
from hypothesis import HealthCheck, given, settings, strategies as st

from fakes import Boom, Stage, watcher
from helpers import bound, fresh_model, fresh_module, model_function, model_of
from mivelo.errors import InvalidCustomPipelineError
from mivelo import errors
from mivelo.pipeline_factories import custom, http
from mivelo.stream_reader import tunables
from mivelo.utils import timing

SETTINGS = settings(max_examples=60, deadline=None,
                    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])


# ---------------------------------------------------------------------------
# Hostile objects

BEHAVIOURS = [
    "eq-raises", "eq-odd", "hash-raises", "hash-odd", "format-raises", "format-int",
    "format-sub", "bool-raises", "bool-int", "cmp-raises", "cmp-odd", "cmp-zero", "sub-raises", "sub-odd",
    "repr-raises", "items-raises", "items-int", "items-bad", "items-none", "contains-raises",
    "contains-odd", "getitem-raises", "iter-raises",
]


class Text(str):
    """A str subclass, which the factories refuse."""


class Hostile:
    """An object whose special methods misbehave in the ways named in ``how``.

    It keeps no state, so one object gives the same answers to every caller.
    """

    def __init__(self, how):
        self.how = frozenset(how)

    def _odd(self):
        return Hostile({"bool-raises"})

    def __eq__(self, other):
        if "eq-raises" in self.how:
            raise Boom("eq")
        if "eq-odd" in self.how:
            return self._odd()
        return self is other

    def __hash__(self):
        if "hash-raises" in self.how:
            raise Boom("hash")
        if "hash-odd" in self.how:
            return 2 ** 100
        return 7

    def __format__(self, spec):
        if "format-raises" in self.how:
            raise Boom("format")
        if "format-int" in self.how:
            return 5
        if "format-sub" in self.how:
            return Text("sub")
        return "hostile"

    def __bool__(self):
        if "bool-raises" in self.how:
            raise Boom("bool")
        if "bool-int" in self.how:
            return 1
        return True

    def __lt__(self, other):
        if "cmp-raises" in self.how:
            raise Boom("lt")
        if "cmp-zero" in self.how:
            return 0  # false, but no bool
        return self._odd() if "cmp-odd" in self.how else NotImplemented

    __gt__ = __lt__

    def __sub__(self, other):
        if "sub-raises" in self.how:
            raise Boom("sub")
        return self._odd() if "sub-odd" in self.how else 0.5

    __rsub__ = __sub__

    def __repr__(self):
        if "repr-raises" in self.how:
            raise Boom("repr")
        return f"Hostile({sorted(self.how)})"

    def items(self):
        if "items-raises" in self.how:
            raise Boom("items")
        if "items-int" in self.how:
            return 5
        if "items-bad" in self.how:
            return [("a", 1, 2), None]
        if "items-none" in self.how:
            return [None]
        return [("size", 1), (self, self)]

    def __contains__(self, key):
        if "contains-raises" in self.how:
            raise Boom("contains")
        return self._odd() if "contains-odd" in self.how else True

    def __getitem__(self, key):
        if "getitem-raises" in self.how:
            raise Boom("getitem")
        return int

    def __iter__(self):
        if "iter-raises" in self.how:
            raise Boom("iter")
        return iter([("k", "v")])


class RaisingMeta(type):
    def __instancecheck__(cls, obj):
        raise Boom("instancecheck")


class OddMeta(type):
    def __instancecheck__(cls, obj):
        return Hostile({"bool-raises"})


TYPES = [int, str, bool, float, object, (int, str), (), RaisingMeta("R", (), {}),
         OddMeta("O", (), {}), Hostile, Text]

# Text of every kind: surrogates, NUL and other control characters, braces,
# quotes, empty and very long.
texts = st.one_of(
    st.text(st.characters(blacklist_categories=()), max_size=20),
    st.text(st.sampled_from('{}url"\\ \x00\t\n:/!.[]ab\ud800\udfff\U0001f600'), max_size=20),
    st.sampled_from(["", "x" * 20_000, "{url}" * 50, "\x00", "\ud800", "{url}\x00{url}"]),
)
hostiles = st.builds(Hostile, st.frozensets(st.sampled_from(BEHAVIOURS), max_size=3))
# Keys of the dicts that hypothesis builds must hash and compare quietly.
quiet_hostiles = st.builds(Hostile, st.frozensets(st.sampled_from(
    [b for b in BEHAVIOURS if not b.startswith(("eq", "hash"))]), max_size=3))
scalars = st.one_of(st.none(), st.booleans(), st.integers(), st.floats(), texts,
                    st.binary(max_size=8), st.builds(Text, texts), hostiles)
objects = st.one_of(scalars, st.sampled_from(TYPES), st.lists(scalars, max_size=3),
                    st.tuples(scalars, scalars))
keys = st.one_of(st.none(), st.integers(), texts, st.builds(Text, texts), quiet_hostiles)


def outcome(fn, *args, **kwargs):
    """The result, or (exception type, text) for a clean exception."""
    try:
        return ("returned", fn(*args, **kwargs))
    except Exception as error:  # noqa: BLE001 - any clean exception is compared
        try:
            text = str(error)
        except Exception:  # noqa: BLE001
            text = "<unprintable>"
        return (type(error), text)


SIMPLE = (bool, int, float, str, type(None))


def comparable(result):
    """An outcome to compare across two runs: values of plain types by their
    text, other objects (made afresh by each run) by their type."""
    if result[0] != "returned":
        return result
    value = result[1]
    return ("returned", type(value), repr(value) if type(value) in SIMPLE else None)


# ---------------------------------------------------------------------------
# The option check


mappings = st.one_of(
    st.dictionaries(keys, objects, max_size=4),
    st.dictionaries(st.sampled_from(["size", "name", "flag", 5]), objects, max_size=3),
    hostiles, st.none(), objects)
supported_maps = st.one_of(
    st.dictionaries(st.sampled_from(["size", "name", "flag", 5]), st.sampled_from(TYPES),
                    max_size=4),
    st.dictionaries(keys, objects, max_size=3), hostiles, objects)


@SETTINGS
@given(mappings, supported_maps)
def test_check_tunables_does_what_is_documented(supplied, supported):
    assert comparable(outcome(tunables.check_tunables, supplied, supported)) == \
        comparable(outcome(model_function(tunables.check_tunables), supplied, supported))


class Recorder(dict):
    """``supported`` that records lookups and changes ``supplied`` (a dict)
    while it is being walked, as told."""

    def __init__(self, supplied, plan, log):
        super().__init__({"a": int, "b": int, "c": str})
        self.supplied, self.plan, self.log = supplied, list(plan), log

    def __contains__(self, key):
        self.log.append(("in", key))
        action = self.plan.pop(0) if self.plan else "none"
        if action == "add":
            self.supplied[100 + len(self.log)] = 1
        elif action == "delete" and self.supplied:
            self.supplied.pop(next(iter(self.supplied)))
        elif action == "replace" and self.supplied:
            self.supplied.pop(next(iter(self.supplied)))
            self.supplied["z" + str(len(self.log))] = 1
        elif action == "clear":
            self.supplied.clear()
        return super().__contains__(key)


@SETTINGS
@given(st.lists(st.sampled_from(["none", "add", "delete", "replace", "clear"]), max_size=4),
       st.dictionaries(st.sampled_from("abc"), st.sampled_from([1, "x", True]), max_size=3))
def test_check_tunables_survives_a_dict_changed_while_walked(plan, items):
    results = []
    for check in (tunables.check_tunables, model_function(tunables.check_tunables)):
        log = []
        supplied = dict(items)
        results.append((comparable(outcome(check, supplied, Recorder(supplied, plan, log))), log))
    (got, got_log), (want, want_log) = results
    if got[0] is RuntimeError:
        # The walk stops where Python's own would: on a change of size with
        # the same text, or on keys changed at the same size.
        assert want[0] is RuntimeError and got_log == want_log
    else:
        assert (got, got_log) == (want, want_log)


# ---------------------------------------------------------------------------
# Timeout


class Clock:
    """Returns the given readings in turn (the last one from then on)."""

    def __init__(self, readings):
        self.readings, self.calls = list(readings), 0

    def __call__(self):
        self.calls += 1
        reading = self.readings[min(self.calls, len(self.readings)) - 1]
        if isinstance(reading, Exception):
            raise Boom(str(reading))
        return reading


class Logger:
    def __init__(self):
        self.messages = []

    def warning(self, message):
        self.messages.append(message)
        if message.endswith("9"):
            raise Boom("logger")


readings = st.lists(st.one_of(st.integers(-10, 10), st.floats(-10, 10), st.floats(), hostiles,
                             st.builds(Text, texts), st.none(), st.just(Exception("clock"))),
                   min_size=1, max_size=5)
# Mostly numbers and flags, which reach the expiry paths; any object at times.
limits = st.one_of(st.integers(-5, 5), st.floats(-5, 5), objects,
                   st.sampled_from([Hostile({"cmp-zero"}), Hostile({"cmp-odd"}),
                                    Hostile({"cmp-raises"}), Hostile({"format-raises"})]))
flags = st.one_of(st.booleans(), objects)


@settings(SETTINGS, max_examples=300)
@given(readings, limits, flags, flags, st.integers(1, 3))
def test_timeout_does_what_is_documented(readings, limit, raise_error, print_timeout, tests):
    results = []
    for module in (timing, model_of(timing)):
        clock, logger = Clock(readings), Logger()
        with bound(module, time=clock, logger=logger):
            created = outcome(module.Timeout, limit, raise_error, print_timeout)
            if created[0] == "returned":
                seen = ["made"] + [comparable(outcome(module.Timeout.__bool__, created[1]))
                                   for _ in range(tests)]
            else:
                seen = [created]
        results.append((seen, logger.messages, clock.calls))
    assert results[0] == results[1]


@SETTINGS
@given(objects, st.one_of(st.integers(0, 3), objects))
def test_timeout_truth_in_a_loop_ends(limit, raise_error):
    """The docstring's loop ends (or raises cleanly) once the clock has moved
    past any number; a truth test never hangs."""
    clock = Clock([0.0, 1.0, 2.0, 1e300, float("inf")])
    with bound(timing, time=clock, logger=Stage().logger):
        try:
            timeout = timing.Timeout(limit, raise_error)
            for _ in range(10):
                if not timeout:
                    break
        except Exception:  # noqa: BLE001 - a clean exception is fine
            pass


# ---------------------------------------------------------------------------
# The factories

URLS = st.one_of(texts, st.builds(lambda t: "http://127.0.0.1:9/" + t, texts))


def made(module, cls_name, *args, **kwargs):
    """The outcome of constructing a factory: its attributes (texts by value,
    the arguments by position, other objects by type) or the exception."""
    result = outcome(getattr(module, cls_name), *args, **kwargs)
    if result[0] != "returned":
        return result
    given = [*args, *kwargs.values()]

    def shown(value):
        if type(value) is str:
            return value
        return next((i for i, arg in enumerate(given) if value is arg), type(value))

    return ("returned", [(name, shown(value)) for name, value in vars(result[1]).items()])


@SETTINGS
@given(st.one_of(URLS, objects), objects, objects)
def test_http_factory_takes_exactly_str_or_none(url, pipeline_watcher, on_complete):
    results = [made(module, "HTTPPipelineFactory", url=url, pipeline_watcher=pipeline_watcher,
                    on_complete=on_complete) for module in (http, model_of(http))]
    assert results[0] == results[1]
    if results[0][0] != "returned":
        return
    for module in (http, model_of(http)):
        stage = Stage()
        with bound(module, Pipeline=stage.Pipeline):
            factory = module.HTTPPipelineFactory(url=url, pipeline_watcher=pipeline_watcher,
                                                 on_complete=on_complete)
            factory._set_up_decoder = stage.decoder
            pipeline = factory.build()
        assert pipeline.url is url and pipeline.watcher is pipeline_watcher


launches = st.one_of(texts, st.builds(lambda a, b: a + "{url}" + b, texts, texts),
                     st.builds(lambda a, b: a + '"{url}"' + b, texts, texts))


@SETTINGS
@given(st.one_of(launches, objects), st.one_of(URLS, objects), objects)
def test_custom_factory_construction(launch, url, pipeline_watcher):
    results = [made(module, "CustomPipelineFactory", launch, url=url,
                    pipeline_watcher=pipeline_watcher, on_complete=None)
               for module in (custom, model_of(custom))]
    assert results[0] == results[1]


@SETTINGS
@given(st.text(st.sampled_from("!#$%&'()*+,-./:;<=>?@[]^_`|~ \x00\ud800\udc00\U0001f600"),
               max_size=12),
       st.text(st.characters(blacklist_categories=()), max_size=20),
       st.sampled_from(["buffer_src", "other"]), st.booleans())
def test_custom_factory_build_on_real_gstreamer(junk, url, source_name, sink):
    """Launch strings with NUL, surrogates and junk through real GStreamer:
    a started pipeline or a clean exception.  The URL only ever lands in a
    quoted element name, and the junk has no letters, so nothing here can
    name an element that reaches the network or the disk."""
    launch = (f'fakesrc name={source_name} num-buffers=1 ! fakesink '
              f'{"appsink name=main_sink" if sink else "appsink"} '
              f'identity name="u{{url}}" {junk}')
    made = outcome(custom.CustomPipelineFactory, launch, url=url, pipeline_watcher=watcher,
                   on_complete=None)
    if made[0] != "returned":
        assert made[0] in (InvalidCustomPipelineError, KeyError, IndexError, ValueError)
        return
    factory = made[1]
    factory._logger = Stage().logger
    built = outcome(factory.build)
    if built[0] == "returned":
        pipeline = built[1]
        try:
            assert pipeline.appsink is not None and sink
            assert factory._logger.count == (source_name != "buffer_src")
        finally:
            pipeline.close()
    else:
        assert issubclass(built[0], Exception)


# ---------------------------------------------------------------------------
# Calls of every shape, and the function objects' attributes


def all_functions():
    for module in (tunables, timing, http, custom):
        for value in vars(module).values():
            if isinstance(value, type(tunables.check_tunables)):
                yield value
            elif isinstance(value, type) and value.__module__ == module.__name__:
                yield from (v for v in vars(value).values()
                            if isinstance(v, type(tunables.check_tunables)))


FUNCTIONS = list(all_functions())
NAMES = ["self", "supplied", "supported", "time_seconds", "raise_error", "print_timeout", "url",
         "pipeline_watcher", "on_complete", "pipeline_str", "other"]


@SETTINGS
@given(st.sampled_from(FUNCTIONS), st.integers(0, 6),
       st.lists(st.sampled_from(NAMES), max_size=6, unique=True))
def test_calls_of_any_shape_bind_like_a_def(fn, npositional, keywords):
    """Argument errors come with the text a def gives, and a call that binds
    runs the body as the model's does."""
    args = [None] * npositional
    kwargs = dict.fromkeys(keywords)
    assert comparable(outcome(fn, *args, **kwargs)) == \
        comparable(outcome(model_function(fn), *args, **kwargs))


ATTRIBUTES = ["__name__", "__qualname__", "__doc__", "__module__", "__defaults__",
              "__kwdefaults__", "__annotations__", "__dict__"]


@SETTINGS
@given(st.sampled_from(["mivelo.stream_reader.tunables", "mivelo.utils.timing"]),
       st.sampled_from(ATTRIBUTES),
       st.one_of(objects, st.dictionaries(texts, objects, max_size=2),
                 st.tuples(objects), st.just(())),
       st.booleans())
def test_function_attributes_take_what_a_def_takes(module_name, attribute, value, delete):
    # Fresh instances, so that the package's own functions and the models stay untouched.
    module = fresh_module(module_name)
    model = fresh_model(module)
    fn, twin = [m.check_tunables if hasattr(m, "check_tunables") else m.Timeout.__init__
                for m in (module, model)]
    if delete:
        got, want = outcome(delattr, fn, attribute), outcome(delattr, twin, attribute)
    else:
        got, want = outcome(setattr, fn, attribute, value), outcome(setattr, twin, attribute, value)
    assert got == want
    if got[0] == "returned" and attribute != "__dict__":
        assert outcome(getattr, fn, attribute) == outcome(getattr, twin, attribute)


@SETTINGS
@given(st.sampled_from(["StreamSetupError", "InvalidCustomPipelineError", "SourceNotFoundError",
                        "InvalidRuntimeOptionError", "NotLinkedError"]),
       st.lists(objects, max_size=3))
def test_exception_classes_take_any_arguments(name, args):
    cls = getattr(errors, name)
    try:
        raise cls(*args)
    except Exception as error:  # noqa: BLE001
        assert type(error) is cls and error.args == tuple(args)
        assert outcome(str, error) == outcome(str, Exception(*args))
