"""CustomPipelineFactory against fake pipelines: surface, construction, URL rule, build steps."""
import collections
import collections.abc
import decimal
import inspect
import string
import sys
import types

import pytest
from hypothesis import given, settings, strategies as st

from mivelo.errors import InvalidCustomPipelineError
from mivelo.pipeline_factories import base, custom
from mivelo.pipeline_factories.base import PipelineFactory
from mivelo.pipeline_factories.custom import CustomPipelineFactory
from mivelo.utils.gstreamer import Pipeline
from models import custom as model

from gi.repository import Gst  # noqa: I100

NO_BUFFER_SOURCE = ("Pipeline has no element named 'buffer_src' to attach the buffer probe to. "
                    "Frames will not be skipped")
NO_SOURCE_PAD = ("Element named 'buffer_src' does not have a static pad named 'src' to attach a "
                 "buffer probe to")
LAUNCH = "fakesrc name=buffer_src ! identity name=\"{url}\" ! appsink name=main_sink"
URL = "http://cam.local/video.mjpg"
PROPERTIES = {"sync": False, "max-buffers": 2, "drop": True}

# Every character that RFC 3986 allows in a URI reference.
RFC3986 = string.ascii_letters + string.digits + "-._~" + ":/?#[]@" + "!$&'()*+,;=" + "%"
QUOTED = 'souphttpsrc location="{url}" name=buffer_src ! jpegdec ! appsink name=main_sink'
UNQUOTED = "souphttpsrc location={url} name=buffer_src ! jpegdec ! appsink name=main_sink"
REFUSED_ANYWHERE = ['"', "\\"] + [chr(i) for i in range(0x20)] + ["\x7f"]


def invalid_format(text):
    return (f"Invalid pipeline format: '{text}'. Pipelines must contain a '{{url}}' portion to be "
            "filled by the source URL.")


def refused(text):
    return (f"Refused URL {text!r}: it would change the structure of the pipeline; percent-encode "
            "white space, quotes, backslashes and control characters")


def make(pipeline_str=LAUNCH, *, url=URL, pipeline_watcher=None, on_complete=None, cls=None):
    return (cls or CustomPipelineFactory)(
        pipeline_str, url=url, pipeline_watcher=pipeline_watcher, on_complete=on_complete)


@pytest.fixture
def base_calls(monkeypatch):
    """Replaces the base constructor with one that records its calls and stores `_url`."""
    calls = []

    def fake_init(self, *args, **kwargs):
        calls.append((self, args, list(kwargs.items())))
        self._url = kwargs.get("url")

    monkeypatch.setattr(PipelineFactory, "__init__", fake_init)
    return calls


# ---------------------------------------------------------------------------
# Fakes for build(): every attribute read, attribute write and call is logged
# in order into World.log.

class Traced:
    """Logs ("get", label, name) for each read of a public or single-underscore
    attribute and ("set", label, name, value) for each write."""

    def __init__(self, world, label):
        object.__setattr__(self, "_world", world)
        object.__setattr__(self, "_label", label)

    def __getattribute__(self, name):
        if not name.startswith("__") and name not in ("_world", "_label", "_call"):
            object.__getattribute__(self, "_world").add(
                "get", object.__getattribute__(self, "_label"), name)
        return object.__getattribute__(self, name)

    def __setattr__(self, name, value):
        self._world.add("set", self._label, name, value)
        object.__setattr__(self, name, value)

    def _call(self, method, *args):
        return self._world.called(self._label, method, args)


class FakeElement(Traced):
    def __init__(self, world, label, pad="src-pad"):
        super().__init__(world, label)
        object.__setattr__(self, "pad", pad)

    def set_property(self, name, value):
        return self._call("set_property", name, value)

    def get_static_pad(self, name):
        self._call("get_static_pad", name)
        return object.__getattribute__(self, "pad")


class FakePipeline(Traced):
    def add_bus_watch(self, watcher, pipeline):
        return self._call("add_bus_watch", watcher, pipeline)

    def get_by_name(self, name):
        self._call("get_by_name", name)
        return self._world.elements.get(name)

    def set_state(self, state):
        return self._call("set_state", state)


class FakeLogger(Traced):
    def warning(self, message):
        return self._call("warning", message)


class TracedFactory(CustomPipelineFactory):
    """Logs the reads of the factory's own attributes during build()."""

    def __getattribute__(self, name):
        world = object.__getattribute__(self, "__dict__").get("world")
        if world is not None and name.startswith("_") and not name.startswith("__"):
            world.add("get", "factory", name)
        return object.__getattribute__(self, name)


