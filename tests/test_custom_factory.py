"""CustomPipelineFactory against fake pipelines: surface, construction, URL rule, build steps."""
import collections
import collections.abc
import decimal
import string
import sys
import types

import pytest
from hypothesis import given, settings, strategies as st

import helpers
from fakes import Stage
from mivelo.errors import InvalidCustomPipelineError
from mivelo.pipeline_factories import base, custom
from mivelo.pipeline_factories.base import PipelineFactory
from mivelo.pipeline_factories.custom import CustomPipelineFactory
from mivelo.utils import credentials
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
# build() runs against a stage of fakes (tests/fakes.py) that logs every
# call, and every lookup of a fake's methods and of the factory's attributes.


@pytest.fixture
def world(monkeypatch):
    """A tracing stage bound into the module, with PROPERTIES as the appsink's."""
    stage = Stage(log=[], trace=True)
    for name, value in stage.bindings.items():
        monkeypatch.setattr(custom, name, value)
    monkeypatch.setattr(custom, "_APPSINK_PROPERTIES", dict(PROPERTIES))
    return stage


def factory_on(stage, pipeline_str=LAUNCH, url=URL, watcher="watcher", module=custom, **kwargs):
    """A factory of `module` (the extension module or its model) whose
    attribute reads the stage logs, with the stage's logger."""
    factory = make(pipeline_str, url=url, pipeline_watcher=watcher,
                   cls=stage.traced(module.CustomPipelineFactory), **kwargs)
    factory._logger = stage.logger
    return factory


def same_as_model(monkeypatch, scenario, **names):
    """scenario(module, stage) on the module and on its model, each with
    PROPERTIES as the appsink's unless `names` binds others, compared (see
    helpers.same_as_model); returns the module's stage and result."""
    names = {"_APPSINK_PROPERTIES": dict(PROPERTIES), **names}
    return helpers.same_as_model(monkeypatch, custom,
                                 lambda module, stage, patch: scenario(module, stage), **names)


def build_on(module, stage, **kwargs):
    """Builds once with a new factory; what the pipeline holds."""
    factory = factory_on(stage, module=module, **kwargs)
    stage.log.clear()
    pipeline = factory.build()
    assert pipeline is stage.pipeline
    return pipeline.url, pipeline.launch, pipeline.watcher, pipeline.state, pipeline._appsink.label


# ---------------------------------------------------------------------------

