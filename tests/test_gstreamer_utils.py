import decimal
import fractions
import gc
import json
import logging
import subprocess
import sys
import textwrap
import threading
import time
import types

import pytest
from hypothesis import given, settings, strategies as st

from helpers import BusRecorder, mivelo_threads, needs_gst, wait_until
from mivelo.utils._gst.bus import BusDispatcher, watched_buses
from mivelo.utils.gstreamer import (
    MissingElementError, Pipeline, PipelineSettings, pipeline_settings)

from gi.repository import GLib, Gst  # noqa: I100

pytestmark = needs_gst


# For scripts run in a child process: the threads and file descriptors of
# the process.
CHILD_COUNTS = """
    import os

    def counts():
        return len(os.listdir("/proc/self/task")), len(os.listdir("/proc/self/fd"))
"""


def run_script(*parts, timeout=60):
    """Runs the script made of ``parts`` (each indented as in the test) in a
    fresh interpreter; returns the finished process, which must have exited
    with 0."""
    script = "\n".join(textwrap.dedent(part) for part in parts)
    result = subprocess.run([sys.executable, "-c", script],
                            capture_output=True, text=True, timeout=timeout)
    assert result.returncode == 0, result.stderr
    return result


def bus_is_watched(bus):
    return bus.get_pollfd().fd in watched_buses()


@pytest.fixture
def pipeline():
    with Pipeline("http://example.invalid/stream") as p:
        yield p


@pytest.fixture
def errors():
    return pytest.importorskip("mivelo.errors")


class TestNewElement:
    def test_creates_names_configures_and_adds(self, pipeline):
        props = types.MappingProxyType({"num-buffers": 7, "is-live": True})
        element = pipeline.new_element("videotestsrc", properties=props, name="src0")
        assert element.get_property("num-buffers") == 7
        assert element.get_property("is-live") is True
        assert pipeline.get_by_name("src0") is element
        assert element.get_parent() == pipeline.gst_pipeline

    @pytest.mark.parametrize("factory, package", [
        ("souphttpsrc", "gstreamer1.0-plugins-good"),
        ("nosuchelement", None),
    ])
    def test_missing_element_names_element_and_package(self, pipeline, monkeypatch, factory,
                                                       package):
        find = Gst.ElementFactory.find
        monkeypatch.setattr(Gst.ElementFactory, "find",
                            lambda name: None if name == factory else find(name))
        with pytest.raises(MissingElementError) as info:
            pipeline.new_element(factory, properties={})
        assert factory in str(info.value)
        if package:
            assert package in str(info.value)
        else:
            assert "gst-inspect-1.0" in str(info.value)

    def test_refuses_duplicate_name_and_bad_property_without_adding(self, pipeline):
        pipeline.new_element("fakesink", properties={}, name="taken")
        with pytest.raises(ValueError):
            pipeline.new_element("fakesink", properties={}, name="taken")
        with pytest.raises(TypeError):
            pipeline.new_element("fakesink", properties={"no-such-prop": 1}, name="other")
        assert pipeline.get_by_name("other") is None
        assert pipeline.gst_pipeline.get_children_count() == 1


    @pytest.mark.parametrize("properties, name", [
        ({"location": "/srv/a\x00b"}, None),
        ({}, "a\x00b"),
    ])
    def test_nul_in_a_text_is_refused_before_anything_is_made(self, pipeline, properties, name):
        # GStreamer would cut the text at the NUL.
        with pytest.raises(ValueError, match="NUL"):
            pipeline.new_element("filesrc", properties=properties, name=name)
        assert pipeline.gst_pipeline.get_children_count() == 0

    def test_http_factory_refuses_a_url_with_a_nul(self):
        from mivelo.pipeline_factories.http import HTTPPipelineFactory

        factory = HTTPPipelineFactory(url="http://127.0.0.1:9/a\x00b", pipeline_watcher=print,
                                      on_complete=None)
        with pytest.raises(ValueError, match="NUL"):
            factory.build()