class World:
    """The fake GStreamer side of one test."""

    def __init__(self):
        self.log = []
        self.recording = True
        self.sink = FakeElement(self, "main_sink")
        self.source = FakeElement(self, "buffer_src")
        self.elements = {"main_sink": self.sink, "buffer_src": self.source}
        self.failures = {}  # (label, method) -> exception to raise once called
        self.hooks = {}  # (label, method) -> function called with the arguments
        self.pipelines = []
        self.playing = object()
        self.logger = FakeLogger(self, "logger")
        world = self

        class PipelineMeta(type):
            def __getattribute__(cls, name):
                if name == "from_launch_string":
                    world.add("get", "Pipeline", name)
                return type.__getattribute__(cls, name)

        class FakePipelineClass(metaclass=PipelineMeta):
            @classmethod
            def from_launch_string(cls, pipeline_str, url):
                world.called("Pipeline", "from_launch_string", (pipeline_str, url))
                pipeline = FakePipeline(world, "pipeline")
                world.pipelines.append(pipeline)
                return pipeline

        self.Pipeline = FakePipelineClass

    def add(self, *event):
        if self.recording:
            self.log.append(event)

    def called(self, label, method, args):
        self.add("call", label, method, args)
        hook = self.hooks.get((label, method))
        if hook is not None:
            hook(*args)
        failure = self.failures.get((label, method))
        if failure is not None:
            raise failure

    def calls(self):
        return [event[1:] for event in self.log if event[0] == "call"]

    def factory(self, pipeline_str=LAUNCH, url=URL, watcher="watcher", **kwargs):
        factory = make(pipeline_str, url=url, pipeline_watcher=watcher, cls=TracedFactory,
                       **kwargs)
        factory._logger = self.logger
        factory.world = self
        return factory


@pytest.fixture
def world(monkeypatch):
    world = World()
    monkeypatch.setattr(custom, "Pipeline", world.Pipeline)
    monkeypatch.setattr(custom, "Gst", types.SimpleNamespace(
        State=types.SimpleNamespace(PLAYING=world.playing)))
    monkeypatch.setattr(custom, "_APPSINK_PROPERTIES", dict(PROPERTIES))
    return world


def expected_log(world, launch, url, watcher, pipeline, properties=PROPERTIES,
                 source="buffer_src"):
    """The full trace of one successful build()."""
    log = [
        ("get", "Pipeline", "from_launch_string"),
        ("get", "factory", "_pipeline_str"),
        ("get", "factory", "_url"),
        ("call", "Pipeline", "from_launch_string", (launch, url)),
        ("get", "pipeline", "add_bus_watch"),
        ("get", "factory", "_pipeline_watcher"),
        ("call", "pipeline", "add_bus_watch", (watcher, pipeline)),
        ("get", "pipeline", "get_by_name"),
        ("call", "pipeline", "get_by_name", ("main_sink",)),
    ]
    for name, value in properties.items():
        log += [("get", "main_sink", "set_property"),
                ("call", "main_sink", "set_property", (name, value))]
    log += [
        ("set", "pipeline", "appsink", world.sink),
        ("get", "pipeline", "get_by_name"),
        ("call", "pipeline", "get_by_name", (source,)),
    ]
    if source in world.elements:
        log += [("get", source, "get_static_pad"), ("call", source, "get_static_pad", ("src",))]
    else:
        log += [("get", "factory", "_logger"), ("get", "logger", "warning"),
                ("call", "logger", "warning", (NO_BUFFER_SOURCE,))]
    log += [("get", "pipeline", "set_state"), ("call", "pipeline", "set_state", (world.playing,))]
    return log


# ---------------------------------------------------------------------------

class TestSurface:
    def test_module_namespace_in_import_order_without_docstring(self):
        names = [name for name in vars(custom) if not name.startswith("__")]
        assert names == [
            "Gst", "InvalidCustomPipelineError", "Pipeline", "_APPSINK_PROPERTIES",
            "_FRAMERATE_LIMIT", "_ON_COMPLETE_CALLBACK", "_PIPELINE_WATCHER", "BUFFER_SRC_NAME",
            "PipelineFactory", "CustomPipelineFactory",
        ]
        assert custom.__doc__ is None
        assert custom.Gst is Gst
        assert custom.InvalidCustomPipelineError is InvalidCustomPipelineError
        assert custom.Pipeline is Pipeline
        for name in ("_APPSINK_PROPERTIES", "_FRAMERATE_LIMIT", "_ON_COMPLETE_CALLBACK",
                     "_PIPELINE_WATCHER", "BUFFER_SRC_NAME", "PipelineFactory"):
            assert getattr(custom, name) is getattr(base, name), name

    def test_class(self):
        cls = CustomPipelineFactory
        assert cls.__bases__ == (PipelineFactory,)
        assert type(cls) is type(PipelineFactory)
        assert cls.__doc__ == "Creates a pipeline from a pipeline string."
        assert cls.__module__ == "mivelo.pipeline_factories.custom"
        assert (cls.__name__, cls.__qualname__) == ("CustomPipelineFactory",) * 2
        assert list(vars(cls)) == ["__module__", "__doc__", "__init__", "build"]

    @pytest.mark.parametrize("name", ["__init__", "build"])
    def test_methods_are_the_models(self, name):
        method = vars(CustomPipelineFactory)[name]
        model_method = vars(model.CustomPipelineFactory)[name]
        for attribute in ("__name__", "__qualname__", "__doc__", "__annotations__",
                          "__defaults__", "__kwdefaults__"):
            assert getattr(method, attribute) == getattr(model_method, attribute), attribute
        assert inspect.signature(method) == inspect.signature(model_method)
        assert inspect.signature(CustomPipelineFactory) == \
            inspect.signature(model.CustomPipelineFactory)


