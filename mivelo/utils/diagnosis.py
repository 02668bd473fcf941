"""Why a stream's server cannot be reached, told apart within a set time.

Where ``souphttpsrc`` runs on libsoup 3, an unknown host and a refused port
both end as "Internal data stream error."; ``diagnose(url)`` tells the
causes apart by doing what the source did first, on its own: it looks the
host up and opens a TCP connection to the URL's port (and closes it again:
it sends nothing, credentials least of all). The answer is a ``Diagnosis``:

* ``UNKNOWN_HOST``: the name lookup failed (no such host, or no name server
  that answers: its text says which);
* ``REFUSED``: the host answered, but nothing listens on the port;
* ``UNREACHABLE``: the network has no route to the host;
* ``TIMEOUT``: no answer within the time given, from the name lookup or
  from the host;
* ``REACHABLE``: the port accepts connections, so the fault lies beyond
  (a path, a password, the stream itself).

``diagnose`` never keeps its caller longer than the ``timeout`` it is given
(``DIAGNOSIS_SECONDS`` by default) plus the start of a thread. A name lookup
cannot be interrupted and can take many seconds, so the lookup and the
connection run on a daemon thread ("mivelo-diagnosis-<host>") that the
caller waits for; a lookup that outlasts the wait finishes there on its own
and ends the thread. A diagnosis of a host and port still running when
another is asked for is shared, not started twice (it keeps the bound of
the call that started it), so repeated calls for a host whose lookup hangs
keep one thread, not one per call. Call it after a failure, from a thread
that may wait that long: the pause before a reconnect is such a time. A
thread that must not wait (an event loop) starts one with ``probe(url)``
and takes its answer later, once ``Probe.finished()`` has it.
"""
import math
import os
import socket
import threading
import time
import urllib.parse
from typing import NamedTuple

__all__ = [
    "DIAGNOSIS_SECONDS", "Diagnosis", "Probe", "REACHABLE", "REFUSED", "TIMEOUT",
    "UNKNOWN_HOST", "UNREACHABLE", "diagnose", "probe",
]

# How long diagnose() waits by default.
DIAGNOSIS_SECONDS = 1.0

UNKNOWN_HOST = "unknown host"
REFUSED = "refused"
UNREACHABLE = "unreachable"
TIMEOUT = "timeout"
REACHABLE = "reachable"

# TCP ports of the schemes whose sources connect over TCP first. (rtspu
# and rtspsu speak to the server over UDP: a TCP connection says nothing.)
DEFAULT_PORTS = {
    "http": 80, "https": 443,
    "rtsp": 554, "rtspt": 554, "rtsph": 80,
    "rtsps": 322, "rtspst": 322, "rtspsh": 443,
}

# Bound here so that tests can stand in for the name server.
getaddrinfo = socket.getaddrinfo


class Diagnosis(NamedTuple):
    """What ``diagnose`` found: ``cause`` (one of the constants above),
    the host and port it tried, and ``text``, a sentence for people (it
    names the host and port, never the URL's credentials)."""

    cause: str
    host: str
    port: int
    text: str

    def __str__(self):
        return self.text


def diagnose(url, timeout=DIAGNOSIS_SECONDS):
    """The ``Diagnosis`` of the server of an http(s) or rtsp URL.

    Waits at most ``timeout`` seconds (a number; 0 only reports a
    diagnosis already under way or what can be told at once). None for a
    URL that names no host, or whose scheme this cannot probe (a file, a
    launch string, UDP transports).
    """
    started = probe(url, timeout)
    return None if started is None else started.result(timeout)


def probe(url, timeout=DIAGNOSIS_SECONDS):
    """Starts the diagnosis of ``url``'s server, which takes at most
    ``timeout`` seconds (beyond a name lookup that hangs), and returns at
    once: a ``Probe``, or None where ``diagnose`` returns None."""
    if isinstance(timeout, bool) or not isinstance(timeout, (int, float)):
        raise TypeError(f"timeout must be a number of seconds, not {type(timeout).__name__}")
    if not 0 <= timeout < math.inf:
        raise ValueError(f"timeout must be at least 0 and finite, got {timeout!r}")
    target = _target(url)
    if target is None:
        return None
    with _lock:
        started = _probes.get(target)
        if started is None:
            started = Probe(*target, timeout)
            started.start()
            _probes[target] = started
    return started


