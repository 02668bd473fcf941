"""CustomPipelineFactory against fake pipelines: surface, construction, URL rule, build steps.
The model (models/custom.py) holds the messages: every error here is compared
with the model's, and every path below is checked for leaks too."""
import collections
import collections.abc
import decimal
import string
import types

import pytest
from hypothesis import given, settings, strategies as st

import helpers
import leaks
from fakes import Boom, Stage, watcher
from helpers import DELETE
from mivelo.errors import InvalidCustomPipelineError
from mivelo.pipeline_factories import base, custom
from mivelo.pipeline_factories.base import PipelineFactory
from mivelo.pipeline_factories.custom import CustomPipelineFactory
from mivelo.utils import credentials
from mivelo.utils.gstreamer import Pipeline
from models import custom as model

from gi.repository import Gst  # noqa: I100

LAUNCH = "fakesrc name=buffer_src ! identity name=\"{url}\" ! appsink name=main_sink"
URL = "http://cam.local/video.mjpg"
PROPERTIES = {"sync": False, "max-buffers": 2, "drop": True}

# Every character that RFC 3986 allows in a URI reference.
RFC3986 = string.ascii_letters + string.digits + "-._~" + ":/?#[]@" + "!$&'()*+,;=" + "%"
QUOTED = 'souphttpsrc location="{url}" name=buffer_src ! jpegdec ! appsink name=main_sink'
UNQUOTED = "souphttpsrc location={url} name=buffer_src ! jpegdec ! appsink name=main_sink"
REFUSED_ANYWHERE = ['"', "\\"] + [chr(i) for i in range(0x20)] + ["\x7f"]


def make(pipeline_str=LAUNCH, *, url=URL, pipeline_watcher=None, on_complete=None, cls=None):
    return (cls or CustomPipelineFactory)(
        pipeline_str, url=url, pipeline_watcher=pipeline_watcher, on_complete=on_complete)


def models_error(*args, **kwargs):
    """The error that the model's constructor raises for these arguments:
    its type and args.  A base constructor replaced for the test sees the
    model's call too, and forgets it."""
    calls = list(getattr(PipelineFactory.__init__, "calls", []))
    with pytest.raises(Exception) as info:
        model.CustomPipelineFactory(*args, **kwargs)
    getattr(PipelineFactory.__init__, "calls", [])[:] = calls
    return type(info.value), info.value.args


def the_models(launch, url, **kwargs):
    """What the model's constructor raises for `launch` and `url` (the
    other arguments those of KW)."""
    return models_error(launch, **{**KW, "url": url, **kwargs})


def raised(info):
    return type(info.value), info.value.args