KW = {"url": URL, "pipeline_watcher": None, "on_complete": None}


class TestArguments:
    @pytest.mark.parametrize("args, kwargs", [
        ((), {}),
        ((LAUNCH,), {}),
        ((LAUNCH,), {"url": URL}),
        ((LAUNCH,), {"url": URL, "pipeline_watcher": None}),
        ((LAUNCH,), {"pipeline_watcher": None, "on_complete": None}),
        ((), KW),
        ((LAUNCH, URL), {}),
        ((LAUNCH, URL), {"url": URL}),
        ((LAUNCH, URL), KW),
        ((LAUNCH, URL, None, None), {}),
        ((LAUNCH,), {**KW, "extra": 1}),
        ((LAUNCH,), {"extra": 1, **KW}),
        ((LAUNCH,), {**KW, "pipeline_str": LAUNCH}),
        ((LAUNCH,), {**KW, "self": None}),
        ((), {**KW, 1: 2}),
    ])
    def test_errors_match_a_python_def(self, base_calls, args, kwargs):
        with pytest.raises(TypeError) as expected:
            model.CustomPipelineFactory(*args, **kwargs)
        with pytest.raises(TypeError) as got:
            CustomPipelineFactory(*args, **kwargs)
        assert str(got.value) == str(expected.value)
        assert base_calls == []

    def test_unbound_call_errors_match_a_python_def(self, base_calls):
        for args in [(), (object(),)]:
            with pytest.raises(TypeError) as expected:
                model.CustomPipelineFactory.__init__(*args)
            with pytest.raises(TypeError) as got:
                CustomPipelineFactory.__init__(*args)
            assert str(got.value) == str(expected.value)
        assert base_calls == []

    def test_pipeline_str_by_keyword(self, base_calls):
        factory = CustomPipelineFactory(pipeline_str=LAUNCH, **KW)
        assert factory._pipeline_str == LAUNCH.format(url=URL)

    class S(str):
        pass

    @pytest.mark.parametrize("pipeline_str, url, message", [
        (S(LAUNCH), URL, "Argument 'pipeline_str' has incorrect type (expected str, got S)"),
        (LAUNCH, S(URL), "Argument 'url' has incorrect type (expected str, got S)"),
        (b"x {url}", b"u", "Argument 'pipeline_str' has incorrect type (expected str, got bytes)"),
        (LAUNCH, 42, "Argument 'url' has incorrect type (expected str, got int)"),
        (LAUNCH, ["u"], "Argument 'url' has incorrect type (expected str, got list)"),
    ])
    def test_only_exact_str_or_none_before_anything_runs(self, base_calls, pipeline_str, url,
                                                         message):
        with pytest.raises(TypeError) as info:
            make(pipeline_str, url=url)
        assert info.value.args == (message,)
        assert base_calls == []

    def test_long_type_names_are_cut(self, base_calls):
        long_type = type("T" * 300, (), {})
        with pytest.raises(TypeError, match=r"got T{200}\)$"):
            make(LAUNCH, url=long_type())

    @pytest.mark.parametrize("value", [
        decimal.Decimal(1), collections.deque(), type("x" + "\u00e9" * 150, (), {})(), S("x"),
        print,
    ], ids=["C type of a module", "C type of a package", "non-ASCII name cut in a character",
            "str subclass", "builtin"])
    def test_type_names_are_the_models(self, base_calls, value):
        for args, kwargs in (((value,), KW), ((LAUNCH,), {**KW, "url": value})):
            with pytest.raises(TypeError) as expected:
                model.CustomPipelineFactory(*args, **kwargs)
            with pytest.raises(TypeError) as got:
                CustomPipelineFactory(*args, **kwargs)
            assert str(got.value) == str(expected.value)