class TestFromLaunchString:
    def test_builds_named_elements_and_keeps_url(self):
        with Pipeline.from_launch_string(
                "videotestsrc name=buffer_src ! appsink name=main_sink", "rtsp://cam") as p:
            assert isinstance(p.gst_pipeline, Gst.Pipeline)
            assert p.get_by_name("main_sink") is not None
            assert p.get_by_name("buffer_src").get_static_pad("src") is not None
            assert p.url == "rtsp://cam"

    @pytest.mark.parametrize("launch", ["appsink name=main_sink", "( fakesrc ! appsink name=main_sink )"])
    def test_single_element_or_bin_is_wrapped_in_a_pipeline(self, launch):
        with Pipeline.from_launch_string(launch, None) as p:
            assert isinstance(p.gst_pipeline, Gst.Pipeline)
            assert p.get_by_name("main_sink") is not None

    @pytest.mark.parametrize("launch, gst_text", [
        ("videotestsrc ! nosuchelement ! fakesink", 'no element "nosuchelement"'),
        ("videotestsrc ! audioconvert ! fakesink", "could not link"),
        ("videotestsrc bogus=1 ! fakesink", 'no property "bogus"'),
        ("", "empty pipeline"),
        ("fakesrc \x00 ! fakesink", "NUL"),
        ("fakesrc name=\ud800 ! fakesink", "lone surrogate"),
    ])
    def test_unparsable_string_keeps_gstreamer_text(self, errors, launch, gst_text):
        with pytest.raises(errors.InvalidCustomPipelineError) as info:
            Pipeline.from_launch_string(launch, "http://cam")
        assert gst_text in str(info.value)

    # GStreamer's parser itself dereferences NULL on these (references linked
    # while no element is made); a regression kills the test process.
    @pytest.mark.parametrize("launch, gst_text", [
        ("a. ! b.", 'No src-element named "a"'),
        ("a.src ! video/x-raw ! b.sink", 'No src-element named "a"'),
        ("x. ! y. nosuch", 'no element "nosuch"'),
        ("! a. ! b.", "syntax error"),
        (", a. ! b.", "syntax error"),
        ("  ,src fakesrc ! fakesink", "syntax error"),
    ])
    def test_strings_that_crash_the_parser_are_refused(self, errors, launch, gst_text):
        with pytest.raises(errors.InvalidCustomPipelineError) as info:
            Pipeline.from_launch_string(launch, None)
        assert gst_text in str(info.value)

    @pytest.mark.parametrize("launch", [
        "fakesrc ! fakesink", "tee name=t t. ! queue ! fakesink t. ! fakesink",
        "( fakesrc ! fakesink )", "fakesrc ! ( queue ! fakesink )", "fakesrc ! video/x-raw ! fakesink",
        ": fakesink", ".src ! fakesink", "name=x fakesrc", "fakesrc !", "   ",
    ])
    def test_outcome_is_the_parsers_own(self, errors, launch):
        # The same elements, or the same error, as GStreamer parsing the
        # string directly (these strings do not crash it).
        def elements(root):
            found = [root.get_factory().get_name()]
            for child in getattr(root, "children", []):
                found += elements(child)
            return found

        def outcome(parse):
            try:
                root = parse()
            except GLib.Error as exc:
                return exc.message
            except errors.InvalidCustomPipelineError as exc:  # the text ends with GStreamer's
                return str(exc).rsplit(": ", 1)[-1]
            if isinstance(root, Pipeline):
                with root:
                    return sorted(elements(root.gst_pipeline))
            # What from_launch_string wraps a single element in.
            return sorted(elements(root) + ([] if isinstance(root, Gst.Pipeline) else ["pipeline"]))

        assert (outcome(lambda: Pipeline.from_launch_string(launch, None))
                == outcome(lambda: Gst.parse_launch_full(launch, None, Gst.ParseFlags.FATAL_ERRORS)))

    def test_a_launched_pipeline_is_returned_as_it_is(self):
        with Pipeline.from_launch_string("pipeline. ( name=inner fakesrc ! fakesink )", None) as p:
            assert p.gst_pipeline.get_name() == "inner"
            assert p.gst_pipeline.get_parent() is None

    def test_non_string_is_a_type_error(self):
        with pytest.raises(TypeError):
            Pipeline.from_launch_string(b"fakesrc ! fakesink", None)

    @settings(max_examples=150, deadline=None)
    @given(st.text(alphabet=st.sampled_from(list("!()=., \"'\\{}abcdefkinoprstu0123")), max_size=40)
           | st.text(max_size=40))
    def test_any_text_gives_a_pipeline_or_the_package_error(self, launch):
        errors = pytest.importorskip("mivelo.errors")
        try:
            p = Pipeline.from_launch_string(launch, None)
        except errors.InvalidCustomPipelineError:
            return
        p.close()


