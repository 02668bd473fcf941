"""check_tunables: every supplied runtime option must be supported and of the
supported type; the first one that is not is refused with
InvalidRuntimeOptionError.  The model of the module (models/tunables.py) is the
reference for messages and for the errors that pass through from the
arguments: every path below is compared with it and checked for leaks
(tests/leaks.py)."""
import builtins
import collections
import collections.abc
import threading
import types

import pytest
from hypothesis import given, settings, strategies as st

import leaks
import mivelo.errors
from helpers import DELETE
from mivelo.errors import InvalidRuntimeOptionError
from mivelo.stream_reader import tunables
from mivelo.stream_reader.tunables import check_tunables
from models.tunables import check_tunables as check_tunables_model


def outcome(fn, *args, **kwargs):
    try:
        return ("returned", fn(*args, **kwargs))
    except Exception as error:  # noqa: BLE001 - the outcome is what is compared
        return (type(error), str(error))


def same_as_model(make_args):
    """Runs the model and check_tunables, each on fresh arguments, and
    returns their common outcome."""
    expected = outcome(check_tunables_model, *make_args())
    assert outcome(check_tunables, *make_args()) == expected
    return expected


class Boom(Exception):
    pass


def raising(error):
    """A method that raises a new copy of `error` at each call."""
    def method(*args):
        raise leaks.fresh(error)
    return method


def container(**methods):
    methods["__repr__"] = lambda self: f"Container({', '.join(sorted(methods))})"
    return type("Container", (), methods)()


class Items:
    """Not a dict: only an items() that returns what it was given."""

    def __init__(self, items):
        self._items = items

    def items(self):
        return self._items

    def __repr__(self):
        return f"Items({self._items!r})"


class Recorder:
    """A mapping that logs each use to a shared list; items() yields lazily."""

    def __init__(self, name, data, log):
        self.name, self.data, self.log = name, data, log

    def items(self):
        self.log.append((self.name, "items"))
        for pair in self.data.items():
            self.log.append((self.name, "next", pair[0]))
            yield pair

    def __contains__(self, key):
        self.log.append((self.name, "in", key))
        return key in self.data

    def __getitem__(self, key):
        self.log.append((self.name, "get", key))
        return self.data[key]


class Key:
    def __format__(self, spec):
        return "formatted" + spec

    def __str__(self):
        return "str"

    def __repr__(self):
        return "repr"


class Meta(type):
    def __format__(cls, spec):
        return f"class {cls.__name__}"


class Special(metaclass=Meta):
    pass


class BadFormat:
    def __format__(self, spec):
        raise Boom("format")


class BadEq:
    def __hash__(self):
        return hash("a")

    def __eq__(self, other):
        raise Boom("eq")


class BadHash:
    def __hash__(self):
        raise Boom("hash")


class FormatsToInt:
    def __format__(self, spec):
        return 5


class RaisingMeta(type):
    def __instancecheck__(cls, obj):
        raise Boom("instancecheck")

    def __format__(cls, spec):
        raise Boom("format")


class RaisingCheck(metaclass=RaisingMeta):
    pass


class BadlyFormattedType(metaclass=type("FormatMeta", (type,), {"__format__": raising(Boom())})):
    pass


class OtherError(Exception):
    pass


class NoInstanceError(Exception):
    def __new__(cls, *args):
        return 5


def raising_items():
    yield ("size", 1)
    raise Boom("next")


# ---------------------------------------------------------------------------
# Every path, compared with the model and checked for leaks

PATHS = leaks.Cases(tunables)
SUPPORTED = {"size": int, "name": (str, bytes), "flag": bool}


def path(id, *args, patches=None, **kwargs):
    PATHS.add(id, "check_tunables", leaks.calling("check_tunables", *args, **kwargs), patches)


def path_with_fresh_arguments(id, make_args):
    PATHS.add(id, "check_tunables", lambda target: lambda: target.check_tunables(*make_args()))


# What passes.
path("empty", {}, None)
path("all pass", {"size": 3, "name": b"x", "flag": True}, SUPPORTED)
path("by keywords", supplied={"size": 3}, supported=SUPPORTED)
path("subclass value", {"size": True}, SUPPORTED)
path("mapping that is no dict", Items([("size", 1), ["name", "x"]]), SUPPORTED)
path("isinstance of a tuple and an ABC", {"n": True, "s": "x", "seq": [1], "either": 3},
     {"n": int, "s": str, "seq": collections.abc.Sequence, "either": (int, str)})