class TestConstruction:
    def test_base_constructor_first_with_three_keywords(self, base_calls, monkeypatch):
        monkeypatch.setattr(custom, "_FRAMERATE_LIMIT", 7.5)
        watcher, done = object(), object()
        factory = make(url=URL, pipeline_watcher=watcher, on_complete=done)
        assert base_calls == [(factory, (), [("url", URL), ("max_framerate", 7.5),
                                             ("on_complete", done)])]
        assert factory._pipeline_watcher is watcher
        assert factory._pipeline_str == LAUNCH.format(url=URL)

    def test_real_base_stores_its_attributes(self):
        factory = make(url=None, on_complete=print)
        assert factory._url is None
        assert factory._on_complete is print
        assert factory._max_framerate is None
        assert factory._pipeline_str == LAUNCH.format(url=None)

    def test_next_constructor_in_the_mro_is_called(self):
        seen = []

        class Mixin(PipelineFactory):
            def __init__(self, **kwargs):
                seen.append(list(kwargs))
                self._url = "mixin://stream"

        class Combined(CustomPipelineFactory, Mixin):
            pass

        assert Combined.__mro__[1:3] == (CustomPipelineFactory, Mixin)
        factory = make(cls=Combined)
        assert seen == [["url", "max_framerate", "on_complete"]]
        assert factory._pipeline_str == LAUNCH.format(url="mixin://stream")

    def test_attributes_are_written_in_order_watcher_last(self):
        written = []

        class Spy(CustomPipelineFactory):
            def __setattr__(self, name, value):
                written.append(name)
                super().__setattr__(name, value)

        make(cls=Spy)
        assert written[-2:] == ["_pipeline_str", "_pipeline_watcher"]
        assert "_url" in written[:-2]

    def test_base_error_propagates_and_nothing_is_set(self, monkeypatch):
        def failing(self, **kwargs):
            raise LookupError("base")

        monkeypatch.setattr(PipelineFactory, "__init__", failing)
        factory = CustomPipelineFactory.__new__(CustomPipelineFactory)
        with pytest.raises(LookupError, match="base"):
            factory.__init__(LAUNCH, **KW)
        assert vars(factory) == {}

    def test_deleted_framerate_limit_is_a_name_error(self, base_calls, monkeypatch):
        monkeypatch.delattr(custom, "_FRAMERATE_LIMIT")
        with pytest.raises(NameError, match="^name '_FRAMERATE_LIMIT' is not defined$"):
            make()
        assert base_calls == []

    def test_none_string_fails_after_the_base_ran(self, base_calls):
        factory = CustomPipelineFactory.__new__(CustomPipelineFactory)
        with pytest.raises(TypeError) as info:
            factory.__init__(None, **KW)
        assert info.value.args == ("'NoneType' object is not iterable",)
        assert len(base_calls) == 1
        assert vars(factory) == {"_url": URL}

    @pytest.mark.parametrize("text", [
        "", "fakesrc ! fakesink", "x {URL} y", "x { url } y", "x {url!r} y", "x {url:>40} y",
        "x {url!s}", "x {url.upper} y", "{url", "url}", "it's {0}",
    ])
    def test_string_without_url_field_is_quoted_as_given(self, base_calls, text):
        factory = CustomPipelineFactory.__new__(CustomPipelineFactory)
        with pytest.raises(InvalidCustomPipelineError) as info:
            factory.__init__(text, **KW)
        assert info.value.args == (invalid_format(text),)
        assert len(base_calls) == 1
        assert "_pipeline_str" not in vars(factory)

    def test_error_class_is_looked_up_when_raised(self, monkeypatch):
        class Replacement(Exception):
            pass

        monkeypatch.setattr(custom, "InvalidCustomPipelineError", Replacement)
        with pytest.raises(Replacement) as info:
            make("no field")
        assert info.value.args == (invalid_format("no field"),)
        with pytest.raises(Replacement) as info:
            make(QUOTED, url='a"b')
        assert info.value.args == (refused('a"b'),)

    @pytest.mark.parametrize("text, error, message", [
        ("{url} {other}", KeyError, "'other'"),
        ("{url} {}", IndexError, None),
        ("{url} {0}", IndexError, None),
        ("{url} }", ValueError, "Single '}' encountered in format string"),
        ("{url} {", ValueError, "Single '{' encountered in format string"),
        ("{url} {url!x}", ValueError, None),
    ])
    def test_format_errors_pass_through_after_the_base_ran(self, base_calls, text, error,
                                                           message):
        with pytest.raises(error) as expected:
            text.format(url=URL)
        factory = CustomPipelineFactory.__new__(CustomPipelineFactory)
        with pytest.raises(error) as got:
            factory.__init__(text, **KW)
        assert str(got.value) == str(expected.value)
        if message is not None:
            assert str(got.value) == message
        assert len(base_calls) == 1
        assert "_pipeline_str" not in vars(factory)

    @pytest.mark.parametrize("text, filled", [
        ("a {url} b {url}", f"a {URL} b {URL}"),
        ("{{url}}", "{url}"),
        ("x {{url}} {url}", "x {url} " + URL),
        ("caps={{x}} {url}", "caps={x} " + URL),
        ('location="{url}"', f'location="{URL}"'),
    ])
    def test_every_field_filled_and_doubled_braces_literal(self, text, filled):
        assert make(text)._pipeline_str == filled

    def test_format_fills_the_stored_url_not_the_argument(self, monkeypatch):
        class Located:
            def __format__(self, spec):
                return "located:" + spec

        def storing(self, **kwargs):
            self._url = Located()

        monkeypatch.setattr(PipelineFactory, "__init__", storing)
        assert make("x={url} y={url:z}", url="ignored")._pipeline_str == "x=located: y=located:z"

    def test_format_is_the_strings_own(self):
        assert make("{url}", url="u")._pipeline_str == "u"
        assert type(make("{url}")._pipeline_str) is str

    def test_on_complete_is_never_called(self, world):
        calls = []
        factory = world.factory(on_complete=lambda *a: calls.append(a))
        factory.build()
        factory.build()
        assert calls == []


