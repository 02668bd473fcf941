"""CustomPipelineFactory with real GStreamer: frames, refusals, the local MJPEG stream, and
what the URL rule protects against in GStreamer's own launch-string parser."""
import collections
import re
import string
import time

import pytest
from hypothesis import given, settings, strategies as st

from helpers import mivelo_threads, needs_gst, wait_until
from mivelo.errors import InvalidCustomPipelineError
from mivelo.pipeline_factories import custom
from mivelo.pipeline_factories.custom import CustomPipelineFactory
from mivelo.utils._gst.launch import _GUARD, parse_launch
from mivelo.utils.gstreamer import Pipeline
from models import custom as model, launch_syntax

from gi.repository import GLib, GObject, Gst  # noqa: I100

pytestmark = needs_gst

TIMEOUT = 5.0
NO_SOURCE_PAD = ("Element named 'buffer_src' does not have a static pad named 'src' to attach a "
                 "buffer probe to")
RFC3986 = string.ascii_letters + string.digits + "-._~" + ":/?#[]@" + "!$&'()*+,;=" + "%"


@pytest.fixture(autouse=True)
def no_threads_left():
    yield
    assert wait_until(lambda: not mivelo_threads(), TIMEOUT), mivelo_threads()


class RecordingPipeline(Pipeline):
    """Keeps every pipeline that the factory makes, so tests can inspect and close
    the ones that build() dropped."""

    made = []

    @classmethod
    def from_launch_string(cls, pipeline_str, url):
        pipeline = super().from_launch_string(pipeline_str, url)
        cls.made.append(pipeline)
        return pipeline


@pytest.fixture
def made(monkeypatch):
    monkeypatch.setattr(RecordingPipeline, "made", [])
    monkeypatch.setattr(custom, "Pipeline", RecordingPipeline)
    yield RecordingPipeline.made
    for pipeline in RecordingPipeline.made:
        pipeline.close()


def build(launch, url, watcher):
    factory = CustomPipelineFactory(launch, url=url, pipeline_watcher=watcher, on_complete=None)
    return factory.build()


def pull_all(pipeline, limit):
    """Samples until the stream ends (None) or `limit` samples, each wait bounded."""
    samples, deadline = [], time.monotonic() + TIMEOUT * 2
    while len(samples) < limit and time.monotonic() < deadline:
        sample = pipeline.pull_sample(TIMEOUT)
        if sample is None:
            break
        samples.append(sample)
    return samples


def size_of(sample):
    structure = sample.get_caps().get_structure(0)
    return structure.get_value("width"), structure.get_value("height")


class TestFrames:
    LAUNCH = ("videotestsrc name=buffer_src num-buffers=30 ! video/x-raw,width=64,height=48 ! "
              "identity name=\"{url}\" ! videoconvert ! appsink name=main_sink")

    def test_frames_reach_the_appsink(self, bus_recorder):
        url = "rtsp://cam.local:554/live stream/1?profile=main&x=a;b"
        with build(self.LAUNCH, url, bus_recorder) as pipeline:
            assert pipeline.url == url
            identity = pipeline.get_by_name(url)
            assert identity.get_factory().get_name() == "identity"
            sink = pipeline.appsink
            assert sink is not None and sink == pipeline.get_by_name("main_sink")
            assert (sink.get_property("sync"), sink.get_property("max-buffers"),
                    sink.get_property("drop")) == (False, 2, True)
            samples = pull_all(pipeline, 31)
            assert 1 <= len(samples) <= 30
            assert {size_of(sample) for sample in samples} == {(64, 48)}
            assert bus_recorder.wait_for(Gst.MessageType.EOS, TIMEOUT) is not None
            assert not bus_recorder.messages(Gst.MessageType.ERROR)
            assert all(call[2] is pipeline for call in bus_recorder.calls)

    def test_without_buffer_source_warns_and_still_plays(self, bus_recorder, caplog):
        launch = self.LAUNCH.replace("name=buffer_src", "name=camera")
        with caplog.at_level("WARNING", logger="mivelo"):
            pipeline = build(launch, "cam", bus_recorder)
        with pipeline:
            assert [r.getMessage() for r in caplog.records] == [
                "Pipeline has no element named 'buffer_src' to attach the buffer probe to. "
                "Frames will not be skipped"]
            assert pull_all(pipeline, 1)

    def test_two_builds_run_side_by_side(self, bus_recorder):
        factory = CustomPipelineFactory(self.LAUNCH, url="cam", pipeline_watcher=bus_recorder,
                                        on_complete=None)
        with factory.build() as first, factory.build() as second:
            assert first.gst_pipeline is not second.gst_pipeline
            assert first.appsink is not second.appsink
            assert pull_all(first, 1) and pull_all(second, 1)


