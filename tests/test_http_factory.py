"""HTTPPipelineFactory against recording fakes: the surface, the constructor
and every step of build(), in order, with failures at each step.  The order
of the steps, lookups included, the outcomes and the messages are compared
with the model's."""
import functools
import types

import pytest

import mivelo.pipeline_factories.base as base
import mivelo.pipeline_factories.http as http
import helpers
import leaks
from fakes import Boom, Stage, watcher
from helpers import DELETE
from mivelo.pipeline_factories.http import HTTPPipelineFactory

URL = "http://127.0.0.1:1/stream.mjpg"
WATCHER, ON_COMPLETE = object(), object()


def never_called(*args):
    raise AssertionError("the factory called on_complete")


class Harness:
    """One factory module (the extension module or its model) with a stage of
    fakes bound in (a new one, unless it is given already bound), and a base
    class that logs its constructor's keywords into the stage."""

    def __init__(self, monkeypatch, module=http, stage=None):
        self.module = module
        if stage is None:
            stage = Stage(log=[])
            for name, value in stage.bindings.items():
                monkeypatch.setattr(module, name, value)
        self.stage, self.log = stage, stage.log
        original_init = base.PipelineFactory.__init__

        def recording_init(factory, **kwargs):
            self.stage.note("call", "base", "__init__", (kwargs,))
            original_init(factory, **kwargs)

        monkeypatch.setattr(base.PipelineFactory, "__init__", recording_init)

    def factory(self, url=URL, watcher=WATCHER, on_complete=never_called):
        cls = self.stage.traced(self.module.HTTPPipelineFactory)
        factory = cls(url=url, pipeline_watcher=watcher, on_complete=on_complete)
        factory._set_up_decoder = self.stage.decoder
        self.log.clear()
        return factory

    def names(self):
        return [event[2] for event in self.log if event[0] == "call"]


@pytest.fixture
def harness(monkeypatch):
    return Harness(monkeypatch)


def same_as_model(monkeypatch, scenario, **names):
    """scenario(harness) on the module and on its model, compared (see
    helpers.same_as_model); returns the module's harness and result."""
    harnesses = []

    def run(module, stage, patch):
        harnesses.append(Harness(patch, module, stage))
        return scenario(harnesses[-1])

    _, result = helpers.same_as_model(monkeypatch, http, run, **names)
    return harnesses[0], result


class TestSurface:
    def test_module_namespace_in_import_order(self):
        assert http.__doc__ is None
        names = [n for n in vars(http) if not n.startswith("__")]
        assert names == ["Gst", "Pipeline", "_APPSINK_PROPERTIES", "_FRAMERATE_LIMIT",
                         "_ON_COMPLETE_CALLBACK", "_PIPELINE_WATCHER", "BUFFER_SRC_NAME",
                         "PipelineFactory", "HTTPPipelineFactory"]
        assert http.PipelineFactory is base.PipelineFactory
        assert http._APPSINK_PROPERTIES is base._APPSINK_PROPERTIES

    def test_class(self):
        cls = HTTPPipelineFactory
        assert cls.__bases__ == (base.PipelineFactory,)
        assert type(cls) is type(base.PipelineFactory)
        assert (cls.__module__, cls.__qualname__) == ("mivelo.pipeline_factories.http",
                                                      "HTTPPipelineFactory")
        assert list(vars(cls)) == ["__module__", "__doc__", "__init__", "build"]



class TestConstructor:
    def test_hands_three_keywords_to_the_base_then_stores_the_watcher(self, monkeypatch):
        def construct(harness):
            factory = harness.module.HTTPPipelineFactory(url=URL, pipeline_watcher=WATCHER,
                                                         on_complete=ON_COMPLETE)
            return factory._url, factory._pipeline_watcher

        harness, _ = same_as_model(monkeypatch, construct, _FRAMERATE_LIMIT=7.5)
        assert harness.log == [("call", "base", "__init__", (
            {"url": URL, "max_framerate": 7.5, "on_complete": ON_COMPLETE},))]

    def test_none_url_reaches_the_base(self, harness):
        factory = HTTPPipelineFactory(url=None, pipeline_watcher=1, on_complete=2)
        assert harness.log[0][3][0]["url"] is None and factory._url is None

    @pytest.mark.parametrize("url", [b"http://x", 1, type("S", (str,), {})("http://x")])
    def test_url_must_be_exactly_str_before_the_base_runs(self, harness, url):
        # The message is the model's (see the paths below).
        with pytest.raises(TypeError):
            HTTPPipelineFactory(url=url, pipeline_watcher=1, on_complete=2)
        assert harness.log == []

    def test_base_failure_leaves_no_watcher(self, harness, monkeypatch):
        def failing(factory, **kwargs):
            raise ValueError("base says no")
        monkeypatch.setattr(base.PipelineFactory, "__init__", failing)
        factory = HTTPPipelineFactory.__new__(HTTPPipelineFactory)
        with pytest.raises(ValueError, match="base says no"):
            factory.__init__(url=URL, pipeline_watcher=1, on_complete=2)
        assert not hasattr(factory, "_pipeline_watcher")

    def test_missing_framerate_global_stops_before_the_base(self, harness, monkeypatch):
        monkeypatch.delattr(http, "_FRAMERATE_LIMIT")
        with pytest.raises(NameError):
            HTTPPipelineFactory(url=URL, pipeline_watcher=1, on_complete=2)
        assert harness.log == []