for _supplied in [collections.OrderedDict(a=1), types.MappingProxyType({"a": 1}),
                  Items({("a", 1): None})]:
    path(f"other mapping {_supplied!r}", _supplied, types.MappingProxyType({"a": int}))


class Reversed(dict):
    def items(self):
        return list(dict.items(self))[::-1]


path("a dict subclass walked by its own items()", Reversed(a=0, b=0), {})
path_with_fresh_arguments("items() gives an iterator",
                          lambda: (Items(iter([["a", 1]])), {"a": int}))
# What is refused, and how the message shows the key, the entry and the type.
path("unknown option", {"size": 1, "other": 2}, SUPPORTED)
for _key in [5, "it's\n", Key()]:
    path(f"unknown key {_key!r}", {_key: 1}, {"5": int})
path("wrong type", {"size": "3"}, SUPPORTED)
path("wrong type, tuple entry", {"name": 3}, SUPPORTED)
path("wrong type, formatted entry", {"a": Special()}, {"a": (int, str)})
path("wrong type after a tuple passed", {"either": 1.5}, {"either": (int, str)})
# Odd supplied mappings: errors of the arguments pass through.
for _supplied in [
    None, 5, [("a", 1)], Items(5), Items(None), container(items=raising(Boom("items"))),
    # items that do not unpack into two, or unpack in unusual ways
    Items([("a", 1, 2)]), Items([("a",)]), Items([()]), Items([None]), Items([5]),
    Items(["ab"]), Items(["abc"]), Items([b"ab"]), Items([("a", 1), None]),
    Items([collections.deque(["a", 1, 2])]), Items([{"a": 1}]),
]:
    path(f"supplied {_supplied!r}", _supplied, {"a": object})
path_with_fresh_arguments("items() iteration raises", lambda: (Items(raising_items()), SUPPORTED))
path("unhashable key", Items([(BadHash(), 1)]), {})
# Odd supported mappings.
for _id, _supported in [
    ("None", None), ("int", 5), ("set: membership passes, subscription fails", {"a"}),
    ("list", ["a"]), ("no class", {"a": 5}), ("tuple of no class", {"a": (str, 5)}),
    ("tuple, a class first", {"a": (int, 5)}),
    ("in raises", container(__contains__=raising(Boom("in")))),
    ("subscription raises", container(__contains__=lambda s, k: True,
                                      __getitem__=raising(KeyError("a")))),
    ("falsy membership", container(__contains__=lambda s, k: 0, __getitem__=raising(Boom()))),
    ("instancecheck raises", {"a": RaisingCheck}),
    ("entry's format raises", {"a": BadlyFormattedType}),
]:
    path(f"supported {_id}", {"a": 1}, _supported)
# Odd keys.
path("key format raises", {BadFormat(): 1}, {})
path("key comparison raises", {BadEq(): 1}, {"a": int})
path("key formats to no str", {FormatsToInt(): 1}, {})
path("a key that passes is never formatted", {BadFormat(): 1},
     container(__contains__=lambda s, k: True, __getitem__=lambda s, k: int))


def changing_walk(change):
    def make_args():
        supplied = {"a": 1, "b": 2}
        changing = container(__contains__=lambda s, key: change(supplied, key) or True,
                             __getitem__=lambda s, key: int)
        return supplied, changing
    return make_args


# The dict changes while it is walked: its size, or (same size) its keys.
for _id, _change in [
    ("grows", lambda d, key: d.setdefault("z", 3)),
    ("shrinks", lambda d, key: d.pop("b", None)),
    ("loses a key already walked", lambda d, key: key == "b" and d.pop("a")),
    ("keys replaced", lambda d, key: d.update({key + key: d.pop(key)})),
]:
    path_with_fresh_arguments(f"dict {_id} while walked", changing_walk(_change))
# The error class is looked up when raising, as it stands then.
for _id, _value in [
    ("deleted", DELETE), ("no exception", str), ("rebound", OtherError),
    ("a factory of an instance", lambda message: OtherError(message)),
    ("a factory that raises", raising(Boom("factory"))),
    ("a factory of a class that gives no instance", lambda message: NoInstanceError),
]:
    path(f"error class {_id}", {"a": 1}, {}, patches={"InvalidRuntimeOptionError": _value})
# Arguments bound as for a def.
path("no arguments")
path("one argument", {})
path("three arguments", {}, {}, {})
path("one argument twice", {}, supplied={})
path("unexpected keyword", supplied={}, supported={}, other=1)
PATHS.add("keyword not a string", "check_tunables",
          lambda target: lambda: target.check_tunables({}, {}, **{1: 2}))

test_every_path_is_the_models_and_leaks_nothing = PATHS.test()