class TestUrlRule:
    @pytest.mark.parametrize("char", REFUSED_ANYWHERE, ids=lambda c: f"U+{ord(c):04X}")
    @pytest.mark.parametrize("template", [QUOTED, UNQUOTED], ids=["quoted", "unquoted"])
    def test_quote_backslash_and_control_characters_are_refused(self, base_calls, template,
                                                                char):
        url = f"http://cam.local/a{char}b"
        factory = CustomPipelineFactory.__new__(CustomPipelineFactory)
        with pytest.raises(InvalidCustomPipelineError) as info:
            factory.__init__(template, **{**KW, "url": url})
        assert info.value.args == (refused(url),)
        assert len(base_calls) == 1
        assert vars(factory) == {"_url": url}

    @pytest.mark.parametrize("space", [" ", "\x85", "\xa0", "\u2028", "\u3000"],
                             ids=lambda c: f"U+{ord(c):04X}")
    def test_white_space_only_outside_quotes(self, space):
        url = f"/srv/my videos/cam{space}1.mjpg"
        assert make(QUOTED, url=url)._pipeline_str == QUOTED.format(url=url)
        with pytest.raises(InvalidCustomPipelineError) as info:
            make(UNQUOTED, url=url)
        assert info.value.args == (refused(url),)

    @pytest.mark.parametrize("char", ["\x80", "\x9f", "\xad", "\u200b", "\U0001f4f7", "'", "!"])
    def test_other_characters_pass_anywhere(self, char):
        url = f"/cam{char}1"
        assert make(UNQUOTED, url=url)._pipeline_str == UNQUOTED.format(url=url)
        assert make(QUOTED, url=url)._pipeline_str == QUOTED.format(url=url)

    def test_message_quotes_the_text_as_repr(self):
        url = "it's \"here\"\n\u00e9"
        with pytest.raises(InvalidCustomPipelineError) as info:
            make(QUOTED, url=url)
        assert str(info.value) == (
            "Refused URL 'it\\'s \"here\"\\n\u00e9': it would change the structure of the "
            "pipeline; percent-encode white space, quotes, backslashes and control characters")

    def test_checks_the_stored_url_text(self, monkeypatch):
        class Hostile:
            def __format__(self, spec):
                return 'x" num-buffers="1'

        def storing(self, **kwargs):
            self._url = Hostile() if kwargs["url"] == "hostile" else "clean"

        monkeypatch.setattr(PipelineFactory, "__init__", storing)
        with pytest.raises(InvalidCustomPipelineError) as info:
            make(QUOTED, url="hostile")
        assert info.value.args == (refused('x" num-buffers="1'),)
        assert make(QUOTED, url='a"b')._pipeline_str == QUOTED.format(url="clean")

    @pytest.mark.parametrize("module", [custom, model], ids=["module", "model"])
    def test_message_is_made_before_the_class_is_looked_up(self, monkeypatch, module):
        class Text(str):
            def __repr__(self):
                raise LookupError("repr")

        class Url:
            def __format__(self, spec):
                return Text('a"b')

        def storing(self, **kwargs):
            self._url = Url()

        monkeypatch.setattr(PipelineFactory, "__init__", storing)
        monkeypatch.delattr(module, "InvalidCustomPipelineError")
        with pytest.raises(LookupError, match="^repr$"):
            module.CustomPipelineFactory(QUOTED, url="u", pipeline_watcher=None, on_complete=None)

    def test_checked_before_format(self):
        with pytest.raises(InvalidCustomPipelineError):
            make("{url} {other}", url="a b")
        with pytest.raises(KeyError):
            make("{url} {other}", url="a")

    @pytest.mark.parametrize("template", [
        'location="{url}"',
        'location = "{url}"',
        'a="{url}" b="{url}"',
        'name="cam {url} 1"',
        'x="{{{url}}}"',
        '"{url}"',
        'x="a\\"{url}"',
        'x="{url!s}" y="{url:>40}" z="{url}"',
        'x="{url}" y={{"a b"}}',
        'x="a \'{url}\' b"',
    ])
    def test_fields_inside_double_quotes_take_white_space(self, template):
        url = "/srv/my videos/cam 1.mjpg"
        assert make(template, url=url)._pipeline_str == template.format(url=url)

    @pytest.mark.parametrize("template", [
        "location={url}",
        'a="{url}" b={url}',
        "x=\\{url}",
        'x="a\\{{" y={url}',
        'x=a"{url}"',
        'x="a""{url}"',
        'x="{url}',
        'x="a\\"{url}',
        'x="\\\\" y="{url}"',
        "x='{url}'",
        "x='a \"{url}\" b'",
        'x="{url!r}" y="{url}"',
        'x="{url!a}" y="{url}"',
        'x="{url}" y="{url!r:>9}"',
        "x={{{url}}}",
        'x={{"{url}"}}',
    ])
    def test_fields_that_may_stand_outside_double_quotes_refuse_white_space(self, template):
        with pytest.raises(InvalidCustomPipelineError) as info:
            make(template, url="a b")
        assert info.value.args == (refused("a b"),)
        assert make(template, url="a")._pipeline_str == template.format(url="a")

    @settings(max_examples=300, deadline=None)
    @given(st.text(alphabet=RFC3986, max_size=40))
    def test_no_rfc3986_url_is_refused(self, url):
        # A relative reference that starts with ' is the one exception, and
        # only where a field may stand outside double quotes.
        templates = (QUOTED, UNQUOTED, "uri={url} location=\"{url}\"")
        for template in templates if not url.startswith("'") else (QUOTED,):
            assert make(template, url=url)._pipeline_str == template.format(url=url)

    @settings(max_examples=300, deadline=None)
    @given(st.text(max_size=20))
    def test_refused_exactly_as_the_rule_says(self, url):
        breaks_out = any(c in '"\\' or ord(c) < 0x20 or c == "\x7f" for c in url)
        spaced = any(c.isspace() for c in url) or url.startswith("'")
        for template, refuse in ((QUOTED, breaks_out), (UNQUOTED, breaks_out or spaced)):
            if refuse:
                with pytest.raises(InvalidCustomPipelineError):
                    make(template, url=url)
            else:
                assert make(template, url=url)._pipeline_str == template.format(url=url)