def _target(url):
    """(host, port) of a URL whose scheme connects over TCP, or None."""
    if not isinstance(url, str):
        return None
    try:
        parts = urllib.parse.urlsplit(url)
        port = parts.port
    except ValueError:  # an invalid port or IPv6 literal: GStreamer says so itself
        return None
    default = DEFAULT_PORTS.get(parts.scheme.lower())
    if default is None or not parts.hostname:
        return None
    return parts.hostname, port if port is not None else default


# The diagnoses under way, by (host, port); each removes itself when done.
_probes = {}
_lock = threading.Lock()


def _forget_probes():
    # A forked child has none of its parent's threads: nothing is under way.
    global _lock
    _lock = threading.Lock()
    _probes.clear()


os.register_at_fork(after_in_child=_forget_probes)


class Probe:
    """One lookup and connection, on a thread of its own (see ``probe``)."""

    def __init__(self, host, port, timeout):
        self._host, self._port = host, port
        self._started = time.monotonic()
        # The connection attempts end with the first caller's wait; only
        # the lookup, which cannot be cut short, may outlast it.
        self._deadline = self._started + timeout
        self._stage = "lookup"
        self._diagnosis = None
        self._done = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True,
                                        name=f"mivelo-diagnosis-{host}")

    def start(self):
        self._thread.start()

    def finished(self, wait=0.0):
        """The ``Diagnosis`` once the probe is done, waiting for that at
        most ``wait`` seconds; None while it runs."""
        return self.result(0.0) if self._done.wait(wait) else None

    def result(self, timeout):
        """The ``Diagnosis`` after a wait of at most ``timeout`` seconds:
        ``TIMEOUT`` (saying what took so long) while the probe runs."""
        self._done.wait(timeout)
        if self._diagnosis is not None:
            return self._diagnosis
        waited = time.monotonic() - self._started
        if self._stage == "lookup":
            text = f"the name lookup of {self._host} gave no answer within {waited:.1f} s"
        else:
            text = f"{self._where()} did not answer within {waited:.1f} s"
        return Diagnosis(TIMEOUT, self._host, self._port, text)

    def _where(self):
        host = f"[{self._host}]" if ":" in self._host else self._host
        return f"{host}:{self._port}"

    def _run(self):
        try:
            self._diagnosis = self._probe()
        except Exception as error:  # noqa: BLE001  (a diagnosis must not raise on its thread)
            self._diagnosis = self._found(UNREACHABLE, f"{self._where()} cannot be reached "
                                                       f"({error})")
        finally:
            with _lock:
                _probes.pop((self._host, self._port), None)
            self._done.set()

    def _found(self, cause, text):
        return Diagnosis(cause, self._host, self._port, text)

    def _probe(self):
        try:
            addresses = getaddrinfo(self._host, self._port, type=socket.SOCK_STREAM)
        except socket.gaierror as error:
            return self._found(UNKNOWN_HOST, f"the host name {self._host} could not be looked "
                                             f"up ({error.strerror})")
        if time.monotonic() >= self._deadline:
            return self._found(TIMEOUT, f"the name lookup of {self._host} took "
                                        f"{time.monotonic() - self._started:.1f} s")
        if not addresses:
            return self._found(UNKNOWN_HOST, f"the host name {self._host} has no address")
        self._stage = "connect"
        outcomes = [self._connect(address) for address in addresses]
        for cause in (REACHABLE, REFUSED, UNREACHABLE):
            for outcome, detail in outcomes:
                if outcome == cause:
                    return self._found(cause, {
                        REACHABLE: f"{self._where()} accepts connections",
                        REFUSED: f"{self._where()} refused the connection",
                        UNREACHABLE: f"{self._where()} cannot be reached ({detail})",
                    }[cause])
        return None  # every attempt ran out of time: result() says so

    def _connect(self, address):
        family, kind, protocol, _, socket_address = address
        remaining = self._deadline - time.monotonic()
        if remaining <= 0:
            return TIMEOUT, None
        try:
            with socket.socket(family, kind, protocol) as connection:
                connection.settimeout(remaining)
                connection.connect(socket_address)
        except socket.timeout:
            return TIMEOUT, None
        except ConnectionRefusedError:
            return REFUSED, None
        except OSError as error:  # no route, network down, ...
            return UNREACHABLE, error.strerror or str(error)
        return REACHABLE, None
