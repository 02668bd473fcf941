"""mivelo.utils.diagnosis: an unknown host, a refused port, no route, no
answer and a reachable server told apart, within the time the caller gives."""
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


def no_such_host(host, port, **kwargs):
    raise socket.gaierror(socket.EAI_NONAME, "Name or service not known")


class NoRoute(socket.socket):
    def connect(self, address):
        raise OSError(101, "Network is unreachable")


@pytest.mark.parametrize("scheme, server, cause, text", [
    ("http", "no-such-host", UNKNOWN_HOST, "the host name {host} could not be looked up "
                                           "(Name or service not known)"),
    ("rtsp", "closed", REFUSED, "{host}:{port} refused the connection"),
    ("https", "no-route", UNREACHABLE, "{host}:{port} cannot be reached (Network is unreachable)"),
    ("rtsps", "full", TIMEOUT, "{host}:{port} did not answer within"),
    ("rtspt", "listening", REACHABLE, "{host}:{port} accepts connections"),
])
def test_causes_told_apart(monkeypatch, scheme, server, cause, text):
    monkeypatch.setattr(diagnosis, "getaddrinfo", {"no-such-host": no_such_host}.get(
        server, socket.getaddrinfo))
    monkeypatch.setattr(diagnosis, "socket", types.SimpleNamespace(
        **{**vars(socket), "socket": NoRoute if server == "no-route" else socket.socket}))
    with socket.socket() as listener, contextlib.ExitStack() as clients:
        listener.bind(("127.0.0.1", 0))
        listener.listen(0)
        port = closed_port() if server == "closed" else listener.getsockname()[1]
        for _ in range(4 if server == "full" else 0):  # a full queue answers no more
            client = clients.enter_context(socket.socket())
            client.setblocking(False)
            client.connect_ex(("127.0.0.1", port))
        time.sleep(0.1 if server == "full" else 0)  # the handshakes that fit are made
        started = time.monotonic()
        found = diagnose(f"{scheme}://admin:secret@127.0.0.1:{port}/stream", 0.5)
    assert time.monotonic() - started < 0.5 + SLACK
    assert (found.cause, found.host, found.port) == (cause, "127.0.0.1", port)
    assert str(found).startswith(text.format(host="127.0.0.1", port=port))


@pytest.mark.parametrize("url, target", [
    ("http://h/", ("h", 80)), ("https://u:p@h", ("h", 443)), ("rtsp://h/s", ("h", 554)),
    ("rtsps://h", ("h", 322)), ("RTSPH://h", ("h", 80)), ("http://[::1]:8/", ("::1", 8)),
    ("/a.mp4", None), ("file:///a.mp4", None), ("rtspu://h/s", None), ("http:///a", None),
    ("http://h:99999/", None), ("http://[::1/", None), ("videotestsrc ! x", None), (None, None),
])
def test_what_is_probed(monkeypatch, url, target):
    monkeypatch.setattr(diagnosis, "getaddrinfo", no_such_host)
    found = diagnose(url)
    assert (found and (found.host, found.port)) == target


@pytest.mark.parametrize("timeout, error", [
    (True, TypeError), ("1", TypeError), (-1, ValueError), (float("inf"), ValueError),
])
def test_timeout_is_checked(timeout, error):
    with pytest.raises(error):
        diagnose("http://cam/", timeout)


def test_a_lookup_that_hangs_holds_no_caller_and_is_made_once():
    """Callers get TIMEOUT after their wait and share the one lookup, which
    ends its thread when it returns; a forked child makes its own."""
    answer, lookups = threading.Event(), []

    def hanging(host, port, **kwargs):
        lookups.append(host)
        answer.wait(30)
        return no_such_host(host, port)

    def probes():
        return [t for t in threading.enumerate() if t.name.startswith("mivelo-diagnosis-")]

    with bound(diagnosis, getaddrinfo=hanging):
        for _ in range(3):
            started = time.monotonic()
            found = diagnose("rtsp://slow.test/s", 0.2)
            assert time.monotonic() - started < 0.2 + SLACK
            assert found.text.startswith("the name lookup of slow.test gave no answer within")
        assert lookups == ["slow.test"] and len(probes()) == 1 and found.cause == TIMEOUT
        assert in_child(lambda: answer.set() or diagnose("rtsp://slow.test/s", 0.2).cause)[:2] \
            == ("returned", repr(UNKNOWN_HOST))
        answer.set()
        assert wait_until(lambda: not probes(), 5.0)
