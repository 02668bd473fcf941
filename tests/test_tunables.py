"""check_tunables: every supplied runtime option must be supported and of the
supported type; the first one that is not is refused with
InvalidRuntimeOptionError.  The model of the module (models/tunables.py) is the
reference for messages and for the errors that pass through from the
arguments."""
import builtins
import collections.abc
import sys
import threading
import types

import pytest
from hypothesis import given, settings, strategies as st

import mivelo.errors
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
    def method(*args):
        raise error
    return method


def container(**methods):
    return type("Container", (), methods)()


class Items:
    """Not a dict: only an items() that returns what it was given."""

    def __init__(self, items):
        self._items = items

    def items(self):
        return self._items


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


# --- surface -------------------------------------------------------------------

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


@pytest.mark.parametrize("args, kwargs", [
    ((), {}), (({},), {}), (({}, {}, {}), {}), (({},), {"supplied": {}}),
    ((), {"supplied": {}, "supported": {}, "other": 1}),
])
def test_argument_errors_are_those_of_a_def(args, kwargs):
    expected = outcome(check_tunables_model, *args, **kwargs)
    assert expected[0] is TypeError
    assert outcome(check_tunables, *args, **kwargs) == expected


# --- what passes and what is refused ---------------------------------------------

def test_messages():
    with pytest.raises(InvalidRuntimeOptionError) as info:
        check_tunables({"size": "big"}, {"size": int})
    assert info.value.args == (
        "Option 'size' should be of type '<class 'int'>', got '<class 'str'>'",)
    for key, text in (("size", "size"), (5, "5"), ("it's\n", "it's\n"), (Key(), "formatted")):
        with pytest.raises(InvalidRuntimeOptionError) as info:
            check_tunables({key: 1}, {"5": int})
        assert info.value.args == (f"Unknown option '{text}'",)
    # T is the entry formatted, V the value's exact class formatted.
    with pytest.raises(InvalidRuntimeOptionError) as info:
        check_tunables({"a": Special()}, {"a": (int, str)})
    assert str(info.value) == (
        "Option 'a' should be of type '(<class 'int'>, <class 'str'>)', got 'class Special'")


def test_isinstance_decides():
    class MyStr(str):
        pass

    supported = {"n": int, "f": float, "s": str, "any": object, "either": (int, str),
                 "seq": collections.abc.Sequence, "never supplied": bool}
    assert check_tunables({"n": True, "f": 1.5, "s": MyStr("x"), "any": None,
                           "either": "x", "seq": [1]}, supported) is None
    assert check_tunables({"either": 3}, supported) is None
    with pytest.raises(InvalidRuntimeOptionError, match="got '<class 'float'>'$"):
        check_tunables({"either": 1.5}, supported)
    with pytest.raises(InvalidRuntimeOptionError, match="got '<class 'int'>'$"):
        check_tunables({"f": 1}, supported)


def test_first_failing_key_in_supplied_order_decides():
    log = []
    supplied = Recorder("supplied", {"a": 1, "b": "x", "c": 2.0, "d": None}, log)
    supported = Recorder("supported", {"a": int, "b": int}, log)
    with pytest.raises(InvalidRuntimeOptionError, match="^Option 'b' "):
        check_tunables(supplied, supported)
    # Membership before type, the entry read again for the message, c untouched.
    assert log == [("supplied", "items"),
                   ("supplied", "next", "a"), ("supported", "in", "a"), ("supported", "get", "a"),
                   ("supplied", "next", "b"), ("supported", "in", "b"), ("supported", "get", "b"),
                   ("supported", "get", "b")]
    log.clear()
    supplied = Recorder("supplied", {"x": "wrong", "a": "wrong"}, log)
    with pytest.raises(InvalidRuntimeOptionError, match="^Unknown option 'x'$"):
        check_tunables(supplied, supported)
    assert log == [("supplied", "items"), ("supplied", "next", "x"), ("supported", "in", "x")]


def test_message_uses_the_second_read_of_the_entry():
    class Shifting(dict):
        def __init__(self, second):
            super().__init__(a=str)
            self.reads, self.second = 0, second

        def __getitem__(self, key):
            self.reads += 1
            return self.second() if self.reads > 1 else str

    supported = Shifting(lambda: Special)
    with pytest.raises(InvalidRuntimeOptionError) as info:
        check_tunables({"a": 1}, supported)
    assert str(info.value) == "Option 'a' should be of type 'class Special', got '<class 'int'>'"
    assert supported.reads == 2
    with pytest.raises(Boom):
        check_tunables({"a": 1}, Shifting(raising(Boom())))
    assert check_tunables({"a": "x"}, Shifting(raising(Boom()))) is None


def test_empty_supplied_never_touches_supported():
    log = []
    assert check_tunables({}, None) is None
    assert check_tunables(Items([]), 5) is None
    assert check_tunables(Recorder("supplied", {}, log), Recorder("supported", {}, log)) is None
    assert log == [("supplied", "items")]


def test_mappings_other_than_dict():
    class Reversed(dict):
        def items(self):
            return list(dict.items(self))[::-1]

    with pytest.raises(InvalidRuntimeOptionError, match="^Unknown option 'b'$"):
        check_tunables(Reversed(a=0, b=0), {})
    for supplied in (collections.OrderedDict(a=1), types.MappingProxyType({"a": 1}),
                     Items([("a", 1)]), Items(iter([["a", 1]])), Items({("a", 1): None})):
        assert check_tunables(supplied, types.MappingProxyType({"a": int})) is None


# --- errors from the arguments pass through ------------------------------------------