class TestBusWatch:
    def test_every_message_reaches_watcher_without_main_loop(self, bus_recorder):
        with Pipeline.from_launch_string("videotestsrc num-buffers=20 ! fakesink", None) as p:
            p.add_bus_watch(bus_recorder, p)
            p.set_state(Gst.State.PLAYING)
            assert bus_recorder.wait_for(Gst.MessageType.EOS, timeout=10) is not None
            assert bus_recorder.messages(Gst.MessageType.STATE_CHANGED)
            bus, _, passed, thread = bus_recorder.calls[0]
            assert bus == p.gst_pipeline.get_bus()
            assert passed is p
            assert thread is not threading.main_thread()

    def test_error_message_is_delivered(self, bus_recorder):
        with Pipeline.from_launch_string("filesrc location=/nonexistent/x ! fakesink", None) as p:
            p.add_bus_watch(bus_recorder, p)
            p.set_state(Gst.State.PLAYING)
            error = bus_recorder.wait_for(Gst.MessageType.ERROR, timeout=5)
            assert error is not None
            assert error.parse_error()[0].matches(Gst.ResourceError.quark(), Gst.ResourceError.NOT_FOUND)

    def test_failing_watcher_is_logged_and_others_still_run(self, bus_recorder, caplog):
        def broken(bus, message, data):
            raise RuntimeError("watcher bug")

        with caplog.at_level(logging.ERROR, logger="mivelo"):
            with Pipeline.from_launch_string("videotestsrc num-buffers=5 ! fakesink", None) as p:
                p.add_bus_watch(broken, "user data")
                p.add_bus_watch(bus_recorder, "user data")
                p.set_state(Gst.State.PLAYING)
                assert bus_recorder.wait_for(Gst.MessageType.EOS, timeout=10) is not None
        assert bus_recorder.calls[0][2] == "user data"
        assert any(r.exc_info and str(r.exc_info[1]) == "watcher bug" for r in caplog.records)

    def test_watcher_may_close_its_own_pipeline(self):
        closed = threading.Event()

        def close_on_eos(bus, message, p):
            if message.type == Gst.MessageType.EOS:
                p.close()
                closed.set()

        before = set(mivelo_threads())
        p = Pipeline.from_launch_string("videotestsrc num-buffers=3 ! fakesink", None)
        p.add_bus_watch(close_on_eos, p)
        p.set_state(Gst.State.PLAYING)
        assert closed.wait(10)
        assert p.gst_pipeline is None
        assert wait_until(lambda: set(mivelo_threads()) <= before, timeout=2)