@pytest.fixture
def base_calls(monkeypatch):
    """Replaces the base constructor with one that records its calls and stores `_url`."""
    calls = []

    def fake_init(self, *args, **kwargs):
        calls.append((self, args, list(kwargs.items())))
        self._url = kwargs.get("url")

    fake_init.calls = calls
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

    @pytest.mark.parametrize("pipeline_str, url", [
        (S(LAUNCH), URL), (LAUNCH, S(URL)), (b"x {url}", b"u"), (LAUNCH, 42), (LAUNCH, ["u"]),
        (LAUNCH, type("T" * 300, (), {})()),
    ], ids=["str subclass", "url str subclass", "bytes", "int", "list", "long type name"])
    def test_only_exact_str_or_none_before_anything_runs(self, base_calls, pipeline_str, url):
        with pytest.raises(TypeError) as info:
            make(pipeline_str, url=url)
        assert raised(info) == the_models(pipeline_str, url)
        assert base_calls == []

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
        assert raised(info) == the_models(None, URL)
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
        assert raised(info) == the_models(text, URL)
        assert len(base_calls) == 1
        assert "_pipeline_str" not in vars(factory)

    def test_error_class_is_looked_up_when_raised(self, monkeypatch):
        class Replacement(Exception):
            pass

        monkeypatch.setattr(custom, "InvalidCustomPipelineError", Replacement)
        monkeypatch.setattr(model, "InvalidCustomPipelineError", Replacement)
        with pytest.raises(Replacement) as info:
            make("no field")
        assert raised(info) == the_models("no field", URL)
        with pytest.raises(Replacement) as info:
            make(QUOTED, url='a"b')
        assert raised(info) == the_models(QUOTED, 'a"b')

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
        assert raised(info) == the_models(template, url)
        assert len(base_calls) == 1
        assert vars(factory) == {"_url": url}

    def test_white_space_only_in_a_quoted_value(self):
        url = "/srv/my videos/cam 1.mjpg"
        assert make(QUOTED, url=url)._pipeline_str == QUOTED.format(url=url)
        with pytest.raises(InvalidCustomPipelineError) as info:
            make(UNQUOTED, url=url)
        assert raised(info) == the_models(UNQUOTED, url)

    @pytest.mark.parametrize("space", ["\x85", "\xa0", "\u2028", "\u3000"],
                             ids=lambda c: f"U+{ord(c):04X}")
    def test_white_space_beyond_ascii_is_text_to_the_launch_syntax(self, space):
        url = f"/srv/cam{space}1.mjpg"
        assert make(UNQUOTED, url=url)._pipeline_str == UNQUOTED.format(url=url)

    def test_lone_surrogate_is_refused_naming_the_url(self):
        url = "/cam\ud800.mjpg"
        with pytest.raises(InvalidCustomPipelineError) as info:
            make(QUOTED, url=url)
        assert raised(info) == the_models(QUOTED, url)
        assert repr(url) in str(info.value)

    @pytest.mark.parametrize("char", ["\x80", "\x9f", "\xad", "\u200b", "\U0001f4f7", "'", "!"])
    def test_other_characters_pass_anywhere(self, char):
        url = f"/cam{char}1"
        assert make(UNQUOTED, url=url)._pipeline_str == UNQUOTED.format(url=url)
        assert make(QUOTED, url=url)._pipeline_str == QUOTED.format(url=url)

    def test_message_quotes_the_text_as_repr(self):
        url = "it's \"here\"\n\u00e9"
        with pytest.raises(InvalidCustomPipelineError) as info:
            make(QUOTED, url=url)
        assert raised(info) == the_models(QUOTED, url)
        assert repr(url) in str(info.value)

    def test_checks_the_stored_url_text(self, monkeypatch):
        class Hostile:
            def __format__(self, spec):
                return 'x" num-buffers="1'

        def storing(self, **kwargs):
            self._url = Hostile() if kwargs["url"] == "hostile" else "clean"

        monkeypatch.setattr(PipelineFactory, "__init__", storing)
        with pytest.raises(InvalidCustomPipelineError) as info:
            make(QUOTED, url="hostile")
        assert raised(info) == the_models(QUOTED, "hostile")
        assert repr('x" num-buffers="1') in str(info.value)
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

    def test_failed_allocations_raise_and_never_crash(self):
        # Each allocation of a construction that formats fields fails in
        # turn (about 30 here), in a child that a crash would silence.
        testcapi = pytest.importorskip("_testcapi")

        def fail_each_allocation():
            for start in range(1, 100):
                testcapi.set_nomemory(start, start + 1)
                try:
                    make('x={url} y="{url!s:>4}"')
                except Exception:  # MemoryError, or an error made of it
                    pass
                finally:
                    testcapi.remove_mem_hooks()
            return "survived"

        assert helpers.in_child(fail_each_allocation)[:2] == ("returned", "'survived'")

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
        assert raised(info) == the_models(template, "a b")
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
        assert raised(info) == the_models(template, url)

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

    def test_missing_sink_quotes_the_filled_string(self, monkeypatch):
        url = "http://cam/x 'y'"

        def no_sink(module, stage):
            del stage.elements["main_sink"]
            factory_on(stage, 'fakesrc name=buffer_src location="{url}" ! fakesink', url=url,
                       module=module).build()

        stage, (kind, text) = same_as_model(monkeypatch, no_sink)
        assert kind is InvalidCustomPipelineError and f'location="{url}"' in text
        assert stage.calls()[-1] == ("pipeline", "get_by_name", ("main_sink",))
        assert stage.log[-1] == ("get", "factory", "_pipeline_str")

    def test_missing_sink_message_formats_a_replaced_string(self, monkeypatch):
        class Replacement(Exception):
            pass

        class Launch:
            def __format__(self, spec):
                return f"launch[{spec}]"

        launch = Launch()

        def replaced(module, stage):
            del stage.elements["main_sink"]
            factory = factory_on(stage, module=module)
            factory._pipeline_str = launch
            factory.build()

        _, (kind, text) = same_as_model(monkeypatch, replaced,
                                        InvalidCustomPipelineError=Replacement)
        assert kind is Replacement and "'launch[]'" in text

    def test_missing_buffer_source_warns_once_per_build_and_plays(self, monkeypatch):
        def twice(module, stage):
            del stage.elements["buffer_src"]
            factory = factory_on(stage, module=module)
            first, second = factory.build(), factory.build()
            assert first is not second and second.state == "PLAYING"
            return stage.logger.count, stage.logger.last

        _, (count, _) = same_as_model(monkeypatch, twice)
        assert count == 2

    def test_missing_buffer_source_warns_through_the_real_logger(self, monkeypatch, caplog):
        def real_logger(module, stage):
            del stage.elements["buffer_src"]
            factory = make(LAUNCH, pipeline_watcher="w", cls=module.CustomPipelineFactory)
            caplog.clear()
            with caplog.at_level("WARNING", logger="mivelo"):
                factory.build()
            return [(r.name, r.levelname, r.getMessage()) for r in caplog.records]

        _, records = same_as_model(monkeypatch, real_logger)
        assert [record[:2] for record in records] == [("mivelo", "WARNING")]

    def test_source_without_static_pad_is_refused_before_playing(self, monkeypatch):
        def no_pad(module, stage):
            stage.elements["elsewhere"] = stage.Element("fakesrc", "elsewhere", pad=False)
            factory_on(stage, module=module).build()

        stage, (kind, _) = same_as_model(monkeypatch, no_pad, BUFFER_SRC_NAME="elsewhere")
        assert kind is InvalidCustomPipelineError
        assert stage.calls()[-1] == ("elsewhere", "get_static_pad", ("src",))
        assert stage.pipeline._appsink is stage.sink

    def test_appsink_properties_none(self, monkeypatch):
        stage, (kind, _) = same_as_model(monkeypatch, build_on, _APPSINK_PROPERTIES=None)
        assert kind is AttributeError
        assert stage.calls()[-1] == ("pipeline", "get_by_name", ("main_sink",))
        assert stage.pipeline._appsink is None

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