def build(harness):
    """Builds once; what the pipeline holds, the fakes named by their labels."""
    pipeline = harness.factory().build()
    return (pipeline.url, pipeline.watcher is WATCHER, pipeline.state,
            sorted((name, element.factory, element.properties)
                   for name, element in pipeline.elements.items()),
            pipeline._appsink.label)


class TestBuild:
    def test_steps_in_order(self, monkeypatch):
        harness, _ = same_as_model(monkeypatch, build)
        assert harness.names()[0] == "Pipeline" and harness.names()[-1] == "set_state"

    def test_sink_properties_are_the_mapping_itself(self, harness, monkeypatch):
        props = {"sync": False}
        monkeypatch.setattr(http, "_APPSINK_PROPERTIES", props)
        harness.factory().build()
        (sink_properties, _), (source_properties, _) = [
            args for _, label, step, args in harness.log if step.startswith("new_element")]
        assert sink_properties is props and source_properties == {"location": URL}

    def test_module_globals_are_read_at_each_build(self, harness, monkeypatch):
        factory = harness.factory()
        monkeypatch.setattr(http, "BUFFER_SRC_NAME", "renamed")
        monkeypatch.setattr(http, "Gst", types.SimpleNamespace(
            State=types.SimpleNamespace(PLAYING="LATER")))
        pipeline = factory.build()
        assert "renamed" in pipeline.elements
        assert harness.log[-1] == ("call", "pipeline", "set_state", ("LATER",))

    def test_url_is_read_for_each_use(self, harness):
        factory = harness.factory()
        reads = []

        class Tracking(type(factory)):
            @property
            def _url(self):
                reads.append(1)
                return f"http://host/{len(reads)}"

            @_url.setter
            def _url(self, value):
                pass

        factory.__class__ = Tracking
        pipeline = factory.build()
        assert pipeline.url == "http://host/1"
        assert pipeline.elements["buffer_src"].properties == {"location": "http://host/2"}

    def test_two_builds_give_two_pipelines(self, harness):
        factory = harness.factory()
        first, second = factory.build(), factory.build()
        assert first is not second
        assert first.appsink is not second.appsink
        assert harness.names().count("add_bus_watch") == 2

    def test_state_change_result_is_not_examined(self, harness):
        harness.stage.state_result = "FAILURE"
        assert harness.factory().build() is harness.stage.pipeline

    @pytest.mark.parametrize("step", ["Pipeline", "add_bus_watch", "new_element:appsink",
                                      "appsink", "new_element:souphttpsrc", "get_static_pad",
                                      "_set_up_decoder", "set_state"])
    def test_a_failing_step_ends_the_build(self, monkeypatch, step):
        def failing_build(harness):
            harness.stage.fail[step] = None
            try:
                return build(harness)
            finally:
                # The build stops at the failing step.
                assert harness.names()[-1] == step
                if step == "new_element:souphttpsrc":
                    assert harness.stage.pipeline.appsink is not None  # the sink came first

        same_as_model(monkeypatch, failing_build)
        harness = Harness(monkeypatch, http)
        harness.stage.fail[step] = error = LookupError(step)
        with pytest.raises(LookupError) as info:
            harness.factory().build()
        assert info.value is error

    def test_decoder_is_looked_up_before_the_pad(self, monkeypatch):
        def undecoded_build(harness):
            factory = harness.factory()
            del factory._set_up_decoder
            return factory.build()

        monkeypatch.delattr(base.PipelineFactory, "_set_up_decoder")
        harness, result = same_as_model(monkeypatch, undecoded_build)
        assert result[0] is AttributeError and "_set_up_decoder" in result[1]
        assert "get_static_pad" not in harness.names()

    @pytest.mark.parametrize("name", ["Pipeline", "_APPSINK_PROPERTIES", "BUFFER_SRC_NAME", "Gst"])
    def test_missing_global_is_a_name_error(self, monkeypatch, name):
        _, result = same_as_model(monkeypatch, build, **{name: DELETE})
        assert result[0] is NameError