class TestSettings:
    """What a caller decides for the pipelines that a factory builds reaches
    them before they play, and only those built in its block."""

    @pytest.fixture
    def factories(self, stream_server, bus_recorder):
        from mivelo.pipeline_factories.custom import CustomPipelineFactory
        from mivelo.pipeline_factories.http import HTTPPipelineFactory

        launch = ('souphttpsrc location="{url}" name=buffer_src ! multipartdemux '
                  "single-stream=true ! jpegdec ! videoconvert ! appsink name=main_sink")
        url = stream_server.url("/stall.mjpg?after=2")
        return {
            "http": HTTPPipelineFactory(url=url, pipeline_watcher=bus_recorder, on_complete=None),
            "custom": CustomPipelineFactory(launch, url=url, pipeline_watcher=bus_recorder,
                                            on_complete=None),
        }

    @pytest.mark.parametrize("kind", ["http", "custom"])
    def test_in_force_before_playing_and_only_inside_the_block(self, factories, kind,
                                                               monkeypatch, bus_recorder):
        asked = []
        set_state = Pipeline.set_state

        def record(pipeline, state):
            asked.append(pipeline.appsink.get_property("max-buffers"))
            return set_state(pipeline, state)

        monkeypatch.setattr(Pipeline, "set_state", record)
        settings = PipelineSettings(stall_timeout=0.5, data_source="buffer_src",
                                    sink_properties={"max-buffers": 7})
        with pipeline_settings(settings):
            inside = factories[kind].build()
        outside = factories[kind].build()
        with inside, outside:
            assert (inside.settings, outside.settings) == (settings, PipelineSettings())
            assert asked == [7, 2]
            # Both factories' pipelines get the watchdog that the settings ask for.
            error = bus_recorder.wait_for(Gst.MessageType.ERROR, timeout=5)
            assert error is not None and error.src.get_name() == "buffer_src"
            assert "no data from" in error.parse_error()[0].message

    @pytest.mark.parametrize("counted", [False, True])
    def test_a_sink_that_keeps_frames_nobody_took_is_no_stall(self, bus_recorder, counted):
        settings = PipelineSettings(stall_timeout=0.5, sink_properties={"drop": False},
                                    frames_taken=(lambda: 0) if counted else None)
        launch = "videotestsrc is-live=true ! appsink name=s sync=false max-buffers=2"
        with pipeline_settings(settings):
            p = Pipeline.from_launch_string(launch, None)
        with p:
            p.appsink = p.get_by_name("s")
            p.add_bus_watch(bus_recorder, p)
            p.set_state(Gst.State.PLAYING)
            error = bus_recorder.wait_for(Gst.MessageType.ERROR, timeout=2.0)
        assert (error is None) == counted

    def test_only_settings_are_taken(self):
        with pytest.raises(TypeError, match="settings must be a PipelineSettings, not dict"):
            with pipeline_settings({"stall_timeout": 1}):
                pass