class TestRefused:
    @pytest.mark.parametrize("launch", [
        "videotestsrc num-buffers=1 ! identity name=\"{url}\" ! decodebin name=buffer_src ! "
        "videoconvert ! appsink name=main_sink",
        "videotestsrc num-buffers=1 ! identity name=\"{url}\" ! appsink name=main_sink "
        "fakesrc num-buffers=1 ! fakesink name=buffer_src",
        "videotestsrc num-buffers=1 ! identity name=\"{url}\" ! appsink name=main_sink "
        "( name=buffer_src fakesrc num-buffers=1 ! fakesink )",
    ], ids=["decodebin", "sink", "bin"])
    def test_buffer_source_without_static_src_pad(self, made, bus_recorder, launch):
        with pytest.raises(InvalidCustomPipelineError) as info:
            build(launch, "cam", bus_recorder)
        assert info.value.args == (NO_SOURCE_PAD,)
        [pipeline] = made
        assert pipeline.appsink == pipeline.get_by_name("main_sink")
        assert pipeline.gst_pipeline.get_state(0)[1] == Gst.State.NULL

    def test_missing_main_sink(self, made, bus_recorder):
        launch = "videotestsrc name=buffer_src ! fakesink name=\"{url}\""
        with pytest.raises(InvalidCustomPipelineError) as info:
            build(launch, "cam 1", bus_recorder)
        assert info.value.args == (
            "No element with name 'main_sink' element found in custom pipeline "
            "'videotestsrc name=buffer_src ! fakesink name=\"cam 1\"'",)
        assert made[0].gst_pipeline.get_state(0)[1] == Gst.State.NULL

    @pytest.mark.parametrize("launch, gst_message", [
        ("videotestsrc name=buffer_src ! nosuchelement name=\"{url}\" ! appsink name=main_sink",
         'no element "nosuchelement"'),
        ("videotestsrc name=buffer_src ! ! appsink name=\"{url}\"", "syntax error"),
        ("videotestsrc name=buffer_src num-buffers={url} ! appsink name=main_sink",
         'could not set property "num-buffers" in element "videotestsrc" to "cam"'),
    ])
    def test_unparsable_launch_string_keeps_gstreamers_message(self, made, launch, gst_message):
        with pytest.raises(InvalidCustomPipelineError) as info:
            build(launch, "cam", print)
        filled = launch.format(url="cam")
        assert str(info.value) == (
            f"GStreamer could not build the pipeline '{filled}': {gst_message}")
        assert made == []


class TestMjpegStream:
    LAUNCH = ("souphttpsrc location=\"{url}\" name=buffer_src ! "
              "multipartdemux single-stream=true ! jpegdec ! videoconvert ! appsink name=main_sink")

    def test_reads_the_endless_stream(self, stream_server, bus_recorder):
        url = stream_server.url("/stream.mjpg")
        with build(self.LAUNCH, url, bus_recorder) as pipeline:
            assert pipeline.get_by_name("buffer_src").get_property("location") == url
            sample = pipeline.pull_sample(TIMEOUT)
            assert sample is not None, bus_recorder.messages(Gst.MessageType.ERROR)
            assert size_of(sample) == (320, 240)
            assert len(pull_all(pipeline, 5)) == 5
            assert not bus_recorder.messages(Gst.MessageType.ERROR)

    def test_query_with_reserved_characters_ends_the_stream(self, stream_server, bus_recorder):
        url = stream_server.url("/stream.mjpg?fps=50&frames=8")
        with build(self.LAUNCH, url, bus_recorder) as pipeline:
            assert 1 <= len(pull_all(pipeline, 20)) <= 8
            assert bus_recorder.wait_for(Gst.MessageType.EOS, TIMEOUT) is not None
            assert not bus_recorder.messages(Gst.MessageType.ERROR)