# ---------------------------------------------------------------------------
# Every path, compared with the model and checked for leaks

PATHS = leaks.Cases(custom)
C_LAUNCH = 'souphttpsrc location="{url}" name=buffer_src ! jpegdec ! appsink name=main_sink'
C_URL = "http://127.0.0.1:9/stream.mjpg"
C_KW = {"url": C_URL, "pipeline_watcher": watcher, "on_complete": None}
INIT, BUILD = "CustomPipelineFactory.__init__", "CustomPipelineFactory.build"


def stage_globals(*fail, sink=True, source=True, pad=True, **names):
    """Globals for a build: a stage's Pipeline whose launch strings hold the
    elements asked for and that fails at the steps `fail`."""
    return {"Pipeline": Stage(*fail, sink=sink, source=source, pad=pad).Pipeline, **names}


def constructing(*args, **kwargs):
    return leaks.calling("CustomPipelineFactory", *args, **{**C_KW, **kwargs})


def building(logger_fails=False, **attrs):
    def make(target):
        factory = target.CustomPipelineFactory(C_LAUNCH, **C_KW)
        factory._logger = (Stage("warning") if logger_fails else Stage()).logger
        for name, value in attrs.items():
            if value is DELETE:
                delattr(factory, name)
            else:
                setattr(factory, name, value)
        # The elements of the stage bound as the target's Pipeline, if any.
        stage = getattr(getattr(target, "Pipeline", None), "stage", None)
        elements = [stage.sink, stage.source, stage.source.pad] if stage else []
        error_class = getattr(target, "InvalidCustomPipelineError", None)
        return factory.build, [factory, *elements, error_class]
    return make


class RaisingFormat:
    def __format__(self, spec):
        raise Boom("format")


def raising_items():
    yield ("sync", False)
    raise Boom("next")


