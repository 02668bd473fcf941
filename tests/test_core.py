"""The function objects behind the C++ modules behave like Python functions:
binding, attributes, introspection and, above all, the argument errors; and
neither they nor a module's execution leak."""
import copy
import gc
import importlib
import inspect
import pickle
import sys
import types
import weakref

import pytest

import leaks
from fakes import Boom
from helpers import extension_modules, fresh_module
from mivelo.pipeline_factories import base

from mivelo.pipeline_factories.custom import CustomPipelineFactory
from mivelo.pipeline_factories.http import HTTPPipelineFactory
from mivelo.stream_reader.tunables import check_tunables
from mivelo.utils.timing import Timeout
from models.custom import CustomPipelineFactory as ModelCustom
from models.http import HTTPPipelineFactory as ModelHTTP
from models.timing import Timeout as ModelTimeout
from models.tunables import check_tunables as model_check_tunables

S = object()  # stands for `self` where the call passes it explicitly

CALLS = [
    # (real, model, args, kwargs): the model's errors are what the C++ parser
    # must reproduce, word for word, on this interpreter.
    *[(HTTPPipelineFactory.__init__, ModelHTTP.__init__, a, k) for a, k in [
        ((), {}),
        ((S,), {}),
        ((S, "u"), {}),
        ((S, "u", 1, 2), {}),
        ((S,), {"url": "u"}),
        ((S,), {"url": "u", "pipeline_watcher": 1}),
        ((S, "x"), {"url": "u", "pipeline_watcher": 1, "on_complete": 2}),
        ((S, "x", "y"), {"url": "u"}),
        ((S,), {"url": "u", "pipeline_watcher": 1, "on_complete": 2, "extra": 3}),
        ((S,), {"nope": 1, "url": "u"}),
        # Misspelt keywords: 3.13 adds "Did you mean" with the nearest name.
        ((S,), {"url": "u", "pipeline_wacher": 1}),
        ((S,), {"URL": "u"}),
        ((S,), {"sef": S}),
        ((), {"self": S, "url": "u", "pipeline_watcher": 1, "on_complete": 2, "x": 1}),
        ((S,), {"self": S}),
    ]],
    *[(CustomPipelineFactory.__init__, ModelCustom.__init__, a, k) for a, k in [
        ((S,), {}),
        ((S,), {"url": "u", "pipeline_watcher": 1, "on_complete": 2}),
        ((S, "p"), {"pipeline_str": "p"}),
        ((S, "p", "u"), {"url": "u", "pipeline_watcher": 1, "on_complete": 2}),
        ((S, "p", "u", 3), {}),
        ((S,), {"pipeline_str": "p", "bogus": 1}),
    ]],
    *[(check_tunables, model_check_tunables, a, k) for a, k in [
        ((), {}),
        (({},), {}),
        (({}, {}, {}), {}),
        (({},), {"supplied": {}}),
        ((), {"supported": {}}),
        ((), {"supplied": {}, "supported": {}, "key": 1}),
        ((), {"suplied": {}, "supported": {}}),
    ]],
    *[(Timeout.__init__, ModelTimeout.__init__, a, k) for a, k in [
        ((S,), {}),
        ((S, 1, 2, 3, 4), {}),
        ((S, 1, 2, 3, 4, 5), {}),
        ((S, 1), {"time_seconds": 1}),
        ((S, 1), {"print_timeout": 1, "raise_error": 2, "nope": 3}),
        ((S, 1), {"raise_errors": 1}),
    ]],
    *[(Timeout.reset, ModelTimeout.reset, a, k) for a, k in [((), {}), ((S, 1), {}), ((S,), {"x": 1})]],
    (HTTPPipelineFactory.build, ModelHTTP.build, (S, S), {}),
]


def error_of(func, args, kwargs):
    with pytest.raises(TypeError) as info:
        func(*args, **kwargs)
    return str(info.value)


@pytest.mark.parametrize("real, model, args, kwargs", CALLS)
def test_argument_errors_match_python(real, model, args, kwargs):
    assert error_of(real, args, kwargs) == error_of(model, args, kwargs)


@pytest.mark.parametrize("real, ref", [(check_tunables, model_check_tunables),
                                       (HTTPPipelineFactory.__init__, ModelHTTP.__init__)])
def test_non_string_keywords_are_refused(real, ref):
    assert error_of(real, (), {1: 2}) == error_of(ref, (), {1: 2})


def test_keywords_spelled_by_equal_but_distinct_strings_bind():
    # Keyword names built at run time are not the interned parameter names.
    key = "".join(["sup", "plied"])
    assert check_tunables(**{key: {}, "supported": None}) is None