class TestClose:
    def test_close_is_idempotent_and_ends_bus_dispatch(self):
        before = set(mivelo_threads())
        p = Pipeline.from_launch_string("videotestsrc is-live=true ! appsink name=s", None)
        p.appsink = p.get_by_name("s")
        recorder = BusRecorder()
        p.add_bus_watch(recorder, p)
        p.set_state(Gst.State.PLAYING)
        assert p.pull_sample(5) is not None
        bus = p.gst_pipeline.get_bus()
        started = time.monotonic()
        p.close()
        p.close()
        assert time.monotonic() - started < 2
        assert not bus_is_watched(bus)
        calls = len(recorder.calls)
        bus.post(Gst.Message.new_application(None, Gst.Structure.new_empty("after-close")))
        # The package's threads serve open pipelines only.
        assert wait_until(lambda: set(mivelo_threads()) <= before, timeout=2)
        assert len(recorder.calls) == calls
        assert p.gst_pipeline is None and p.appsink is None
        assert p.pull_sample(0.1) is None
        with pytest.raises(RuntimeError):
            p.get_by_name("s")
        with pytest.raises(RuntimeError):
            p.add_bus_watch(BusRecorder(), p)

    def test_close_wakes_a_blocked_pull(self):
        p = Pipeline.from_launch_string("appsrc is-live=true ! appsink name=s", None)
        p.appsink = p.get_by_name("s")
        p.set_state(Gst.State.PLAYING)
        results = []
        puller = threading.Thread(target=lambda: results.append(p.pull_sample(30)))
        puller.start()
        time.sleep(0.2)
        p.close()
        puller.join(3)
        assert not puller.is_alive() and results == [None]

    def test_context_manager_stops_pipeline(self):
        with Pipeline.from_launch_string("videotestsrc is-live=true ! fakesink", None) as p:
            gst_pipeline = p.gst_pipeline
            p.set_state(Gst.State.PLAYING)
            assert gst_pipeline.get_state(5 * Gst.SECOND)[1] == Gst.State.PLAYING
        assert gst_pipeline.get_state(0)[1] == Gst.State.NULL

    def test_dropped_pipeline_is_torn_down(self):
        p = Pipeline.from_launch_string("videotestsrc is-live=true ! fakesink", None)
        seen = []
        p.add_bus_watch(lambda bus, message, pipeline: seen.append(message.type), p)
        p.set_state(Gst.State.PLAYING)
        assert wait_until(lambda: Gst.MessageType.STATE_CHANGED in seen, timeout=5)
        gst_pipeline = p.gst_pipeline
        bus = gst_pipeline.get_bus()
        del p
        gc.collect()
        assert wait_until(lambda: not bus_is_watched(bus), timeout=5)
        assert wait_until(lambda: gst_pipeline.get_state(0)[1] == Gst.State.NULL, timeout=5)

    def test_close_stops_the_pipeline_whatever_stopping_raises(self, monkeypatch):
        # PyGObject has raised TypeError where nothing was wrong (a class made
        # twice by threads that first used it at once). A pipeline let go of
        # while it plays crashes the process once its elements are freed.
        p = Pipeline.from_launch_string("videotestsrc is-live=true ! fakesink", None)
        p.add_bus_watch(BusRecorder(), p)
        p.set_state(Gst.State.PLAYING)
        gst_pipeline = p.gst_pipeline
        assert gst_pipeline.get_state(5 * Gst.SECOND)[1] == Gst.State.PLAYING

        stop = BusDispatcher.stop

        def spurious(dispatcher):
            stop(dispatcher)
            raise TypeError("spurious")

        monkeypatch.setattr(BusDispatcher, "stop", spurious)
        with pytest.raises(TypeError, match="spurious"):
            p.close()
        assert gst_pipeline.get_state(0)[1] == Gst.State.NULL
        assert p.closed and p.gst_pipeline is None
        p.close()

    def test_interrupted_close_still_stops_everything(self):
        # Ctrl-C while close() waits for a watcher that sleeps: the pipeline
        # must still stop, and its threads and file descriptors go.
        result = run_script(CHILD_COUNTS, """
            import json, os, signal, threading, time
            from mivelo.utils.gstreamer import Pipeline
            from gi.repository import Gst

            # A runner that starts the suite with SIGINT ignored (a
            # background job of a script) passes that on, and Python then
            # raises no KeyboardInterrupt for it.
            signal.signal(signal.SIGINT, signal.default_int_handler)

            def open_playing():
                p = Pipeline.from_launch_string("videotestsrc is-live=true ! fakesink", None)
                p.add_bus_watch(lambda bus, message, data: time.sleep(0.5), p)
                p.set_state(Gst.State.PLAYING)
                p.gst_pipeline.get_state(5 * Gst.SECOND)
                return p

            open_playing().close()
            before = counts()
            pipelines, interrupted = [], 0
            for _ in range(10):
                p = open_playing()
                pipelines.append((p, p.gst_pipeline))
                threading.Timer(0.05, os.kill, (os.getpid(), signal.SIGINT)).start()
                try:
                    p.close()
                    time.sleep(1)
                except KeyboardInterrupt:
                    interrupted += 1
            time.sleep(1)
            states = {gst.get_state(0)[1].value_nick for _, gst in pipelines}
            closed = all(p.closed for p, _ in pipelines)
            del pipelines, p
            def back():
                # GLib keeps idle threads of its pool for a while, so there
                # may be fewer than before, never more.
                return all(now <= then for now, then in zip(counts(), before))

            deadline = time.monotonic() + 10
            while not back() and time.monotonic() < deadline:
                time.sleep(0.05)
            print(json.dumps([interrupted, back(), sorted(states), closed]))
        """)
        interrupted, back, states, closed = json.loads(result.stdout)
        assert interrupted >= 5
        assert (back, states, closed) == (True, ["null"], True)

    def test_exit_closes_open_pipelines_together(self):
        # Watchers that block hold each close for its whole bound; one after
        # another, eight of them held the exit for 16 s.
        started = time.monotonic()
        run_script("""
            import time
            from mivelo.utils.gstreamer import Pipeline
            from gi.repository import Gst

            pipelines = []
            for _ in range(8):
                p = Pipeline.from_launch_string("videotestsrc is-live=true ! fakesink", None)
                p.add_bus_watch(lambda bus, message, data: time.sleep(60), p)
                p.set_state(Gst.State.PLAYING)
                pipelines.append(p)
            time.sleep(0.5)
        """)
        assert time.monotonic() - started < 8

    def test_first_use_from_threads_raises_nothing(self):
        # PyGObject makes a class when it is first used; eight threads that
        # do so at once used to make several, and then refused their own
        # objects. Each run is a fresh process, where everything is a first use.
        script = """
            import sys, threading
            sys.setswitchinterval(1e-6)
            from mivelo.pipeline_factories.custom import CustomPipelineFactory
            from gi.repository import Gst, GstApp

            factory = CustomPipelineFactory(
                "videotestsrc is-live=true name=buffer_src ! appsink name=main_sink fakesrc "
                'name="s{url}" ! fakesink', url="x", pipeline_watcher=lambda *args: None,
                on_complete=None)
            start = threading.Barrier(8)
            errors = []

            def first_use():
                try:
                    start.wait()
                    p = Gst.parse_launch("fakesrc ! appsink name=s")
                    assert isinstance(Gst.Bin.get_by_name(p, "s"), GstApp.AppSink)
                    p.get_bus().post(Gst.Message.new_application(None, Gst.Structure.new_empty("x")))
                    with factory.build() as pipeline:
                        pipeline.pull_sample(0.01)
                except BaseException as exc:
                    errors.append(repr(exc))

            threads = [threading.Thread(target=first_use) for _ in range(8)]
            for thread in threads:
                thread.start()
            for thread in threads:
                thread.join()
            print(errors)
        """
        for _ in range(8):
            result = run_script(script)
            assert result.stdout.strip() == "[]"

    def test_interpreter_exits_cleanly_with_open_pipelines(self):
        script = textwrap.dedent("""
            import time
            from mivelo.utils.gstreamer import Pipeline
            from gi.repository import Gst
            p = Pipeline.from_launch_string(
                "videotestsrc is-live=true ! jpegenc ! decodebin name=d ! appsink name=s", None)
            p.appsink = p.get_by_name("s")
            p.get_by_name("d").connect("pad-added", lambda d, pad: pad.link(p.appsink.get_static_pad("sink")))
            p.add_bus_watch(lambda bus, message, pipeline: None, p)
            p.set_state(Gst.State.PLAYING)
            assert p.pull_sample(5) is not None
            print("streaming", flush=True)
        """)
        result = subprocess.run([sys.executable, "-c", script], capture_output=True,
                                text=True, timeout=30)
        assert result.returncode == 0, result.stderr
        assert "streaming" in result.stdout