# The constructor: arguments, the exact-str checks, the template, the URL rule.
PATHS.add("construct", INIT, constructing(C_LAUNCH))
PATHS.add("construct, keywords only", INIT, constructing(pipeline_str="a {url} {url} {{url}}"))
PATHS.add("construct, url None", INIT, constructing(C_LAUNCH, url=None))
for _id, _args, _kwargs in [
    ("launch None", (None,), {}), ("no url field", ("fakesrc ! appsink",), {}),
    ("another field", ("{url} {other}",), {}), ("positional field", ("{url} {}",), {}),
    ("lone brace", ("{url} {",), {}), ("url with a quote", (C_LAUNCH,), {"url": 'http://x/"a'}),
    ("url with a space outside quotes", ("souphttpsrc location={url}",), {"url": "http://x/ a"}),
    ("url with a lone surrogate", (C_LAUNCH,), {"url": "/cam\ud800"}),
    ("launch a str subclass", (type("Text", (str,), {})("{url}"),), {}),
    ("url bytes", (C_LAUNCH,), {"url": b"x"}),
    ("missing launch", (), {}),
    ("multiple values", (C_LAUNCH,), {"pipeline_str": C_LAUNCH}),
    ("too many", (C_LAUNCH, C_URL), {}), ("unexpected keyword", (C_LAUNCH,), {"other": 1}),
]:
    PATHS.add(f"construct, {_id}", INIT, constructing(*_args, **_kwargs))
PATHS.add("construct, missing keywords", INIT, leaks.calling("CustomPipelineFactory", C_LAUNCH))
PATHS.add("no url field, error class deleted", INIT, constructing("x"),
          {"InvalidCustomPipelineError": DELETE})
PATHS.add("refused url, error class rebound", INIT, constructing(C_LAUNCH, url='a"b'),
          {"InvalidCustomPipelineError": KeyError})
PATHS.add("frame-rate limit deleted", INIT, constructing(C_LAUNCH), {"_FRAMERATE_LIMIT": DELETE})
PATHS.add("base constructor raises", INIT, constructing(C_LAUNCH), {"_FRAMERATE_LIMIT": "fast"})
# build(), each step failing in turn, and what the launch string lacks.
PATHS.add("build", BUILD, building(), stage_globals())
PATHS.add("build without buffer source", BUILD, building(), stage_globals(source=False))
PATHS.add("build, properties not a dict", BUILD, building(),
          stage_globals(_APPSINK_PROPERTIES=types.MappingProxyType({"sync": False})))
PATHS.add("build, no properties", BUILD, building(), stage_globals(_APPSINK_PROPERTIES={}))
for _step in ["from_launch_string", "add_bus_watch", "get_by_name", "set_property", "appsink",
              "get_static_pad", "set_state"]:
    PATHS.add(f"{_step} raises", BUILD, building(), stage_globals(_step))
PATHS.add("no main_sink", BUILD, building(), stage_globals(sink=False))
PATHS.add("no main_sink, launch string replaced", BUILD, building(_pipeline_str=RaisingFormat()),
          stage_globals(sink=False))
PATHS.add("no main_sink, error class deleted", BUILD, building(),
          stage_globals(sink=False, InvalidCustomPipelineError=DELETE))
PATHS.add("no src pad", BUILD, building(), stage_globals(pad=False))
PATHS.add("warning raises", BUILD, building(logger_fails=True), stage_globals(source=False))
PATHS.add("_logger deleted", BUILD, building(_logger=DELETE), stage_globals(source=False))
PATHS.add("properties None", BUILD, building(), stage_globals(_APPSINK_PROPERTIES=None))
PATHS.add("properties item of three", BUILD, building(),
          stage_globals(_APPSINK_PROPERTIES=TestBuild.Items([(1, 2, 3)])))
PATHS.add("properties iteration raises", BUILD, building(),
          stage_globals(_APPSINK_PROPERTIES=types.SimpleNamespace(items=raising_items)))
PATHS.add("_pipeline_str deleted", BUILD, building(_pipeline_str=DELETE), stage_globals())
PATHS.add("Pipeline without from_launch_string", BUILD, building(), {"Pipeline": object})
for _name in ["Pipeline", "_APPSINK_PROPERTIES", "BUFFER_SRC_NAME", "Gst"]:
    PATHS.add(f"{_name} deleted", BUILD, building(), stage_globals(**{_name: DELETE}))

GROWING = {}
# Its sink's set_property adds to the properties being walked.
GROWING_STAGE = Stage()
GROWING_STAGE.hooks["set_property"] = lambda key, value: GROWING.setdefault(object(), value)


def growing_build(target):
    build, tracked = building()(target)

    def run():
        GROWING.clear()
        GROWING.update(sync=False, drop=True)
        build()
    return run, tracked


PATHS.add("properties grow while walked", BUILD, growing_build,
          {"Pipeline": GROWING_STAGE.Pipeline, "_APPSINK_PROPERTIES": GROWING})

test_every_path_is_the_models_and_leaks_nothing = PATHS.test()