# ---------------------------------------------------------------------------
# What the URL rule protects against, shown with GStreamer's own parser.

def elements_of(parsed):
    if not isinstance(parsed, Gst.Bin):
        return [parsed]
    elements, iterator = [], parsed.iterate_recurse()
    while True:
        result, element = iterator.next()
        if result != Gst.IteratorResult.OK:
            return elements
        elements.append(element)


def structure(launch):
    """(factory name, property name) for every property that the parsed launch string
    sets away from a fresh element's value (names left out), plus ("element", factory)
    for every element; or the parser's error text."""
    try:
        parsed = Gst.parse_launch_full(launch, None, Gst.ParseFlags.FATAL_ERRORS)
    except GLib.Error as exc:
        return exc.message
    found = collections.Counter()
    for element in elements_of(parsed):
        factory = element.get_factory().get_name()
        fresh = Gst.ElementFactory.make(factory, None)
        found["element", factory] += 1
        for spec in element.list_properties():
            if spec.name in ("name", "parent") or not spec.flags & GObject.ParamFlags.READABLE:
                continue
            value = element.get_property(spec.name)
            if isinstance(value, (str, int, float)) and value != fresh.get_property(spec.name):
                found[factory, spec.name] += 1
    parsed.set_state(Gst.State.NULL)
    return found


def gained(template, url):
    """What filling `url` in as plain text adds to the pipeline that the template
    describes with a harmless URL."""
    intended = structure(template.format(url="x"))
    assert isinstance(intended, collections.Counter), intended
    naive = structure(template.format(url=url))
    assert isinstance(naive, collections.Counter), naive
    return set(naive - intended)


def source_location(launch):
    """The location of the one filesrc that the launch string makes."""
    parsed = Gst.parse_launch(launch)
    try:
        [source] = [e for e in elements_of(parsed) if e.get_factory().get_name() == "filesrc"]
        return source.get_property("location")
    finally:
        parsed.set_state(Gst.State.NULL)


QUOTED = "filesrc location=\"{url}\" ! fakesink"
UNQUOTED = "filesrc location={url} ! fakesink"
TWO_QUOTED = "filesrc location=\"{url}\" ! identity name=\"{url}\" ! fakesink"