def test_supplied_of_none():
    with pytest.raises(AttributeError) as info:
        check_tunables(None, {})
    assert str(info.value) == "'NoneType' object has no attribute 'items'"


@pytest.mark.parametrize("supplied", [
    None, 5, [("a", 1)], Items(5), Items(None), container(items=raising(Boom())),
    # items that do not unpack into two, or unpack in unusual ways
    Items([("a", 1, 2)]), Items([("a",)]), Items([()]), Items([None]), Items([5]),
    Items(["ab"]), Items(["abc"]), Items([b"ab"]), Items([("a", 1), None]),
    Items([collections.deque(["a", 1, 2])]), Items([{"a": 1}]),
], ids=repr)
def test_odd_supplied(supplied):
    same_as_model(lambda: (supplied, {"a": object}))


@pytest.mark.parametrize("make, kind", [
    (lambda: None, TypeError),
    (lambda: 5, TypeError),
    (lambda: {"a"}, TypeError),  # membership passes, subscription fails
    (lambda: ["a"], TypeError),
    (lambda: {"a": 5}, TypeError),
    (lambda: {"a": (str, 5)}, TypeError),
    (lambda: {"a": (int, 5)}, "returned"),  # isinstance stops at int
    (lambda: container(__contains__=raising(Boom())), Boom),
    (lambda: container(__contains__=lambda s, k: True, __getitem__=raising(Boom())), Boom),
    (lambda: container(__contains__=lambda s, k: 0, __getitem__=raising(Boom())),
     InvalidRuntimeOptionError),
], ids=["None", "int", "set", "list", "non-class", "tuple-non-class", "tuple-class-first",
        "contains-raises", "getitem-raises", "falsy-contains"])
def test_odd_supported(make, kind):
    assert same_as_model(lambda: ({"a": 1}, make()))[0] == kind


class BadFormat:
    def __format__(self, spec):
        raise Boom("format")


class BadEq:
    def __hash__(self):
        return hash("a")

    def __eq__(self, other):
        raise Boom("eq")


class FormatsToInt:
    def __format__(self, spec):
        return 5


@pytest.mark.parametrize("key, supported, kind", [
    (BadFormat(), {}, Boom),
    (BadEq(), {"a": int}, Boom),
    (FormatsToInt(), {}, TypeError),
    # A key that passes is never formatted.
    (BadFormat(), container(__contains__=lambda s, k: True, __getitem__=lambda s, k: int),
     "returned"),
])
def test_odd_keys(key, supported, kind):
    assert same_as_model(lambda: ({key: 1}, supported))[0] == kind


@pytest.mark.parametrize("change, message", [
    (lambda d, key: d.setdefault("z", 3), "dictionary changed size during iteration"),
    (lambda d, key: d.pop("b", None), "dictionary changed size during iteration"),
    (lambda d, key: key == "b" and d.pop("a"), "dictionary changed size during iteration"),
    # Same size, other keys: the walk must not go on to keys it never had.
    (lambda d, key: d.update({key + key: d.pop(key)}),
     "dictionary keys changed during iteration" if sys.version_info >= (3, 8) else None),
])
def test_dict_changed_during_the_walk(change, message):
    def make():
        supplied = {"a": 1, "b": 2}
        changing = container(__contains__=lambda s, key: change(supplied, key) or True,
                             __getitem__=lambda s, key: int)
        return supplied, changing

    kind, text = same_as_model(make)
    assert message is None or (kind, text) == (RuntimeError, message)


def test_error_class_is_looked_up_when_raising(monkeypatch):
    class Other(Exception):
        pass

    monkeypatch.setattr(tunables, "InvalidRuntimeOptionError", Other)
    with pytest.raises(Other) as info:
        check_tunables({"a": 1}, {})
    assert type(info.value) is Other and info.value.args == ("Unknown option 'a'",)
    monkeypatch.delattr(tunables, "InvalidRuntimeOptionError")
    assert check_tunables({"a": 1}, {"a": int}) is None
    with pytest.raises(NameError, match="^name 'InvalidRuntimeOptionError' is not defined$"):
        check_tunables({"a": 1}, {})
    monkeypatch.setattr(builtins, "InvalidRuntimeOptionError", Other, raising=False)
    with pytest.raises(Other, match="^Option 'a' should"):
        check_tunables({"a": 1}, {"a": str})


@pytest.mark.parametrize("check", [check_tunables, check_tunables_model],
                         ids=["module", "model"])
def test_message_is_made_before_the_class_is_looked_up(monkeypatch, check):
    monkeypatch.delitem(check.__globals__, "InvalidRuntimeOptionError")
    with pytest.raises(Boom, match="^format$"):
        check({BadFormat(): 1}, {})


# --- threads, references, and the model on random input -----------------------------

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


def test_no_reference_is_leaked():
    key, val, entry = "key-object", object(), (int, str)
    supplied, supported, items = {key: val}, {key: entry}, Items([(key, val, entry)])
    objects = (key, val, entry, supplied, supported, items)
    runs = [(supplied, supported), (supplied, {}), (supplied, {key: float}), (items, supported)]
    total = getattr(sys, "gettotalrefcount", lambda: 0)
    for _ in range(10):
        [outcome(check_tunables, *run) for run in runs]
    before = [sys.getrefcount(x) for x in objects], total()
    for _ in range(1000):
        [outcome(check_tunables, *run) for run in runs]
    assert [sys.getrefcount(x) for x in objects] == before[0]
    assert total() - before[1] < 500  # a debug build counts every reference


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