class TestPullSample:
    def test_returns_samples_then_none_at_end(self):
        with Pipeline.from_launch_string("videotestsrc num-buffers=2 ! appsink name=s", None) as p:
            p.appsink = p.get_by_name("s")
            p.set_state(Gst.State.PLAYING)
            assert isinstance(p.pull_sample(5), Gst.Sample)
            assert isinstance(p.pull_sample(5), Gst.Sample)
            assert p.pull_sample(5) is None

    def test_timeout_returns_none_in_time(self):
        with Pipeline.from_launch_string("appsrc is-live=true ! appsink name=s", None) as p:
            p.appsink = p.get_by_name("s")
            p.set_state(Gst.State.PLAYING)
            started = time.monotonic()
            assert p.pull_sample(0.3) is None
            assert 0.25 <= time.monotonic() - started < 2

    def test_misuse_is_refused(self, pipeline):
        with pytest.raises(RuntimeError):
            pipeline.pull_sample(0.1)
        pipeline.appsink = pipeline.new_element("appsink", properties={})
        with pytest.raises(ValueError):
            pipeline.pull_sample(float("inf"))

    @pytest.mark.parametrize("timeout", ["1", b"1", True, None, 1j, decimal.Decimal(1)])
    def test_timeout_must_be_a_real_number(self, pipeline, timeout):
        pipeline.appsink = pipeline.new_element("appsink", properties={})
        with pytest.raises(TypeError, match="timeout_seconds must be a real number"):
            pipeline.pull_sample(timeout)

    @pytest.mark.parametrize("timeout", [-1e300, -1, 0, fractions.Fraction(1, 100), 1e-300])
    def test_no_wait_for_tiny_or_negative_timeouts(self, timeout):
        with Pipeline.from_launch_string("appsrc is-live=true ! appsink name=s", None) as p:
            p.appsink = p.get_by_name("s")
            p.set_state(Gst.State.PLAYING)
            started = time.monotonic()
            assert p.pull_sample(timeout) is None
            assert time.monotonic() - started < 1