def construction(cls, launch, url):
    """What constructing a factory of `cls` gives: the filled string, or the
    type and text of the error."""
    try:
        return cls(launch, url=url, pipeline_watcher=None, on_complete=None)._pipeline_str
    except Exception as error:  # noqa: BLE001  (compared, not handled)
        return type(error), str(error)


# Pieces of launch syntax and of format templates that the URL rule reads.
TEMPLATE_PIECES = ["{url}", "{url}", "{url!r}", "{url!s}", "{url:>3}", "{x.url}", "{{", "}}",
                   '"', '"', "'", "'", "\\", " ", "\t", "=", "location=", "a", "!", "name=x"]
URL_PIECES = ["'", '"', " ", "\t", "\xa0", "\\", "\x00", "{", "}", "=", "!", "a", "/", "%20"]


class TestUrlRuleModel:
    @settings(max_examples=500, deadline=None)
    @given(st.lists(st.sampled_from(TEMPLATE_PIECES), max_size=8).map("".join),
           st.lists(st.sampled_from(URL_PIECES), max_size=5).map("".join))
    def test_module_and_model_agree(self, template, url):
        template = template if "{url}" in template else template + "{url}"
        assert construction(CustomPipelineFactory, template, url) == \
            construction(model.CustomPipelineFactory, template, url)