class TestWhatTheRulePrevents:
    @pytest.mark.parametrize("template, url", [
        (QUOTED, '/a" num-buffers="3'),
        (TWO_QUOTED, " num-buffers=3 location=a\\"),
    ] + [
        (UNQUOTED, f"/a{space}num-buffers=3") for space in " \t\n\v\f\r"
    ], ids=repr)
    def test_breaking_out_adds_a_property(self, template, url):
        assert ("filesrc", "num-buffers") in gained(template, url)
        with pytest.raises(InvalidCustomPipelineError, match="^Refused URL "):
            CustomPipelineFactory(template, url=url, pipeline_watcher=None, on_complete=None)

    def test_nul_cuts_off_the_rest_of_the_launch_string(self):
        template = "filesrc location=\"{url}\" ! identity drop-probability=0.5 ! fakesink"
        assert structure(template.format(url="/a\0")) == collections.Counter(
            {("element", "filesrc"): 1, ("filesrc", "location"): 1})
        with pytest.raises(InvalidCustomPipelineError, match="^Refused URL "):
            CustomPipelineFactory(template, url="/a\0", pipeline_watcher=None, on_complete=None)

    @pytest.mark.parametrize("template", [
        "filesrc location=\\{url} ! fakesink",
        "filesrc location=\"a\\{{\" name={url} ! fakesink",
        "filesrc location=x\"{url}\" ! fakesink",
        "filesrc location=\"a\"\"{url}\" ! fakesink",
        "filesrc location=\"{url} ! fakesink",
        "filesrc location=\"a\\\"{url} ! fakesink",
        "filesrc location='{url}' ! fakesink",
        "filesrc location='x \"{url}\" y' ! fakesink",
        "filesrc location=\"{url!r}\" name=\"{url}\" ! fakesink",
        "filesrc location={{\"{url}\"}} ! fakesink",
        "filesrc location={{{url}}} ! fakesink",
    ])
    def test_fields_that_only_look_quoted_take_no_white_space(self, template):
        url = "a' num-buffers=3 location='b"
        assert ("filesrc", "num-buffers") in gained(template, url)
        with pytest.raises(InvalidCustomPipelineError, match="^Refused URL "):
            CustomPipelineFactory(template, url=url, pipeline_watcher=None, on_complete=None)

    def test_field_after_an_escaped_backslash_pair_is_outside(self):
        # The quoted value runs on past the '\\"' to the next plain quote, so the
        # field meant to be quoted is not.
        template = "filesrc location=\"\\\\\" name=\"{url}\" ! fakesink"
        url = " num-buffers=3 name=b"
        assert structure(template.format(url=url))["filesrc", "num-buffers"] == 1
        with pytest.raises(InvalidCustomPipelineError, match="^Refused URL "):
            CustomPipelineFactory(template, url=url, pipeline_watcher=None, on_complete=None)

    @settings(max_examples=200, deadline=None)
    @given(st.text(alphabet=RFC3986 + " ", min_size=1, max_size=30))
    def test_accepted_urls_fill_exactly_one_quoted_value(self, url):
        factory = CustomPipelineFactory(QUOTED, url=url, pipeline_watcher=None, on_complete=None)
        assert structure(factory._pipeline_str) == structure(QUOTED.format(url="x"))
        assert source_location(factory._pipeline_str) == url

    def test_leading_single_quote_outside_double_quotes(self):
        # Where the field starts a token, a leading ' opens a quoted value that
        # a later field closes: the identity element disappears into it.
        template = "filesrc location={url} ! identity name={url} ! fakesink"
        url = "'num-buffers=3"
        assert ("filesrc", "num-buffers") in gained(template, url)
        with pytest.raises(InvalidCustomPipelineError, match="^Refused URL "):
            CustomPipelineFactory(template, url=url, pipeline_watcher=None, on_complete=None)
        quoted = CustomPipelineFactory(QUOTED, url=url, pipeline_watcher=None, on_complete=None)
        assert structure(quoted._pipeline_str) == structure(QUOTED.format(url="x"))

    @settings(max_examples=200, deadline=None)
    @given(st.text(alphabet=RFC3986, min_size=1, max_size=30))
    def test_accepted_urls_fill_exactly_one_unquoted_value(self, url):
        factory = CustomPipelineFactory(UNQUOTED, url=url, pipeline_watcher=None,
                                        on_complete=None)
        assert structure(factory._pipeline_str) == structure(UNQUOTED.format(url="x"))
        assert source_location(factory._pipeline_str) == url

    @pytest.mark.parametrize("template, url", [
        # A quote opens a quoted value only right after a property's "=":
        # an identity named 'injected"' is linked in.
        ("filesrc location=a=\"{url}\" ! fakesink", "x ! identity name=injected"),
        ("filesrc location==\"{url}\" ! fakesink", "x ! identity name=injected"),
        ("filesrc location=http://relay/?src=\"{url}\" ! fakesink", "x ! identity name=injected"),
        # Text right after the closing quote makes the value a plain one,
        # unless white space in the URL ends it: then the text is an element.
        ("filesrc location=\"{url}\"identity ! fakesink", "a b"),
        # "!" ends the caps of a link: an element is added.
        ("filesrc ! video/x-raw,format={url} ! fakesink", "BGR!identity!video/x-raw,format=BGR"),
    ], ids=repr)
    def test_values_that_only_look_quoted_and_caps_are_protected(self, template, url):
        assert gained(template, url)
        with pytest.raises(InvalidCustomPipelineError, match="^Refused URL "):
            CustomPipelineFactory(template, url=url, pipeline_watcher=None, on_complete=None)

    def test_single_quotes_in_the_url_do_not_close_the_template_s(self):
        template = "filesrc location='/media/my videos/{url}' ! fakesink"
        url = "x'location=/etc/passwd"
        assert source_location(template.format(url=url)) == "/etc/passwd'"
        with pytest.raises(InvalidCustomPipelineError, match="^Refused URL "):
            CustomPipelineFactory(template, url=url, pipeline_watcher=None, on_complete=None)

    def test_empty_url_does_not_take_the_next_token_as_its_value(self):
        template = "filesrc location={url} name=buffer_src ! fakesink"
        parsed = Gst.parse_launch(template.format(url=""))
        assert parsed.get_by_name("buffer_src") is None
        assert source_location(template.format(url="")) == "name=buffer_src"
        with pytest.raises(InvalidCustomPipelineError, match="^Refused URL ''"):
            CustomPipelineFactory(template, url="", pipeline_watcher=None, on_complete=None)


