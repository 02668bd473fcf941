"""Eight threads drive the option check, Timeout truth tests and both
factories at once (some on shared objects), with the interpreter switching
threads as often as it can, and must get exactly what one thread gets."""
import sys
import threading
import time

import pytest

from fakes import FakeClock, Stage, watcher
from helpers import bound
from mivelo.errors import InvalidCustomPipelineError, InvalidRuntimeOptionError
from mivelo.pipeline_factories import custom, http
from mivelo.stream_reader.tunables import check_tunables
from mivelo.utils import timing

THREADS = 8
SECONDS = 1.5
URL = "http://127.0.0.1:9/stream.mjpg"
LAUNCH = 'souphttpsrc location="{url}" name=buffer_src ! jpegdec ! appsink name=main_sink'
SUPPORTED = {"size": int, "name": (str, bytes), "flag": bool}


STAGE = Stage()  # shared by every thread; it keeps no history


class LaunchPipeline(STAGE.Pipeline):
    """Has no "main_sink" when the launch string says so."""

    def get_by_name(self, name):
        if name == "main_sink" and "nosink" in self.launch:
            return None
        return super().get_by_name(name)


def outcome(fn, *args, **kwargs):
    try:
        result = fn(*args, **kwargs)
    except Exception as error:  # noqa: BLE001 - the outcome is compared
        return type(error).__name__, str(error)
    if isinstance(result, LaunchPipeline):
        return ("pipeline", result.url, result.launch, result.watcher is watcher,
                result.appsink.name, sorted(result.appsink.properties.items()), str(result.state))
    return result


def http_factory(url=URL):
    factory = http.HTTPPipelineFactory(url=url, pipeline_watcher=watcher, on_complete=None)
    factory._set_up_decoder = STAGE.decoder
    return factory


def custom_factory(launch=LAUNCH):
    factory = custom.CustomPipelineFactory(launch, url=URL, pipeline_watcher=watcher,
                                           on_complete=None)
    factory._logger = STAGE.logger
    return factory


def expired(*args):
    timeout = timing.Timeout(*args)
    timeout.start -= 10.0
    return timeout


def one_round(shared):
    """What one pass of every operation gives, in order."""
    return [
        outcome(check_tunables, {"size": 1, "name": "x", "flag": False}, SUPPORTED),
        outcome(check_tunables, {"size": "1"}, SUPPORTED),
        outcome(check_tunables, {"other": 1}, SUPPORTED),
        outcome(check_tunables, None, SUPPORTED),
        outcome(bool, timing.Timeout(5)),
        outcome(bool, expired(5, False, True)),
        outcome(bool, expired(5)),
        outcome(bool, shared["timeout"]),
        outcome(shared["timeout"].reset),
        outcome(bool, shared["expired"]),
        outcome(lambda: http_factory().build()),
        outcome(shared["http"].build),
        outcome(http.HTTPPipelineFactory, url=type("Text", (str,), {})(URL),
                pipeline_watcher=watcher, on_complete=None),
        outcome(lambda: custom_factory().build()),
        outcome(shared["custom"].build),
        outcome(lambda: custom_factory(LAUNCH + " nosink").build()),
        outcome(custom_factory, "fakesrc ! appsink"),
        outcome(custom.CustomPipelineFactory, LAUNCH, url='http://x/"', pipeline_watcher=None,
                on_complete=None),
    ]


@pytest.fixture
def fakes():
    with bound(timing, time=FakeClock(), logger=STAGE.logger), \
            bound(http, Pipeline=LaunchPipeline), bound(custom, Pipeline=LaunchPipeline):
        yield


def test_threads_get_what_one_thread_gets(fakes):
    shared = {"timeout": timing.Timeout(5), "expired": expired(5, False, False),
              "http": http_factory(), "custom": custom_factory()}
    expected = one_round(shared)
    # The round covers the error paths too, with their exact messages.
    kinds = {result[0] for result in expected if isinstance(result, tuple)}
    assert {InvalidRuntimeOptionError.__name__, InvalidCustomPipelineError.__name__,
            "TimeoutError", "TypeError", "AttributeError", "pipeline"} <= kinds

    start = threading.Barrier(THREADS, timeout=30)
    rounds = [0] * THREADS
    problems = []

    def work(index):
        try:
            start.wait()
            deadline = time.monotonic() + SECONDS
            while time.monotonic() < deadline:
                got = one_round(shared)
                if got != expected:
                    problems.append((index, [(e, g) for e, g in zip(expected, got) if e != g]))
                    return
                rounds[index] += 1
        except BaseException as error:  # noqa: BLE001 - reported below
            problems.append((index, repr(error)))

    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        threads = [threading.Thread(target=work, args=(i,), name=f"hammer-{i}")
                   for i in range(THREADS)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join(timeout=SECONDS + 60)
    finally:
        sys.setswitchinterval(interval)
    assert not [t.name for t in threads if t.is_alive()], "threads did not finish"
    assert not problems, problems[:3]
    assert all(rounds), rounds