class TestBuild:
    def test_steps_in_order(self, world):
        factory = world.factory()
        world.log.clear()
        pipeline = factory.build()
        assert world.pipelines == [pipeline]
        assert world.log == expected_log(world, LAUNCH.format(url=URL), URL, "watcher", pipeline)
        assert vars(pipeline)["appsink"] is world.sink

    def test_uses_the_stored_values_and_current_globals(self, world, monkeypatch):
        factory = world.factory()
        factory._pipeline_str = "stored launch"
        factory._url = "stored url"
        factory._pipeline_watcher = "stored watcher"
        monkeypatch.setattr(custom, "BUFFER_SRC_NAME", "my_source")
        monkeypatch.setattr(custom, "_APPSINK_PROPERTIES", {"emit-signals": True})
        world.elements["my_source"] = world.elements.pop("buffer_src")
        object.__setattr__(world.source, "_label", "my_source")
        world.log.clear()
        pipeline = factory.build()
        assert world.log == expected_log(world, "stored launch", "stored url", "stored watcher",
                                         pipeline, {"emit-signals": True}, source="my_source")

    def test_pipeline_class_is_looked_up_at_each_build(self, world, monkeypatch):
        factory = world.factory()
        monkeypatch.setattr(custom, "Pipeline", None)
        with pytest.raises(AttributeError, match="from_launch_string"):
            factory.build()
        monkeypatch.setattr(custom, "Pipeline", world.Pipeline)
        assert factory.build() is world.pipelines[-1]

    def test_real_appsink_properties_in_their_order(self, world, monkeypatch):
        monkeypatch.setattr(custom, "_APPSINK_PROPERTIES", base._APPSINK_PROPERTIES)
        world.factory().build()
        assert [args for label, method, args in world.calls() if method == "set_property"] == \
            list(base._APPSINK_PROPERTIES.items())

    def test_missing_sink_quotes_the_filled_string(self, world):
        url = "http://cam/x 'y'"
        factory = world.factory('fakesrc name=buffer_src location="{url}" ! fakesink', url=url)
        del world.elements["main_sink"]
        with pytest.raises(InvalidCustomPipelineError) as info:
            factory.build()
        assert info.value.args == (
            "No element with name 'main_sink' element found in custom pipeline "
            f"'fakesrc name=buffer_src location=\"{url}\" ! fakesink'",)
        assert world.calls()[-1] == ("pipeline", "get_by_name", ("main_sink",))
        assert world.log[-1] == ("get", "factory", "_pipeline_str")

    def test_missing_sink_message_formats_a_replaced_string(self, world, monkeypatch):
        class Replacement(Exception):
            pass

        class Launch:
            def __format__(self, spec):
                return f"launch[{spec}]"

        factory = world.factory()
        factory._pipeline_str = Launch()
        del world.elements["main_sink"]
        monkeypatch.setattr(custom, "InvalidCustomPipelineError", Replacement)
        with pytest.raises(Replacement) as info:
            factory.build()
        assert info.value.args == (
            "No element with name 'main_sink' element found in custom pipeline 'launch[]'",)

    def test_missing_buffer_source_warns_once_per_build_and_plays(self, world):
        del world.elements["buffer_src"]
        factory = world.factory()
        world.log.clear()
        first = factory.build()
        assert world.log == expected_log(world, LAUNCH.format(url=URL), URL, "watcher", first)
        second = factory.build()
        assert first is not second
        warnings = [args for label, method, args in world.calls() if method == "warning"]
        assert warnings == [(NO_BUFFER_SOURCE,), (NO_BUFFER_SOURCE,)]

    def test_missing_buffer_source_warns_through_the_real_logger(self, world, caplog):
        del world.elements["buffer_src"]
        factory = make(LAUNCH, pipeline_watcher="w")
        with caplog.at_level("WARNING", logger="mivelo"):
            factory.build()
        assert [(r.name, r.levelname, r.getMessage()) for r in caplog.records] == [
            ("mivelo", "WARNING", NO_BUFFER_SOURCE)]

    def test_source_without_static_pad_is_refused_before_playing(self, world, monkeypatch):
        monkeypatch.setattr(custom, "BUFFER_SRC_NAME", "elsewhere")
        world.elements["elsewhere"] = FakeElement(world, "elsewhere", pad=None)
        factory = world.factory()
        with pytest.raises(InvalidCustomPipelineError) as info:
            factory.build()
        assert info.value.args == (NO_SOURCE_PAD,)
        assert world.calls()[-1] == ("elsewhere", "get_static_pad", ("src",))
        assert vars(world.pipelines[0])["appsink"] is world.sink

    def test_appsink_properties_none(self, world, monkeypatch):
        monkeypatch.setattr(custom, "_APPSINK_PROPERTIES", None)
        with pytest.raises(AttributeError) as info:
            world.factory().build()
        assert str(info.value) == "'NoneType' object has no attribute 'items'"
        assert world.calls()[-1] == ("pipeline", "get_by_name", ("main_sink",))
        assert "appsink" not in vars(world.pipelines[0])

    @pytest.mark.parametrize("properties", [
        {}, types.MappingProxyType({"a": 1, "b": 2}),
        collections.OrderedDict([("b", 1), ("a", 2)]),
    ], ids=["empty", "proxy", "ordered"])
    def test_any_mapping_walked_in_order(self, world, monkeypatch, properties):
        monkeypatch.setattr(custom, "_APPSINK_PROPERTIES", properties)
        pipeline = world.factory().build()
        assert [args for label, method, args in world.calls() if method == "set_property"] == \
            list(properties.items())
        assert vars(pipeline)["appsink"] is world.sink

    @staticmethod
    def python_walk(mapping, set_property):
        """The loop the factory runs, written in Python."""
        for name, value in mapping.items():
            set_property(name, value)

    def differential(self, world, monkeypatch, make_mapping, hook=None):
        """Runs the property walk through the factory and through Python on equal
        mappings; returns both (set_property calls, exception type and text)."""
        outcomes = []
        for run in ("python", "factory"):
            mapping = make_mapping()
            calls = []

            def set_property(name, value, mapping=mapping, calls=calls):
                calls.append((name, value))
                if hook is not None:
                    hook(mapping, len(calls))

            error = None
            try:
                if run == "python":
                    self.python_walk(mapping, set_property)
                else:
                    monkeypatch.setattr(custom, "_APPSINK_PROPERTIES", mapping)
                    world.hooks[("main_sink", "set_property")] = set_property
                    world.factory().build()
            except Exception as exc:  # noqa: BLE001  (compared below)
                error = (type(exc), str(exc))
            outcomes.append((calls, error))
        return outcomes

    @pytest.mark.parametrize("change", ["add", "delete", "replace key", "set value", "clear"])
    def test_dict_changed_during_the_walk(self, world, monkeypatch, change):
        def hook(mapping, count):
            if count == 1:
                if change == "add":
                    mapping["new"] = 0
                elif change == "delete":
                    del mapping["b"]
                elif change == "replace key":
                    del mapping["b"]
                    mapping["z"] = 9
                elif change == "set value":
                    mapping["b"] = 20
                else:
                    mapping.clear()

        python, factory = self.differential(
            world, monkeypatch, lambda: {"a": 1, "b": 2, "c": 3}, hook)
        assert factory == python
        if change in ("add", "delete", "clear"):
            assert factory[1] == (RuntimeError, "dictionary changed size during iteration")
            assert "appsink" not in vars(world.pipelines[-1])

    class Items(collections.abc.Mapping):
        """A mapping whose items() returns whatever it was given."""

        def __init__(self, items):
            self._items = items

        def items(self):
            return self._items

        def __getitem__(self, key):
            raise KeyError(key)

        def __iter__(self):
            return iter(())

        def __len__(self):
            return 0

    @pytest.mark.parametrize("items", [
        [("a", 1, 2)], [("a",)], [()], [1], [None], ["ab"], ["abc"], [("a", 1), 5], 5,
        [{"k": 1, "v": 2}],
    ], ids=repr)
    def test_bad_items_fail_like_python(self, world, monkeypatch, items):
        python, factory = self.differential(world, monkeypatch, lambda: self.Items(items))
        assert factory == python

    @pytest.mark.parametrize("failing", [
        ("Pipeline", "from_launch_string"),
        ("pipeline", "add_bus_watch"),
        ("pipeline", "get_by_name"),
        ("main_sink", "set_property"),
        ("buffer_src", "get_static_pad"),
        ("pipeline", "set_state"),
        ("logger", "warning"),
    ], ids="/".join)
    def test_a_failing_step_propagates_and_stops_the_build(self, world, failing):
        if failing == ("logger", "warning"):
            del world.elements["buffer_src"]
        factory = world.factory()
        world.log.clear()
        error = LookupError("step failed")
        world.failures[failing] = error
        with pytest.raises(LookupError) as info:
            factory.build()
        assert info.value is error
        pipeline = world.pipelines[0] if world.pipelines else None
        expected = expected_log(world, LAUNCH.format(url=URL), URL, "watcher", pipeline)
        stop = next(i for i, e in enumerate(expected) if e[0] == "call" and e[1:3] == failing)
        assert world.log == expected[:stop + 1]

    def test_set_property_failure_keeps_earlier_properties_and_no_appsink(self, world):
        def hook(name, value):
            if name == "max-buffers":
                raise ValueError("bad property")

        world.hooks[("main_sink", "set_property")] = hook
        with pytest.raises(ValueError, match="bad property"):
            world.factory().build()
        assert [args for label, method, args in world.calls() if method == "set_property"] == \
            [("sync", False), ("max-buffers", 2)]
        assert "appsink" not in vars(world.pipelines[0])

    def test_set_state_result_is_not_examined(self, world):
        world.hooks[("pipeline", "set_state")] = lambda state: None
        factory = world.factory()
        pipeline = factory.build()
        assert pipeline is world.pipelines[0]

    def test_two_builds_make_two_pipelines(self, world):
        factory = world.factory()
        world.log.clear()
        first, second = factory.build(), factory.build()
        assert first is not second and world.pipelines == [first, second]
        launch = LAUNCH.format(url=URL)
        assert world.log == (expected_log(world, launch, URL, "watcher", first)
                             + expected_log(world, launch, URL, "watcher", second))

    @pytest.mark.parametrize("name", ["BUFFER_SRC_NAME", "Gst", "_APPSINK_PROPERTIES"])
    def test_deleted_global_is_a_name_error(self, world, monkeypatch, name):
        factory = world.factory()
        monkeypatch.delattr(custom, name)
        with pytest.raises(NameError, match=f"^name '{name}' is not defined$"):
            factory.build()

    def test_returns_exactly_what_from_launch_string_made(self, world):
        assert world.factory().build() is world.pipelines[0]