# ---------------------------------------------------------------------------
# The URL rule against GStreamer's own lexer and parser: the lexer reports
# each token it reads in its debug output.

@pytest.fixture(scope="class")
def lexed():
    """The tokens that GStreamer's launch lexer reads, as its debug output
    names them ("ASSIGNMENT: name=x"); ``parse_and_lex`` empties it."""
    tokens = []

    def collect(category, level, file, function, line, obj, message, *data):
        text = message.get()
        if category.get_name() == "GST_PIPELINE" and text.startswith("flex: "):
            tokens.append(text[len("flex: "):])

    active = Gst.debug_is_active()
    Gst.debug_add_log_function(collect, None)
    Gst.debug_set_active(True)
    Gst.debug_set_threshold_for_name("GST_PIPELINE", Gst.DebugLevel.DEBUG)
    yield tokens
    Gst.debug_unset_threshold_for_name("GST_PIPELINE")
    Gst.debug_set_active(active)
    Gst.debug_remove_log_function(collect)


def as_reported(launch):
    """The model's tokens of `launch` as the lexer's debug output reports them."""
    reported = []
    for kind, start, end in launch_syntax.tokens(launch):
        text = launch[start:end]
        if kind == "PADREF":
            text = text[1:]
        elif kind == "BINREF":
            text = text[:launch_syntax._identifier(launch, start) - start]
        elif kind == "PRESET":
            text = text[text.index("=") + 1:]
        elif kind in ("OPERATOR", "SPACE"):
            text = f"[{text}]"
        elif kind == "OTHER":
            kind, text = "Invalid Lexer element", text + "\n"
        reported.append(f"{kind}: {text}")
    return reported


def parse_and_lex(lexed, launch):
    """The tokens that GStreamer reads from `launch` behind the package's
    guard (the guard's first), and the pipeline it builds, as `built`
    describes it."""
    lexed.clear()
    try:
        outcome = built(parse_launch(launch))
    except GLib.Error as exc:
        outcome = ("error", exc.code)
    return list(lexed), outcome


def built(root):
    """Each element's factory, its properties set away from their defaults
    (text values as they are) and the element and pad its pads link to."""
    elements = [root] + elements_of(root)
    index = {element: i for i, element in enumerate(elements)}
    described = []
    for element in elements:
        factory = element.get_factory()
        kind = factory.get_name() if factory else type(element).__name__
        properties = {}
        for spec in element.list_properties():
            if spec.flags & GObject.ParamFlags.READWRITE != GObject.ParamFlags.READWRITE:
                continue
            value = element.get_property(spec.name)
            if spec.name == "name" and re.fullmatch(f"({kind}|pipeline|bin)[0-9]+", value):
                continue  # a name that GStreamer gave
            if spec.value_type == GObject.TYPE_STRING and value != spec.default_value:
                properties[spec.name] = value
            elif isinstance(value, (bool, int, float)) and value != spec.default_value:
                properties[spec.name] = "set"
        links = sorted((pad_name(pad), index.get(pad.get_peer().get_parent_element()),
                        pad_name(pad.get_peer())) for pad in element.pads if pad.get_peer())
        described.append((kind, properties, links))
    root.set_state(Gst.State.NULL)
    return described


def pad_name(pad):
    # GStreamer numbers the pads it makes for bins.
    return re.sub("^(proxypad|ghost)[0-9]+$", r"\1", pad.get_name())