def test_methods_bind_like_python_methods():
    assert HTTPPipelineFactory.__dict__["build"].__get__(None, HTTPPipelineFactory) \
        is HTTPPipelineFactory.build
    t = Timeout(100)
    bound = t.reset
    assert inspect.ismethod(bound) and bound.__self__ is t and bound.__func__ is Timeout.reset
    assert bound.__name__ == "reset" and bound.__qualname__ == "Timeout.reset"
    assert bound.__doc__ == Timeout.reset.__doc__


def test_attributes_and_their_checks():
    f = Timeout.reset
    assert f.__module__ == "mivelo.utils.timing"
    assert f.__globals__ is sys.modules["mivelo.utils.timing"].__dict__
    assert f.__closure__ is None
    assert repr(f).startswith("<function Timeout.reset at 0x")
    for attr, bad, text in [
        ("__name__", 1, "__name__ must be set to a string object"),
        ("__qualname__", None, "__qualname__ must be set to a string object"),
        ("__defaults__", [1], "__defaults__ must be set to a tuple object"),
        ("__kwdefaults__", [1], "__kwdefaults__ must be set to a dict object"),
        ("__annotations__", 1, "__annotations__ must be set to a dict object"),
    ]:
        with pytest.raises(TypeError) as info:
            setattr(f, attr, bad)
        assert str(info.value) == text
    with pytest.raises(TypeError):
        del f.__name__
    with pytest.raises(AttributeError):
        f.__code__ = None


def test_defaults_are_read_at_each_call(monkeypatch):
    monkeypatch.setattr(Timeout.__init__, "__defaults__", ("r", "p"))
    t = Timeout(5)
    assert (t.raise_error, t.print_timeout) == ("r", "p")
    monkeypatch.setattr(Timeout.__init__, "__defaults__", None)
    assert Timeout.__init__.__defaults__ is None
    with pytest.raises(TypeError, match="missing 2 required positional arguments: "
                                        "'raise_error' and 'print_timeout'"):
        Timeout(5)


def test_kwdefaults_fill_keyword_only_parameters(monkeypatch):
    seen = []
    monkeypatch.setattr(HTTPPipelineFactory.__bases__[0], "__init__",
                        lambda self, **kw: seen.append(kw))
    monkeypatch.setattr(HTTPPipelineFactory.__init__, "__kwdefaults__",
                        {"pipeline_watcher": "w", "on_complete": "c"})
    f = HTTPPipelineFactory(url="u")
    assert f._pipeline_watcher == "w" and seen[0]["on_complete"] == "c"
    monkeypatch.setattr(HTTPPipelineFactory.__init__, "__kwdefaults__", None)
    with pytest.raises(TypeError, match="missing 2 required keyword-only"):
        HTTPPipelineFactory(url="u")


def test_annotations_are_a_fresh_mutable_dict():
    f = Timeout.reset
    assert f.__annotations__ == {}
    f.__annotations__["x"] = "y"
    assert Timeout.reset.__annotations__ == {"x": "y"}
    f.__annotations__ = None
    assert f.__annotations__ == {}


def test_function_dict_weakref_pickle_copy():
    f = Timeout.reset
    f.marker = 1
    assert f.__dict__["marker"] == 1
    del f.marker
    assert weakref.ref(f)() is f
    assert pickle.loads(pickle.dumps(f)) is f
    assert pickle.loads(pickle.dumps(check_tunables)) is check_tunables
    assert copy.copy(f) is f and copy.deepcopy(check_tunables) is check_tunables


def test_signature_from_code_object():
    for real, model in [(check_tunables, model_check_tunables), (Timeout, ModelTimeout),
                        (HTTPPipelineFactory, ModelHTTP),
                        (HTTPPipelineFactory.build, ModelHTTP.build)]:
        assert inspect.signature(real) == inspect.signature(model)
    assert isinstance(check_tunables.__code__, type(model_check_tunables.__code__))


def test_methods_are_found_by_gc_and_collected_with_their_class():
    # A class built through the core refers to its methods and they to it.
    ns = {}
    exec("from mivelo.utils import timing\n"
         "class Sub(timing.Timeout):\n    pass\n", ns)
    ref = weakref.ref(ns.pop("Sub"))
    gc.collect()
    assert ref() is None
    assert gc.is_tracked(Timeout.reset)


def test_super_call_reaches_cooperative_bases_in_mro_order():
    order = []

    class Mixin(HTTPPipelineFactory.__bases__[0]):
        def __init__(self, **kw):
            order.append(("mixin", sorted(kw)))
            super().__init__(**kw)

    class Both(HTTPPipelineFactory, Mixin):
        pass

    both = Both(url="u", pipeline_watcher=1, on_complete=2)
    assert order == [("mixin", ["max_framerate", "on_complete", "url"])]
    assert both._url == "u" and both._pipeline_watcher == 1


class _ClassLookup:
    """Claims to be of another class through a `__class__` that raises."""

    def __init__(self, error):
        self.error = error

    @property
    def __class__(self):
        raise self.error