class TestReferences:
    """Each path keeps no extra reference to anything it touched."""

    @pytest.mark.parametrize("path", [
        "ok", "no source", "no sink", "no pad", "step fails", "properties none", "bad item",
        "resized", "refused url", "bad format", "none string", "wrong type",
    ])
    def test_paths_leave_reference_counts_unchanged(self, world, monkeypatch, path):
        watcher, url = object(), "http://cam/" + "x" * 10
        launch = "fakesrc name=buffer_src location=\"{url}\" ! appsink name=main_sink"
        value = object()
        properties = {"sync": value}
        monkeypatch.setattr(custom, "_APPSINK_PROPERTIES", properties)
        pad = object()
        object.__setattr__(world.source, "pad", pad)
        world.recording = False
        factory = world.factory(launch, url=url, watcher=watcher)

        def run():
            try:
                if path == "refused url":
                    make(launch, url=url + '"')
                elif path == "bad format":
                    make(launch + " {x}", url=url)
                elif path == "none string":
                    make(None, url=url)
                elif path == "wrong type":
                    make(launch, url=b"x")
                else:
                    factory.build()
            except Exception:  # noqa: BLE001  (every path is exercised, errors included)
                pass
            world.pipelines.clear()

        if path == "no source":
            factory._logger = FakeLogger(world, "logger")
            del world.elements["buffer_src"]
        elif path == "no sink":
            del world.elements["main_sink"]
        elif path == "no pad":
            object.__setattr__(world.source, "pad", None)
        elif path == "step fails":
            def fail(state):
                raise RuntimeError("x")  # a new one each time: a re-raised one grows its traceback

            world.hooks[("pipeline", "set_state")] = fail
        elif path == "properties none":
            monkeypatch.setattr(custom, "_APPSINK_PROPERTIES", None)
        elif path == "bad item":
            monkeypatch.setattr(custom, "_APPSINK_PROPERTIES", TestBuild.Items([("a", value, 1)]))
        elif path == "resized":
            world.hooks[("main_sink", "set_property")] = lambda *a: properties.update(x=1)

        tracked = [watcher, url, launch, value, pad, factory, world.sink, world.source,
                   InvalidCustomPipelineError, world.playing]
        run()
        properties.pop("x", None)
        before = [sys.getrefcount(obj) for obj in tracked]
        for _ in range(50):
            run()
            properties.pop("x", None)
        assert [sys.getrefcount(obj) for obj in tracked] == before