def only_holders_differ(with_url, harmless, marker):
    """Whether two (tokens, pipeline) differ only in tokens and text values
    that hold the harmless `marker` on the harmless side."""
    tokens, outcome = with_url
    harmless_tokens, harmless_outcome = harmless
    if len(tokens) != len(harmless_tokens) or any(
            token.split(":")[0] != other.split(":")[0] or (token != other and marker not in other)
            for token, other in zip(tokens, harmless_tokens)):
        return False
    if outcome[0] == "error" or harmless_outcome[0] == "error":
        # GStreamer parses some values further (caps, numbers), and the URL
        # may not parse as one: then nothing is built at all.
        return outcome == harmless_outcome or outcome[1] in (
            Gst.ParseError.LINK, Gst.ParseError.COULD_NOT_SET_PROPERTY)
    return len(outcome) == len(harmless_outcome) and all(
        (factory, sorted(properties), links) == (other, sorted(others), other_links) and all(
            value == others[name] or marker in str(others[name])
            for name, value in properties.items())
        for (factory, properties, links), (other, others, other_links)
        in zip(outcome, harmless_outcome))


ELEMENT = st.sampled_from(["fakesrc", "fakesink", "identity", "queue", "filesrc", "capsfilter",
                           "tee name=t t.", "{url}"])
VALUE = st.sampled_from([
    "{url}", '"{url}"', "'{url}'", '"my {url} 1"', "a{url}", "{url}b", "'{url} x'", 'a="{url}"',
    '="{url}"', '"{url}"x', '"a\\"{url}"', "'a'{url}", '"{url}', "'{url}", ' = {url}', "x"])
LINK = st.sampled_from([" ! ", " ", " ! video/x-raw,format={url} ! ", ' ! video/x-raw,format="{url}" ! ',
                        " ! ( ", " ) ! ", " : "])
URL = st.lists(st.sampled_from(list("ab x'!=.,;:/()@-_%{}") + [
    " ! ", "x://", "name=", "  ", "a/b", "\u00e9", '"', "\\"]), max_size=6).map("".join)


@st.composite
def templates(draw):
    parts = []
    for _ in range(draw(st.integers(1, 3))):
        parts.append(draw(ELEMENT))
        for name in draw(st.sampled_from([[], ["name"], ["location"], ["location", "name"]])):
            parts.append(f" {name}={draw(VALUE)}")
        parts.append(draw(LINK))
    template = "".join(parts) + "fakesink"
    return template if "{url}" in template else template + " name={url}"


class TestUrlRuleAgainstGStreamer:
    @settings(max_examples=300, deadline=None)
    @given(st.lists(st.sampled_from(list("ab/-_:%.=!;,\"'\\ ()@{}\t\n") + [
        "video/x-raw", "@preset", "a.b", "x://", "e/", "! a/b ", '\\"', "fakesrc", " name="]),
        max_size=14).map("".join))
    def test_model_reads_launch_strings_as_gstreamer_does(self, lexed, launch):
        # Behind the guard, so that no string can crash the parser. It stops
        # reading at a syntax error, so it may report fewer tokens.
        lexed.clear()
        try:
            Gst.parse_launch_full(_GUARD + launch, None, Gst.ParseFlags.FATAL_ERRORS)
        except GLib.Error:
            pass
        assert lexed == as_reported(_GUARD + launch)[:len(lexed)]
        assert len(lexed) >= len(as_reported(_GUARD)) - 1

    @settings(max_examples=300, deadline=None)
    @given(templates(), URL)
    def test_accepted_urls_change_only_the_tokens_that_hold_them(self, lexed, template, url):
        try:
            factory = CustomPipelineFactory(template, url=url, pipeline_watcher=None,
                                            on_complete=None)
        except InvalidCustomPipelineError:
            with pytest.raises(InvalidCustomPipelineError):
                model.CustomPipelineFactory(template, url=url, pipeline_watcher=None,
                                            on_complete=None)
            return
        assert model.CustomPipelineFactory(template, url=url, pipeline_watcher=None,
                                           on_complete=None)._pipeline_str == factory._pipeline_str
        # A harmless value of the URL's shape that stands out in the result.
        marker = "qz://qz" if launch_syntax.is_uri(url) else "qz"
        assert only_holders_differ(parse_and_lex(lexed, factory._pipeline_str),
                                   parse_and_lex(lexed, template.format(url=marker)), marker)
