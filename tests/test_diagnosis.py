"""mivelo.utils.diagnosis: an unknown host, a refused port, a timeout and a
reachable server told apart, within the time the caller gives."""
import contextlib
import socket
import threading
import time
import types

import pytest

from helpers import bound, in_child, wait_until
from mivelo.utils import diagnosis
from mivelo.utils.diagnosis import (
    REACHABLE, REFUSED, TIMEOUT, UNKNOWN_HOST, UNREACHABLE, diagnose)
from stream_server import closed_port

SLACK = 1.0  # for a loaded machine; a diagnosis on loopback takes milliseconds


@contextlib.contextmanager
def listening(full=False):
    """A port on 127.0.0.1 that accepts connections, or (``full``) whose
    queue of connections is full, so that a new one gets no answer."""
    with socket.socket() as server, contextlib.ExitStack() as clients:
        server.bind(("127.0.0.1", 0))
        server.listen(0)
        port = server.getsockname()[1]
        for _ in range(4 if full else 0):
            client = clients.enter_context(socket.socket())
            client.setblocking(False)
            client.connect_ex(("127.0.0.1", port))
        time.sleep(0.1 if full else 0)  # the handshakes that fit are made
        yield port


def no_such_host(host, port, **kwargs):
    raise socket.gaierror(socket.EAI_NONAME, "Name or service not known")


class NoRoute(socket.socket):
    def connect(self, address):
        raise OSError(101, "Network is unreachable")


@pytest.mark.parametrize("scheme, server, cause, text", [
    ("http", "no-such-host", UNKNOWN_HOST, "the host name cam.test could not be looked up "
                                           "(Name or service not known)"),
    ("rtsp", "closed", REFUSED, "127.0.0.1:{port} refused the connection"),
    ("https", "no-route", UNREACHABLE,
     "127.0.0.1:{port} cannot be reached (Network is unreachable)"),
    ("rtsps", "full", TIMEOUT, "127.0.0.1:{port} did not answer within"),
    ("rtspt", "listening", REACHABLE, "127.0.0.1:{port} accepts connections"),
])
def test_causes_told_apart(monkeypatch, scheme, server, cause, text):
    with listening(full=server == "full") as port:
        if server == "closed":
            port = closed_port()
        host = "cam.test" if server == "no-such-host" else "127.0.0.1"
        if server == "no-such-host":
            monkeypatch.setattr(diagnosis, "getaddrinfo", no_such_host)
        if server == "no-route":
            monkeypatch.setattr(diagnosis, "socket",
                                types.SimpleNamespace(**{**vars(socket), "socket": NoRoute}))
        started = time.monotonic()
        found = diagnose(f"{scheme}://admin:secret@{host}:{port}/stream", 0.5)
    assert time.monotonic() - started < 0.5 + SLACK
    assert (found.cause, found.host, found.port) == (cause, host, port)
    assert str(found).startswith(text.format(port=port)) and "secret" not in str(found)


@pytest.mark.parametrize("url, port", [
    ("http://h/", 80), ("https://h", 443), ("rtsp://h/s", 554), ("rtspt://h", 554),
    ("rtsps://h", 322), ("RTSPH://h", 80), ("http://[::1]:8080/", 8080),
])
def test_default_ports(monkeypatch, url, port):
    asked = []
    monkeypatch.setattr(diagnosis, "getaddrinfo",
                        lambda host, port, **kwargs: asked.append((host, port)) or
                        no_such_host(host, port))
    assert diagnose(url).port == port and asked[0][1] == port


@pytest.mark.parametrize("url", [
    "/videos/a.mp4", "file:///videos/a.mp4", "rtspu://cam/s", "udp://cam:5000",
    "http:///path", "http://cam:99999/", "http://[::1/", "videotestsrc ! appsink", None, b"x",
])
def test_what_cannot_be_probed_gives_none(url):
    assert diagnose(url) is None


@pytest.mark.parametrize("timeout, error", [
    (True, TypeError), ("1", TypeError), (None, TypeError), (-1, ValueError),
    (float("nan"), ValueError), (float("inf"), ValueError),
])
def test_timeout_is_checked(timeout, error):
    with pytest.raises(error):
        diagnose("http://cam/", timeout)


def probes():
    return [t for t in threading.enumerate() if t.name.startswith("mivelo-diagnosis-")]


def test_a_lookup_that_hangs_holds_no_caller_and_is_made_once(monkeypatch):
    """The caller gets TIMEOUT after its wait; callers meanwhile share the
    lookup that runs; it ends its thread once it returns."""
    answer, lookups = threading.Event(), []

    def hanging(host, port, **kwargs):
        lookups.append(host)
        answer.wait(30)
        return no_such_host(host, port)

    with bound(diagnosis, getaddrinfo=hanging):
        for _ in range(3):
            started = time.monotonic()
            found = diagnose("rtsp://user:pw@slow.test/s", 0.2)
            assert time.monotonic() - started < 0.2 + SLACK
            assert found.cause == TIMEOUT and found.text.startswith(
                "the name lookup of slow.test gave no answer within")
        assert lookups == ["slow.test"] and len(probes()) == 1
        # A forked child, where the lookup answers, makes one of its own
        # instead of waiting for the parent's, whose thread it lacks.
        assert in_child(lambda: answer.set() or diagnose("rtsp://slow.test/s", 0.2).cause)[:2] \
            == ("returned", repr(UNKNOWN_HOST))
        answer.set()
        assert wait_until(lambda: not probes(), 5.0)
        assert diagnose("rtsp://slow.test/s", 1.0).cause == UNKNOWN_HOST
