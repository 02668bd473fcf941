"""pytest plugin: GStreamer objects that each test leaves alive.

Run tests under GStreamer's leaks tracer with this plugin loaded::

    GST_TRACERS=leaks GST_DEBUG=GST_TRACER:7 \\
        python -m pytest -p gst_leaks test_stream_faults.py

Without the tracer it does nothing. With it, every test runs in an activity
window of the tracer, from the start of its setup to the end of its teardown
plus a garbage collection and a short pause for GStreamer's threads to let
go. The objects created in that window and not freed by its end are listed
at the end of the run, per test. GStreamer keeps some objects for good when
it first needs them (``CLASS_DATA``: an element class's pad templates, a
plugin's features, the system clock); those show up in the first tests
only, and ``-v`` lists them per test. Anything else that shows up is a
leak: a pipeline, element, pad, bus, buffer or message that nobody will
free.
"""
import collections
import gc
import re
import time

import pytest

# Made once and kept for the process: per element class (pad templates and
# their caps), per plugin when it is loaded (its features, e.g. typefinders
# and their caps), and the default clock and task pool.
CLASS_DATA = {
    "GstPadTemplate", "GstCaps", "GstTypeFindFactory", "GstElementFactory",
    "GstSystemClock", "GstTaskPool",
}
_SETTLE_SECONDS = 0.5
_ENTRY = re.compile(r"type-name=\(string\)(\w+), address=\(string\)(0x[0-9a-f]+)")


def _leaks_tracer():
    try:
        from gi.repository import Gst
    except ImportError:
        return None
    if not hasattr(Gst, "tracing_get_active_tracers"):
        return None
    if not Gst.is_initialized():
        Gst.init(None)
    for tracer in Gst.tracing_get_active_tracers():
        if tracer.__gtype__.name == "GstLeaksTracer":
            return tracer
    return None


def _alive(checkpoint):
    """Objects created and not removed, from an activity checkpoint."""
    # PyGObject cannot read the checkpoint's list values; their text can.
    text = checkpoint.to_string().replace("\\", "")
    created_text, _, removed_text = text.partition("objects-removed-list=")
    created = collections.Counter(_ENTRY.findall(created_text))
    created.subtract(_ENTRY.findall(removed_text))
    return collections.Counter(type_name for (type_name, _), n in created.items() for _ in range(n))


class _LeakReport:
    def __init__(self, tracer):
        self.tracer = tracer
        self.by_test = {}
        tracer.emit("activity-start-tracking")

    @pytest.hookimpl(hookwrapper=True, tryfirst=True)
    def pytest_runtest_protocol(self, item, nextitem):
        self.tracer.emit("activity-get-checkpoint")  # starts a new window
        yield
        gc.collect()
        time.sleep(_SETTLE_SECONDS)
        gc.collect()
        alive = _alive(self.tracer.emit("activity-get-checkpoint"))
        if alive:
            self.by_test[item.nodeid] = alive

    def pytest_terminal_summary(self, terminalreporter):
        write = terminalreporter.write_line
        terminalreporter.section("GStreamer objects left alive (leaks tracer)")
        leaks = {test: {t: n for t, n in alive.items() if t not in CLASS_DATA}
                 for test, alive in self.by_test.items()}
        leaks = {test: found for test, found in leaks.items() if found}
        class_data = sum((alive for alive in self.by_test.values()), collections.Counter())
        class_data = {t: n for t, n in class_data.items() if t in CLASS_DATA}
        write(f"kept by GStreamer for the process: {dict(sorted(class_data.items()))}")
        if terminalreporter.config.option.verbose > 0:
            for test, alive in self.by_test.items():
                kept = {t: n for t, n in alive.items() if t in CLASS_DATA}
                if kept:
                    write(f"  {test}: {dict(sorted(kept.items()))}")
        if not leaks:
            write("no other object outlived its test")
        for test, found in leaks.items():
            write(f"{test}: {dict(sorted(found.items()))}")


def pytest_configure(config):
    tracer = _leaks_tracer()
    if tracer is not None:
        config.pluginmanager.register(_LeakReport(tracer), "gst-leak-report")
