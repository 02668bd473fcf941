"""What the test modules share besides fixtures and fakes: fixtures and hooks
live in conftest.py, fakes in fakes.py.

- Waiting: ``wait_until``, ``BusRecorder``, ``mivelo_threads``.
- Forked children: ``in_child``.
- Cameras to kill and start again: ``HttpCamera``, ``RtspCamera``.
- Module globals: ``bound`` (with ``DELETE``).
- The package's extension modules: ``extension_modules``, ``fresh_module``.
- Their models (the folder models/ beside tests/, put on sys.path by
  conftest.py): ``model_of``, ``model_function``, ``fresh_model``, and
  ``same_as_model``, which runs a module and its model side by side on fakes.
- ``REAL_GST`` and ``needs_gst``, from gst_support.
"""
import ast
import contextlib
import importlib
import importlib.machinery
import importlib.util
import os
import pathlib
import select
import signal
import sys
import threading
import time
import warnings

from gst_support import REAL_GST, needs_gst  # noqa: F401  (for the test modules)

import mivelo
from fakes import Stage

# ---------------------------------------------------------------------------
# Waiting


def wait_until(predicate, timeout, interval=0.02):
    """Poll ``predicate`` until it is true or ``timeout`` seconds pass."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(interval)
    return bool(predicate())


def mivelo_threads():
    """Every live thread that the package started: they are all named
    "mivelo-..." (the bus dispatch, the workers that run the watchers, state
    changes and releases, and the diagnosis of a server)."""
    return [t for t in threading.enumerate() if t.name.startswith("mivelo-")]


class BusRecorder:
    """A bus watcher that records every call and lets tests wait for one."""

    def __init__(self):
        self.calls = []
        self._cond = threading.Condition()

    def __call__(self, bus, message, pipeline):
        with self._cond:
            self.calls.append((bus, message, pipeline, threading.current_thread()))
            self._cond.notify_all()

    def messages(self, kind=None):
        with self._cond:
            return [m for _, m, _, _ in self.calls if kind is None or m.type == kind]

    def wait_for(self, kind, timeout):
        """Return the first message of ``kind``, or None after ``timeout`` s."""
        deadline = time.monotonic() + timeout
        with self._cond:
            while True:
                for _, message, _, _ in self.calls:
                    if message.type == kind:
                        return message
                remaining = deadline - time.monotonic()
                if remaining <= 0:
                    return None
                self._cond.wait(remaining)


# ---------------------------------------------------------------------------
# Forked children

# How long a child may take to report, however loaded the machine.
CHILD_SECONDS = 20.0


def in_child(action):
    """Runs ``action()`` in a child made with os.fork(), which reports through
    a pipe and leaves with os._exit: ("returned", repr of the result) or
    (exception type name, its text), and the seconds it took."""
    read, write = os.pipe()
    with warnings.catch_warnings():
        # 3.12 on warns of a fork with threads running: the case in point.
        warnings.simplefilter("ignore", DeprecationWarning)
        pid = os.fork()
    if pid == 0:  # pragma: no cover - the child
        try:
            started = time.monotonic()
            try:
                outcome = ("returned", repr(action()))
            except BaseException as error:  # noqa: B036  (reported)
                outcome = (type(error).__name__, str(error))
            os.write(write, repr(outcome + (time.monotonic() - started,)).encode())
        finally:
            os._exit(0)
    os.close(write)
    with open(read, "rb") as report:
        answered = select.select([report], [], [], CHILD_SECONDS)[0]
        if not answered:
            os.kill(pid, signal.SIGKILL)
        text = report.read()
    os.waitpid(pid, 0)
    assert answered, f"the child gave no answer within {CHILD_SECONDS} s"
    return ast.literal_eval(text.decode())


# ---------------------------------------------------------------------------
# Cameras to kill and start again on the same address (need real GStreamer)


class HttpCamera:
    """The local MJPEG server at 25 fps; killed with its connections cut."""

    def __init__(self):
        self.port = 0
        self.start()
        self.url = self.server.url()

    def kill(self):
        self.server.close()

    def start(self):
        from stream_server import StreamServer

        self.server = StreamServer(fps=25, port=self.port).start()
        self.port = self.server.port

    def restart(self, down):
        self.kill()
        time.sleep(down)
        self.start()

    def close(self):
        self.server.close()


class RtspCamera(HttpCamera):
    """An RTSP server of MJPEG in a child process; killed with SIGKILL."""

    def __init__(self):
        from rtsp_server import RtspServer

        self.server = RtspServer(codec="mjpeg").start()
        self.url = self.server.url

    def kill(self):
        self.server.kill()

    def start(self):
        self.server.start()


# ---------------------------------------------------------------------------
# Module globals

DELETE = object()


@contextlib.contextmanager
def bound(module, **names):
    """Binds (or, with DELETE, removes) module globals, then puts the whole
    namespace back as it was, in its order too."""
    namespace = vars(module)
    saved = dict(namespace)
    try:
        for name, value in names.items():
            if value is DELETE:
                namespace.pop(name, None)
            else:
                namespace[name] = value
        yield module
    finally:
        if list(namespace.items()) != list(saved.items()):
            namespace.clear()
            namespace.update(saved)


# ---------------------------------------------------------------------------
# The package's extension modules and their models


def extension_modules():
    """{dotted name: file} of every extension module in the installed package,
    found by walking it, so that a new module is picked up by itself."""
    root = pathlib.Path(mivelo.__file__).resolve().parent
    suffixes = sorted(importlib.machinery.EXTENSION_SUFFIXES, key=len, reverse=True)
    found = {}
    for path in sorted(root.rglob("*")):
        suffix = next((s for s in suffixes if path.name.endswith(s)), None)
        if suffix and path.is_file():
            parts = path.relative_to(root.parent).parts
            found[".".join(parts[:-1] + (path.name[: -len(suffix)],))] = path
    return found


def fresh_module(name):
    """A new instance of an extension module, executed afresh (its classes
    and functions made again), without touching the one in sys.modules."""
    spec = importlib.util.spec_from_file_location(name, importlib.import_module(name).__file__)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def model_of(module):
    """The model of an extension module of the package: models.<last name>."""
    return importlib.import_module("models." + module.__name__.rpartition(".")[2])


def model_function(fn):
    """The model's counterpart of a function or method of an extension module."""
    found = model_of(sys.modules[fn.__module__])
    for name in fn.__qualname__.split("."):
        found = vars(found)[name]
    return found