# ---------------------------------------------------------------------------


def test_module_and_function_surface():
    assert tunables.__doc__ is None
    assert [n for n in vars(tunables) if not n.startswith("__")] == [
        "InvalidRuntimeOptionError", "check_tunables"]
    assert tunables.InvalidRuntimeOptionError is mivelo.errors.InvalidRuntimeOptionError
    assert check_tunables.__module__ == "mivelo.stream_reader.tunables"
    # Signature, names and docstring are compared with the model's in
    # test_introspection.py; here the local names, which the module states.
    assert check_tunables.__code__.co_varnames == check_tunables_model.__code__.co_varnames
    assert check_tunables(supported=None, supplied={}) is None


def logged(check, make):
    """What check(*make(log)) gives, and the log of the mappings' uses."""
    log = []
    return outcome(check, *make(log)), log


@pytest.mark.parametrize("make", [
    # Membership before type, the entry read again for the message, c untouched.
    lambda log: (Recorder("supplied", {"a": 1, "b": "x", "c": 2.0, "d": None}, log),
                 Recorder("supported", {"a": int, "b": int}, log)),
    lambda log: (Recorder("supplied", {"x": "wrong", "a": "wrong"}, log),
                 Recorder("supported", {"a": int}, log)),
    # An empty walk never touches supported.
    lambda log: (Recorder("supplied", {}, log), Recorder("supported", {}, log)),
], ids=["wrong type", "unknown option", "empty"])
def test_uses_of_the_mappings_in_the_models_order(make):
    assert logged(check_tunables, make) == logged(check_tunables_model, make)


def test_message_uses_the_second_read_of_the_entry():
    class Shifting(dict):
        def __init__(self, second):
            super().__init__(a=str)
            self.reads, self.second = 0, second

        def __getitem__(self, key):
            self.reads += 1
            return self.second() if self.reads > 1 else str

    for supplied, second in [({"a": 1}, lambda: Special), ({"a": 1}, raising(Boom())),
                             ({"a": "x"}, raising(Boom()))]:
        assert same_as_model(lambda: (supplied, Shifting(second)))
    supported = Shifting(lambda: Special)
    with pytest.raises(InvalidRuntimeOptionError, match="'class Special'"):
        check_tunables({"a": 1}, supported)
    assert supported.reads == 2


def test_error_class_falls_back_to_a_builtin(monkeypatch):
    monkeypatch.delattr(tunables, "InvalidRuntimeOptionError")
    monkeypatch.setattr(builtins, "InvalidRuntimeOptionError", OtherError, raising=False)
    with pytest.raises(OtherError, match="^Option 'a' should"):
        check_tunables({"a": 1}, {"a": str})


@pytest.mark.parametrize("check", [check_tunables, check_tunables_model],
                         ids=["module", "model"])
def test_message_is_made_before_the_class_is_looked_up(monkeypatch, check):
    monkeypatch.delitem(check.__globals__, "InvalidRuntimeOptionError")
    with pytest.raises(Boom, match="^format$"):
        check({BadFormat(): 1}, {})


# --- threads, and the model on random input -------------------------------------------

CASES = [({"a": 1}, {"a": int}), ({"a": 1}, {}), ({"a": 1}, {"a": str}),
         ({"a": 1}, {"a": 5}), ({"a": (1,)}, {"a": (int, list)}), (Items([None]), {})]


def test_threads_get_the_same_results():
    expected = [outcome(check_tunables, *case) for case in CASES]
    start = threading.Barrier(4, timeout=10)
    results = []

    def work():
        start.wait()
        results.append([outcome(check_tunables, *case) for _ in range(500) for case in CASES])

    threads = [threading.Thread(target=work) for _ in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout=30)
    assert not any(thread.is_alive() for thread in threads)
    assert results == [expected * 500] * 4


keys = st.one_of(st.sampled_from(["a", "b", "size", "fps"]), st.integers(0, 3))
values = st.one_of(st.none(), st.booleans(), st.integers(), st.floats(allow_nan=False),
                   st.text(max_size=3), st.lists(st.integers(), max_size=2))
entries = st.sampled_from([int, float, str, bool, list, object, type(None), (int, str),
                           (float, list), (), Special])


@settings(max_examples=300, deadline=None)
@given(st.dictionaries(keys, values, max_size=6), st.dictionaries(keys, entries, max_size=6),
       st.booleans())
def test_agrees_with_the_model(supplied, supported, as_items):
    if as_items:
        same_as_model(lambda: (Items(list(supplied.items())), supported))
    else:
        same_as_model(lambda: (dict(supplied), dict(supported)))
