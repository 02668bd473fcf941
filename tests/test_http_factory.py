"""HTTPPipelineFactory against recording fakes: the surface, the constructor
and every step of build(), in order, with failures at each step."""
import inspect
import types

import pytest

import mivelo.pipeline_factories.base as base
import mivelo.pipeline_factories.http as http
from fakes import FakePipeline, Log, NeverCalled, Watcher, fake_gst
from mivelo.pipeline_factories.http import HTTPPipelineFactory
from models import http as model

URL = "http://127.0.0.1:1/stream.mjpg"


class Harness:
    """A factory module with a fake Pipeline and Gst, and a base class that
    records its constructor and _set_up_decoder calls."""

    def __init__(self, monkeypatch):
        self.log = Log()
        self.pipelines = []
        self.fail = None
        monkeypatch.setattr(http, "Gst", fake_gst())
        monkeypatch.setattr(http, "Pipeline", self.make_pipeline)
        original_init = base.PipelineFactory.__init__

        def recording_init(factory, **kwargs):
            self.log.append(("base.__init__", kwargs))
            original_init(factory, **kwargs)

        def recording_decoder(factory, src, pad, pipeline):
            self.log.append(("_set_up_decoder", src, pad, pipeline))
            if self.fail == "_set_up_decoder":
                raise RuntimeError("_set_up_decoder")

        monkeypatch.setattr(base.PipelineFactory, "__init__", recording_init)
        monkeypatch.setattr(base.PipelineFactory, "_set_up_decoder", recording_decoder)

    def make_pipeline(self, url):
        if self.fail == "Pipeline":
            raise RuntimeError("Pipeline")
        pipeline = FakePipeline(self.log, url, fail=self.fail)
        self.pipelines.append(pipeline)
        return pipeline

    def factory(self, url=URL):
        self.watcher = Watcher()
        factory = HTTPPipelineFactory(url=url, pipeline_watcher=self.watcher,
                                      on_complete=NeverCalled())
        del self.log[:]
        return factory


@pytest.fixture
def harness(monkeypatch):
    return Harness(monkeypatch)


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
        assert cls.__doc__ == "Creates a pipeline for an HTTP URL."
        assert (cls.__module__, cls.__qualname__) == ("mivelo.pipeline_factories.http",
                                                      "HTTPPipelineFactory")
        assert list(vars(cls)) == ["__module__", "__doc__", "__init__", "build"]

    @pytest.mark.parametrize("name", ["__init__", "build"])
    def test_methods_are_the_models(self, name):
        method, model_method = vars(HTTPPipelineFactory)[name], vars(model.HTTPPipelineFactory)[name]
        for attribute in ("__name__", "__qualname__", "__doc__", "__annotations__",
                          "__defaults__", "__kwdefaults__"):
            assert getattr(method, attribute) == getattr(model_method, attribute), attribute
        assert inspect.signature(method) == inspect.signature(model_method)
        assert inspect.signature(HTTPPipelineFactory) == inspect.signature(model.HTTPPipelineFactory)


class TestConstructor:
    def test_hands_three_keywords_to_the_base_then_stores_the_watcher(self, harness, monkeypatch):
        monkeypatch.setattr(http, "_FRAMERATE_LIMIT", 7.5)
        on_complete = NeverCalled()
        factory = HTTPPipelineFactory(url=URL, pipeline_watcher="w", on_complete=on_complete)
        assert harness.log == [("base.__init__",
                                {"url": URL, "max_framerate": 7.5, "on_complete": on_complete})]
        assert factory._url == URL and factory._pipeline_watcher == "w"

    def test_none_url_reaches_the_base(self, harness):
        factory = HTTPPipelineFactory(url=None, pipeline_watcher=1, on_complete=2)
        assert harness.log[0][1]["url"] is None and factory._url is None

    @pytest.mark.parametrize("url, type_name", [
        (b"http://x", "bytes"), (1, "int"), (type("S", (str,), {})("http://x"), "S"),
    ])
    def test_url_must_be_exactly_str(self, harness, url, type_name):
        with pytest.raises(TypeError) as info:
            HTTPPipelineFactory(url=url, pipeline_watcher=1, on_complete=2)
        assert str(info.value) == \
            f"Argument 'url' has incorrect type (expected str, got {type_name})"
        assert harness.log == []

    def test_long_type_names_are_cut(self, harness):
        cls = type("T" * 300, (), {})
        with pytest.raises(TypeError) as info:
            HTTPPipelineFactory(url=cls(), pipeline_watcher=1, on_complete=2)
        assert str(info.value).endswith("got " + "T" * 200 + ")")

    def test_base_failure_leaves_no_watcher(self, harness, monkeypatch):
        def failing(factory, **kwargs):
            raise ValueError("base says no")
        monkeypatch.setattr(base.PipelineFactory, "__init__", failing)
        factory = HTTPPipelineFactory.__new__(HTTPPipelineFactory)
        with pytest.raises(ValueError, match="base says no"):
            factory.__init__(url=URL, pipeline_watcher=1, on_complete=2)
        assert not hasattr(factory, "_pipeline_watcher")

    def test_missing_framerate_global_is_a_name_error(self, harness, monkeypatch):
        monkeypatch.delattr(http, "_FRAMERATE_LIMIT")
        with pytest.raises(NameError, match="name '_FRAMERATE_LIMIT' is not defined"):
            HTTPPipelineFactory(url=URL, pipeline_watcher=1, on_complete=2)
        assert harness.log == []