def _super_outcome(init, obj):
    try:
        init(obj, url=None, pipeline_watcher=1, on_complete=2)
    except BaseException as raised:  # noqa: B902 (KeyboardInterrupt included)
        return type(raised), str(raised)
    return None


@pytest.mark.parametrize("make", [
    object, lambda: int, lambda: _ClassLookup(AttributeError("no class")),
    lambda: _ClassLookup(ValueError("boom")), lambda: _ClassLookup(KeyboardInterrupt()),
], ids=["not an instance", "not a subclass", "__class__ raises AttributeError",
        "__class__ raises ValueError", "__class__ raises KeyboardInterrupt"])
def test_super_call_on_another_object_fails_as_super_does(make):
    # super() refuses an object that is neither an instance nor a subclass of
    # the class (naming both from 3.13 on), and of the errors that reading
    # obj.__class__ raises discards only AttributeError (any, on 3.7).
    assert _super_outcome(HTTPPipelineFactory.__init__, make()) == _super_outcome(
        ModelHTTP.__init__, make())


# ---------------------------------------------------------------------------
# The function objects and the modules' execution, checked for leaks
# (tests/leaks.py): they drive the objects, not the calls, so they cover no
# callable, except each module's execution.

OBJECTS = leaks.Cases(None)
FUNCTION_TYPE = type(check_tunables)


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
    return run, [fn, *saved.values()]


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
    return run, [fn]


def function_use(fn, owner):
    def run():
        copy.copy(fn), copy.deepcopy(fn), fn.__reduce__(), weakref.ref(fn)
        gc.get_referents(fn)
        if owner is not None:
            bound = fn.__get__(owner.__new__(owner), owner)
            bound.__func__, bound.__self__, fn.__get__(None, owner)
    return run, [fn]


def all_functions():
    """(qualified name, function, owner class) of every function that the
    extension modules define, found through their namespaces."""
    for name in extension_modules():
        module = importlib.import_module(name)
        for value in list(vars(module).values()):
            if isinstance(value, FUNCTION_TYPE) and value.__module__ == name:
                yield f"{name}.{value.__qualname__}", value, None
            elif isinstance(value, type) and value.__module__ == name:
                for attr in vars(value).values():
                    if isinstance(attr, FUNCTION_TYPE):
                        yield f"{name}.{attr.__qualname__}", attr, value


for _qualname, _fn, _owner in all_functions():
    OBJECTS.add(f"{_qualname}: attributes", [], (lambda f: lambda _: attribute_round_trip(f))(_fn))
    OBJECTS.add(f"{_qualname}: refusals", [], (lambda f: lambda _: attribute_refusals(f))(_fn))
    OBJECTS.add(f"{_qualname}: copy, bind, weakref", [],
                (lambda f, o: lambda _: function_use(f, o))(_fn, _owner))
OBJECTS.add("inspect.signature of every function", [],
            lambda _: lambda: [inspect.signature(fn) for _, fn, _ in all_functions()], n=300)
OBJECTS.add("pickle of a function", [], lambda _: lambda: pickle.loads(pickle.dumps(check_tunables)),
            n=500)


def failing_import(name, stubs):
    def make(_):
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
    OBJECTS.add(f"{_module}: executed afresh", [_module],
                (lambda name: lambda _: lambda: fresh_module(name))(_module), n=200)
for _id, _name, _stubs, _raises, _match in [
    ("tunables: errors module lacks the class", "mivelo.stream_reader.tunables",
     {"mivelo.errors": stub("mivelo.errors")},
     ImportError, "cannot import name 'InvalidRuntimeOptionError'"),
    ("http: utility module lacks Pipeline", "mivelo.pipeline_factories.http",
     {"mivelo.utils.gstreamer": stub("mivelo.utils.gstreamer")},
     ImportError, "cannot import name 'Pipeline'"),
    ("custom: base module lacks a constant", "mivelo.pipeline_factories.custom",
     {"mivelo.pipeline_factories.base": stub("mivelo.pipeline_factories.base")},
     ImportError, "cannot import name '_APPSINK_PROPERTIES'"),
    ("http: base metaclass refuses the class", "mivelo.pipeline_factories.http",
     {"mivelo.pipeline_factories.base": base_stub(RefusingMeta("PipelineFactory", (), {}))},
     Boom, "metaclass"),
    ("custom: base metaclass __prepare__ raises", "mivelo.pipeline_factories.custom",
     {"mivelo.pipeline_factories.base": base_stub(BadPrepareMeta("PipelineFactory", (), {}))},
     Boom, "prepare"),
    ("timing: package lacks logger", "mivelo.utils.timing", {"mivelo": stub("mivelo", __path__=[])},
     ImportError, "cannot import name 'logger'"),
]:
    OBJECTS.add(_id, [], failing_import(_name, _stubs), raises=_raises, match=_match, n=200)

test_objects_and_execution_leak_nothing = OBJECTS.test()