class TestSurface:
    def test_module_namespace_in_import_order_without_docstring(self):
        names = [name for name in vars(custom) if not name.startswith("__")]
        assert names == [
            "Gst", "InvalidCustomPipelineError", "mask_text", "mask_url", "Pipeline",
            "_APPSINK_PROPERTIES",
            "_FRAMERATE_LIMIT", "_ON_COMPLETE_CALLBACK", "_PIPELINE_WATCHER", "BUFFER_SRC_NAME",
            "PipelineFactory", "CustomPipelineFactory",
        ]
        assert custom.__doc__ is None
        assert custom.Gst is Gst
        assert custom.InvalidCustomPipelineError is InvalidCustomPipelineError
        assert (custom.mask_text, custom.mask_url) == (credentials.mask_text,
                                                       credentials.mask_url)
        assert custom.Pipeline is Pipeline
        for name in ("_APPSINK_PROPERTIES", "_FRAMERATE_LIMIT", "_ON_COMPLETE_CALLBACK",
                     "_PIPELINE_WATCHER", "BUFFER_SRC_NAME", "PipelineFactory"):
            assert getattr(custom, name) is getattr(base, name), name

    def test_class(self):
        cls = CustomPipelineFactory
        assert cls.__bases__ == (PipelineFactory,)
        assert type(cls) is type(PipelineFactory)
        assert cls.__module__ == "mivelo.pipeline_factories.custom"
        assert (cls.__name__, cls.__qualname__) == ("CustomPipelineFactory",) * 2
        assert list(vars(cls)) == ["__module__", "__doc__", "__init__", "build"]


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
        factory = factory_on(world, on_complete=lambda *a: calls.append(a))
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

    def test_white_space_only_in_a_quoted_value(self):
        url = "/srv/my videos/cam 1.mjpg"
        assert make(QUOTED, url=url)._pipeline_str == QUOTED.format(url=url)
        with pytest.raises(InvalidCustomPipelineError) as info:
            make(UNQUOTED, url=url)
        assert info.value.args == (refused(url),)

    @pytest.mark.parametrize("space", ["\x85", "\xa0", "\u2028", "\u3000"],
                             ids=lambda c: f"U+{ord(c):04X}")
    def test_white_space_beyond_ascii_is_text_to_the_launch_syntax(self, space):
        url = f"/srv/cam{space}1.mjpg"
        assert make(UNQUOTED, url=url)._pipeline_str == UNQUOTED.format(url=url)

    def test_lone_surrogate_is_refused_naming_the_url(self):
        url = "/cam\ud800.mjpg"
        with pytest.raises(InvalidCustomPipelineError) as info:
            make(QUOTED, url=url)
        assert info.value.args == (
            "Refused URL '/cam\\ud800.mjpg': it holds a lone surrogate, which no launch string "
            "can carry",)

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
        'x="a\\"{url}"',
        'x="{url!s}" y="{url:>40}" z="{url}"',
        'x="{url}" y={{"a b"}}',
        'x="a \'{url}\' b"',
        # A single-quoted value is one token too (its quotes stay in it).
        "x='{url}'",
        "x='a \"{url}\" b'",
        # Conversions that quote the text.
        'x="{url!r}" y="{url}"',
        'x="{url!a}" y="{url}"',
        'x="{url}" y="{url!r:>9}"',
    ])
    def test_fields_in_a_quoted_value_take_white_space(self, template):
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
        "x={{{url}}}",
        'x={{"{url}"}}',
        # A quote opens a quoted value only right after a property's "=", and
        # a quoted value ends the token: text right after it makes the whole
        # a plain value, which white space in the URL splits.
        '"{url}"',
        'x="{url}"y',
        'x=a="{url}"',
        'x=="{url}"',
        "x=http://relay/?src=\"{url}\"",
    ])
    def test_fields_where_white_space_ends_the_value_refuse_it(self, template):
        with pytest.raises(InvalidCustomPipelineError) as info:
            make(template, url="a b")
        assert info.value.args == (refused("a b"),)
        assert make(template, url="a")._pipeline_str == template.format(url="a")

    @pytest.mark.parametrize("template, url", [
        # The URL's quote closes the template's.
        ("location='/media/my videos/{url}' name=buffer_src", "x'location=/etc/passwd"),
        # An empty value takes the next token as its value.
        ("location={url} name=buffer_src", ""),
        # "!" ends the caps of a link.
        ("videotestsrc ! video/x-raw,format={url} ! appsink name=main_sink",
         "BGR!identity!video/x-raw,format=BGR"),
        # A URL where an element stands may make a reference or a property.
        ("{url} ! decodebin", "src.x"),
        ("{url} ! decodebin", "location=/etc/passwd"),
    ])
    def test_urls_that_end_a_token_early_or_change_its_kind_are_refused(self, template, url):
        with pytest.raises(InvalidCustomPipelineError) as info:
            make(template, url=url)
        assert info.value.args == (refused(url),)

    @pytest.mark.parametrize("template, url", [
        ("videotestsrc ! video/x-raw,format={url} ! appsink name=main_sink", "BGR"),
        ("{url} ! decodebin", "rtsp://cam.local/stream"),
        ("{url} ! decodebin", "/dev/video0"),
        ("location='/media/my videos/{url}'", "cam 1.mjpg"),
    ])
    def test_urls_that_stay_inside_their_token_are_filled_in(self, template, url):
        assert make(template, url=url)._pipeline_str == template.format(url=url)

    @settings(max_examples=300, deadline=None)
    @given(st.text(alphabet=RFC3986, max_size=40))
    def test_no_rfc3986_url_is_refused(self, url):
        # Where the value is unquoted, the empty URL would take the next token
        # as the value, and a URL that starts with ' opens a quoted value
        # that a later field's ' closes.
        templates = [QUOTED]
        if url:
            templates.append(UNQUOTED)
        if url and not url.startswith("'"):
            templates.append("uri={url} location=\"{url}\"")
        for template in templates:
            assert make(template, url=url)._pipeline_str == template.format(url=url)