class TestBuild:
    def test_steps_in_order(self, harness, monkeypatch):
        factory = harness.factory()
        pipeline = factory.build()
        sink, source = pipeline.elements["appsink"], pipeline.elements["buffer_src"]
        pad = source.pad
        assert harness.log == [
            ("Pipeline", URL),
            ("add_bus_watch", harness.watcher, pipeline),
            ("new_element", "appsink", http._APPSINK_PROPERTIES, None),
            ("appsink", sink),
            ("new_element", "souphttpsrc", {"location": URL}, "buffer_src"),
            ("get_static_pad", "buffer_src", "src"),
            ("_set_up_decoder", source, pad, pipeline),
            ("set_state", "PLAYING"),
        ]
        assert pipeline.appsink is sink

    def test_sink_properties_are_the_mapping_itself(self, harness, monkeypatch):
        seen = []
        props = {"sync": False}

        class Spy(FakePipeline):
            def new_element(self, factory_name, *, properties, name=None):
                seen.append(properties)
                return super().new_element(factory_name, properties=properties, name=name)

        monkeypatch.setattr(http, "_APPSINK_PROPERTIES", props)
        monkeypatch.setattr(http, "Pipeline", lambda url: Spy(harness.log, url))
        harness.factory().build()
        assert seen[0] is props and seen[1] == {"location": URL}

    def test_module_globals_are_read_at_each_build(self, harness, monkeypatch):
        factory = harness.factory()
        monkeypatch.setattr(http, "BUFFER_SRC_NAME", "renamed")
        monkeypatch.setattr(http, "Gst", types.SimpleNamespace(
            State=types.SimpleNamespace(PLAYING="LATER")))
        pipeline = factory.build()
        assert "renamed" in pipeline.elements
        assert harness.log[-1] == ("set_state", "LATER")

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
        assert harness.log.names().count("add_bus_watch") == 2

    def test_state_change_result_is_not_examined(self, harness, monkeypatch):
        monkeypatch.setattr(http, "Pipeline", lambda url: FakePipeline(
            harness.log, url, state_result="FAILURE"))
        assert isinstance(harness.factory().build(), FakePipeline)

    @pytest.mark.parametrize("step, last", [
        ("Pipeline", None),
        ("add_bus_watch", "add_bus_watch"),
        ("new_element:appsink", "new_element"),
        ("new_element:souphttpsrc", "new_element"),
        ("_set_up_decoder", "_set_up_decoder"),
        ("set_state", "set_state"),
    ])
    def test_a_failing_step_ends_the_build(self, harness, step, last):
        factory = harness.factory()
        harness.fail = step
        with pytest.raises(RuntimeError) as info:
            factory.build()
        assert str(info.value) == step.split(":")[-1]
        assert (harness.log.names()[-1] if harness.log else None) == last
        if step == "new_element:souphttpsrc":
            assert harness.pipelines[0].appsink is not None  # the sink came first

    def test_decoder_is_looked_up_before_the_pad(self, harness, monkeypatch):
        monkeypatch.delattr(base.PipelineFactory, "_set_up_decoder")
        factory = harness.factory()
        with pytest.raises(AttributeError, match="_set_up_decoder"):
            factory.build()
        assert "get_static_pad" not in harness.log.names()

    def test_missing_pipeline_global(self, harness, monkeypatch):
        monkeypatch.delattr(http, "Pipeline")
        with pytest.raises(NameError, match="name 'Pipeline' is not defined"):
            harness.factory().build()

    def test_build_takes_no_arguments(self, harness):
        with pytest.raises(TypeError, match=r"build\(\) takes 1 positional argument but 2"):
            harness.factory().build(1)