# ---------------------------------------------------------------------------
# Every path, compared with the model and checked for leaks

PATHS = leaks.Cases(http)
KW = {"url": URL, "pipeline_watcher": watcher, "on_complete": None}
MANY = {f"k{i}": i for i in range(20)}
INIT, BUILD = "HTTPPipelineFactory.__init__", "HTTPPipelineFactory.build"


def fakes(*fail, **names):
    """Globals for a build: a stage's Pipeline that fails at the steps `fail`."""
    return {"Pipeline": Stage(*fail).Pipeline, **names}


def subclass(**attrs):
    """A subclass of the target's factory class with `attrs`, one per target."""
    made = {}

    def of(target):
        if target not in made:
            made[target] = type("Sub", (target.HTTPPipelineFactory,), dict(attrs))
        return made[target]
    return of


def constructing(cls=None, **kwargs):
    def make(target):
        factory_class = cls(target) if cls else target.HTTPPipelineFactory
        return lambda: factory_class(**{**KW, **kwargs})
    make.tracked = tuple(kwargs.values()) + tuple(KW.values())
    return make


def building(cls=None, decoder_fails=False, **attrs):
    def make(target):
        factory = (cls(target) if cls else target.HTTPPipelineFactory)(**KW)
        if cls is None:
            factory._set_up_decoder = Stage(*["_set_up_decoder"] * decoder_fails).decoder
        for name, value in attrs.items():
            if value is DELETE:
                delattr(factory, name)
            else:
                setattr(factory, name, value)
        return factory.build, [factory]
    return make


def raising_property(error):
    def get(self):
        raise leaks.fresh(error)
    return property(get)


# The constructor, its arguments bound as for a def and checked for exact str.
PATHS.add("construct", INIT, constructing())
PATHS.add("through type.__call__", INIT,
          lambda target: lambda: type.__call__(target.HTTPPipelineFactory, **KW))
for _url in [None, b"http://x", 1, type("S", (str,), {})("http://x"), type("T" * 300, (), {})()]:
    PATHS.add(f"url {_url!r:.40}", INIT, constructing(url=_url))
for _id, _args, _kwargs in [
    ("missing one", (), {"url": URL, "pipeline_watcher": watcher}), ("missing two", (), {"url": URL}),
    ("missing three", (), {}), ("url positional", (URL,), {}),
    ("positional and keywords", (URL,), KW), ("unexpected keyword", (), {**KW, "other": 1}),
    ("many keywords", (), {**KW, **MANY}),
]:
    PATHS.add(f"construct, {_id}", INIT, leaks.calling("HTTPPipelineFactory", *_args, **_kwargs))
PATHS.add("frame-rate limit deleted", INIT, constructing(), {"_FRAMERATE_LIMIT": DELETE})
PATHS.add("base constructor raises", INIT, constructing(), {"_FRAMERATE_LIMIT": -1})
PATHS.add("__init__ on another object", INIT,
          leaks.calling("HTTPPipelineFactory.__init__", object(), **KW))
PATHS.add("watcher not settable", INIT,
          constructing(subclass(_pipeline_watcher=property(lambda self: None))))
# build(), each of its steps failing in turn.
PATHS.add("build", BUILD, building(), fakes())
PATHS.add("build with an argument", BUILD,
          lambda target: functools.partial(building()(target)[0], 1), fakes())
for _step in ["Pipeline", "add_bus_watch", "new_element:appsink", "appsink",
              "new_element:souphttpsrc", "get_static_pad", "set_state"]:
    PATHS.add(f"{_step} raises", BUILD, building(), fakes(_step))
PATHS.add("decoder lookup raises", BUILD,
          building(subclass(_set_up_decoder=raising_property(Boom("lookup")))), fakes())
PATHS.add("decoder raises", BUILD, building(decoder_fails=True), fakes())
PATHS.add("_url deleted", BUILD, building(_url=DELETE), fakes())
for _name in ["Pipeline", "_APPSINK_PROPERTIES", "BUFFER_SRC_NAME", "Gst"]:
    PATHS.add(f"{_name} deleted", BUILD, building(), fakes(**{_name: DELETE}))
PATHS.add("Gst without State", BUILD, building(), fakes(Gst=types.SimpleNamespace()))

test_every_path_is_the_models_and_leaks_nothing = PATHS.test()