def fresh_model(module, name=None):
    """A new instance of the model of `module`, executed afresh and kept out
    of sys.modules, so that a test may change it; its module name is `name`,
    by default the model's own."""
    model = model_of(module)
    spec = importlib.util.spec_from_file_location(name or model.__name__, model.__file__)
    fresh = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(fresh)
    return fresh


def same_as_model(monkeypatch, module, scenario, **names):
    """Runs ``scenario(target, stage, patch)`` on the extension module and on
    its model, each with a tracing stage of fakes of its own bound in and the
    globals ``names`` bound (DELETE removes one); ``patch`` is a monkeypatch
    context undone after the run.  Both must give the same result (or the
    same error and text) and the same steps and lookups in the same order.
    Returns the module's stage and result."""
    runs = []
    for target in (module, model_of(module)):
        with monkeypatch.context() as patch:
            stage = Stage(log=[], trace=True)
            for name, value in {**stage.bindings, **names}.items():
                if value is DELETE:
                    patch.delattr(target, name)
                else:
                    patch.setattr(target, name, value)
            try:
                result = scenario(target, stage, patch)
            except Exception as error:  # noqa: BLE001  (compared below)
                result = (type(error), str(error))
        runs.append((stage, result, stage.events()))
    (stage, *got), (_, *want) = runs
    assert got == want
    return stage, got[0]