def construction(cls, launch, url):
    """What constructing a factory of `cls` gives: the filled string, or the
    type and text of the error."""
    try:
        return cls(launch, url=url, pipeline_watcher=None, on_complete=None)._pipeline_str
    except Exception as error:  # noqa: BLE001  (compared, not handled)
        return type(error), str(error)


# Pieces of launch syntax and of format templates that the URL rule reads.
TEMPLATE_PIECES = ["{url}", "{url}", "{url!r}", "{url!s}", "{url:>3}", "{x.url}", "{url.x}", "{{",
                   "}}", '"', '"', "'", "'", "\\", " ", "\t", "=", "location=", "a", "!", "name=x",
                   "(", ")", ".", ",", ";", ":", "@preset=", "video/x-raw,format=", "x://", "/",
                   "t.", "é"]
URL_PIECES = ["'", '"', " ", "\t", "\xa0", "\\", "\x00", "{", "}", "=", "!", "a", "/", "%20", ".",
              ",", ";", ":", "(", ")", "x://", "@", "\ud800"]


class TestUrlRuleModel:
    @settings(max_examples=500, deadline=None)
    @given(st.lists(st.sampled_from(TEMPLATE_PIECES), max_size=8).map("".join),
           st.lists(st.sampled_from(URL_PIECES), max_size=5).map("".join))
    def test_module_and_model_agree(self, template, url):
        template = template if "{url}" in template else template + "{url}"
        assert construction(CustomPipelineFactory, template, url) == \
            construction(model.CustomPipelineFactory, template, url)


class TestMasking:
    @pytest.mark.parametrize("launch, url, shown", [
        ("no field", URL, "Invalid pipeline format: '<text no field>'"),
        (QUOTED, 'u:p"w', "Refused URL '<url u:p\"w>'"),
        (LAUNCH, URL, f"custom pipeline '<text {LAUNCH.format(url=URL)}>'"),
    ])
    def test_errors_show_what_the_current_masks_make(self, monkeypatch, launch, url, shown):
        def scenario(module, stage):
            del stage.elements["main_sink"]
            factory_on(stage, launch, url=url, module=module).build()

        _, (kind, text) = same_as_model(monkeypatch, scenario, mask_text="<text {}>".format,
                                        mask_url="<url {}>".format)
        assert kind is InvalidCustomPipelineError and shown in text


class TestBuild:
    def test_steps_in_order(self, monkeypatch):
        stage, result = same_as_model(monkeypatch, build_on)
        assert result == (URL, LAUNCH.format(url=URL), "watcher", "PLAYING", "main_sink")
        assert stage.calls()[0][:2] == ("Pipeline", "from_launch_string")
        assert stage.calls()[-1][:2] == ("pipeline", "set_state")

    def test_uses_the_stored_values_and_current_globals(self, monkeypatch):
        def stored(module, stage):
            factory = factory_on(stage, module=module)
            factory._pipeline_str = "stored launch"
            factory._url = "stored url"
            factory._pipeline_watcher = "stored watcher"
            stage.elements["my_source"] = stage.elements.pop("buffer_src")
            stage.log.clear()
            pipeline = factory.build()
            return pipeline.url, pipeline.launch, pipeline.watcher, stage.sink.properties

        _, result = same_as_model(monkeypatch, stored, BUFFER_SRC_NAME="my_source",
                                  _APPSINK_PROPERTIES={"emit-signals": True})
        assert result == ("stored url", "stored launch", "stored watcher", {"emit-signals": True})

    def test_pipeline_class_is_looked_up_at_each_build(self, world, monkeypatch):
        factory = factory_on(world)
        monkeypatch.setattr(custom, "Pipeline", None)
        with pytest.raises(AttributeError, match="from_launch_string"):
            factory.build()
        monkeypatch.setattr(custom, "Pipeline", world.Pipeline)
        assert factory.build() is world.pipeline

    def test_real_appsink_properties_in_their_order(self, world, monkeypatch):
        monkeypatch.setattr(custom, "_APPSINK_PROPERTIES", base._APPSINK_PROPERTIES)
        factory_on(world).build()
        assert [args for label, method, args in world.calls() if method == "set_property"] == \
            list(base._APPSINK_PROPERTIES.items())

    def test_missing_sink_quotes_the_filled_string(self, world):
        url = "http://cam/x 'y'"
        factory = factory_on(world, 'fakesrc name=buffer_src location="{url}" ! fakesink', url=url)
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

        factory = factory_on(world)
        factory._pipeline_str = Launch()
        del world.elements["main_sink"]
        monkeypatch.setattr(custom, "InvalidCustomPipelineError", Replacement)
        with pytest.raises(Replacement) as info:
            factory.build()
        assert info.value.args == (
            "No element with name 'main_sink' element found in custom pipeline 'launch[]'",)

    def test_missing_buffer_source_warns_once_per_build_and_plays(self, monkeypatch):
        def twice(module, stage):
            del stage.elements["buffer_src"]
            factory = factory_on(stage, module=module)
            first, second = factory.build(), factory.build()
            assert first is not second and second.state == "PLAYING"
            return stage.logger.count, stage.logger.last

        _, result = same_as_model(monkeypatch, twice)
        assert result == (2, NO_BUFFER_SOURCE)

    def test_missing_buffer_source_warns_through_the_real_logger(self, world, caplog):
        del world.elements["buffer_src"]
        factory = make(LAUNCH, pipeline_watcher="w")
        with caplog.at_level("WARNING", logger="mivelo"):
            factory.build()
        assert [(r.name, r.levelname, r.getMessage()) for r in caplog.records] == [
            ("mivelo", "WARNING", NO_BUFFER_SOURCE)]

    def test_source_without_static_pad_is_refused_before_playing(self, world, monkeypatch):
        monkeypatch.setattr(custom, "BUFFER_SRC_NAME", "elsewhere")
        world.elements["elsewhere"] = world.Element("fakesrc", "elsewhere", pad=False)
        factory = factory_on(world)
        with pytest.raises(InvalidCustomPipelineError) as info:
            factory.build()
        assert info.value.args == (NO_SOURCE_PAD,)
        assert world.calls()[-1] == ("elsewhere", "get_static_pad", ("src",))
        assert world.pipeline._appsink is world.sink

    def test_appsink_properties_none(self, world, monkeypatch):
        monkeypatch.setattr(custom, "_APPSINK_PROPERTIES", None)
        with pytest.raises(AttributeError) as info:
            factory_on(world).build()
        assert str(info.value) == "'NoneType' object has no attribute 'items'"
        assert world.calls()[-1] == ("pipeline", "get_by_name", ("main_sink",))
        assert world.pipeline._appsink is None

    @pytest.mark.parametrize("properties", [
        {}, types.MappingProxyType({"a": 1, "b": 2}),
        collections.OrderedDict([("b", 1), ("a", 2)]),
    ], ids=["empty", "proxy", "ordered"])
    def test_any_mapping_walked_in_order(self, world, monkeypatch, properties):
        monkeypatch.setattr(custom, "_APPSINK_PROPERTIES", properties)
        pipeline = factory_on(world).build()
        assert [args for label, method, args in world.calls() if method == "set_property"] == \
            list(properties.items())
        assert pipeline._appsink is world.sink

    def differential(self, monkeypatch, make_mapping, hook=None):
        """Runs the property walk through the module and through its model on
        equal mappings, each `hook(mapping, calls so far)` after every
        set_property; returns the module's stage and set_property calls."""
        def walk(module, stage):
            mapping = make_mapping()
            calls = []

            def set_property(name, value):
                calls.append((name, value))
                if hook is not None:
                    hook(mapping, len(calls))

            stage.hooks["set_property"] = set_property
            with helpers.bound(module, _APPSINK_PROPERTIES=mapping):
                try:
                    factory_on(stage, module=module).build()
                finally:
                    stage.note("walked", calls)
            return calls

        return same_as_model(monkeypatch, walk)

    @pytest.mark.parametrize("change", ["add", "delete", "replace key", "set value", "clear"])
    def test_dict_changed_during_the_walk(self, monkeypatch, change):
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

        stage, result = self.differential(monkeypatch, lambda: {"a": 1, "b": 2, "c": 3}, hook)
        if change in ("add", "delete", "clear"):
            assert result == (RuntimeError, "dictionary changed size during iteration")
            assert stage.pipeline._appsink is None

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
    def test_bad_items_fail_like_python(self, monkeypatch, items):
        self.differential(monkeypatch, lambda: self.Items(items))

    @pytest.mark.parametrize("step", ["from_launch_string", "add_bus_watch", "get_by_name",
                                      "set_property", "appsink", "get_static_pad", "set_state",
                                      "warning"])
    def test_a_failing_step_propagates_and_stops_the_build(self, monkeypatch, step):
        def failing(module, stage):
            if step == "warning":
                del stage.elements["buffer_src"]
            stage.fail[step] = None
            try:
                return build_on(module, stage)
            finally:
                assert stage.calls()[-1][1] == step  # and nothing after it

        same_as_model(monkeypatch, failing)
        stage = Stage(log=[])
        monkeypatch.setattr(custom, "Pipeline", stage.Pipeline)
        if step == "warning":
            del stage.elements["buffer_src"]
        stage.fail[step] = error = LookupError(step)
        with pytest.raises(LookupError) as info:
            factory_on(stage).build()
        assert info.value is error

    def test_set_property_failure_keeps_earlier_properties_and_no_appsink(self, world):
        def hook(name, value):
            if name == "max-buffers":
                raise ValueError("bad property")

        world.hooks["set_property"] = hook
        with pytest.raises(ValueError, match="bad property"):
            factory_on(world).build()
        assert [args for label, method, args in world.calls() if method == "set_property"] == \
            [("sync", False), ("max-buffers", 2)]
        assert world.pipeline._appsink is None

    def test_set_state_result_is_not_examined(self, world):
        world.state_result = None
        assert factory_on(world).build() is world.pipeline

    def test_two_builds_make_two_pipelines(self, monkeypatch):
        def twice(module, stage):
            factory = factory_on(stage, module=module)
            stage.log.clear()
            first = factory.build()
            second = factory.build()
            assert first is not second and stage.pipeline is second
            return len(stage.calls())

        same_as_model(monkeypatch, twice)

    @pytest.mark.parametrize("name", ["BUFFER_SRC_NAME", "Gst", "_APPSINK_PROPERTIES"])
    def test_deleted_global_is_a_name_error(self, world, monkeypatch, name):
        factory = factory_on(world)
        monkeypatch.delattr(custom, name)
        with pytest.raises(NameError, match=f"^name '{name}' is not defined$"):
            factory.build()

    def test_returns_exactly_what_from_launch_string_made(self, world):
        assert factory_on(world).build() is world.pipeline


class TestReferences:
    """Each path keeps no extra reference to anything it touched."""

    @pytest.mark.parametrize("path", [
        "ok", "no source", "no sink", "no pad", "step fails", "properties none", "bad item",
        "resized", "refused url", "bad format", "none string", "wrong type",
    ])
    def test_paths_leave_reference_counts_unchanged(self, monkeypatch, path):
        watcher, url = object(), "http://cam/" + "x" * 10
        launch = "fakesrc name=buffer_src location=\"{url}\" ! appsink name=main_sink"
        value = object()
        properties = {"sync": value}
        stage = Stage()  # keeps no history
        stage.Gst.State.PLAYING = playing = object()
        for name, bound_value in {**stage.bindings, "_APPSINK_PROPERTIES": properties}.items():
            monkeypatch.setattr(custom, name, bound_value)
        pad = object()
        stage.source.pad = pad
        factory = factory_on(stage, launch, url=url, watcher=watcher)

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

        if path == "no source":
            del stage.elements["buffer_src"]
        elif path == "no sink":
            del stage.elements["main_sink"]
        elif path == "no pad":
            stage.source.pad = None
        elif path == "step fails":
            def fail(state):
                raise RuntimeError("x")  # a new one each time: a re-raised one grows its traceback

            stage.hooks["set_state"] = fail
        elif path == "properties none":
            monkeypatch.setattr(custom, "_APPSINK_PROPERTIES", None)
        elif path == "bad item":
            monkeypatch.setattr(custom, "_APPSINK_PROPERTIES", TestBuild.Items([("a", value, 1)]))
        elif path == "resized":
            stage.hooks["set_property"] = lambda *a: properties.update(x=1)

        tracked = [watcher, url, launch, value, pad, factory, stage.sink, stage.source,
                   InvalidCustomPipelineError, playing]
        run()
        properties.pop("x", None)
        before = [sys.getrefcount(obj) for obj in tracked]
        for _ in range(50):
            run()
            properties.pop("x", None)
        assert [sys.getrefcount(obj) for obj in tracked] == before
