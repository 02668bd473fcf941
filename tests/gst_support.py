"""Real GStreamer, or the stand-in for interpreters without PyGObject.

Import this module before anything imports ``gi`` (``conftest.py`` does so
first; the test scripts also load it as a plugin with ``-p gst_support``).
It decides once per process:

* where ``gi`` imports, the tests run against real GStreamer;
* where it does not (an interpreter that PyGObject does not build for), the
  folder ``standin/`` goes first on ``sys.path``, and on ``PYTHONPATH`` for
  the interpreters that tests start, so that the package imports with a
  minimal ``gi.repository.Gst``.

``MIVELO_GST=real`` makes a missing ``gi`` an error instead of a fallback,
and ``MIVELO_GST=standin`` uses the stand-in even where ``gi`` imports.

What tests use:

* ``needs_gst``: a mark for tests, classes or whole modules
  (``pytestmark = needs_gst``) that need real GStreamer; they are skipped
  with the stand-in.
* ``REAL_GST``: whether real GStreamer is in use.

A test that reaches a part of ``gi`` that the stand-in lacks, at collection
or while it runs, is skipped too, naming what it reached.
"""
import os
import pathlib
import sys

import pytest

STANDIN_DIR = str(pathlib.Path(__file__).resolve().with_name("standin"))


def _choose():
    wanted = os.environ.get("MIVELO_GST", "auto")
    if wanted not in ("auto", "real", "standin"):
        raise RuntimeError(f"MIVELO_GST must be auto, real or standin, not {wanted!r}")
    if wanted != "standin":
        try:
            import gi  # noqa: F401
        except ImportError as exc:
            if wanted == "real":
                raise RuntimeError(f"MIVELO_GST=real, but gi does not import: {exc}") from exc
        else:
            if not getattr(gi, "STANDIN", False):
                return True
    if "gi" in sys.modules and not getattr(sys.modules["gi"], "STANDIN", False):
        raise RuntimeError("gst_support was imported after the real gi")
    sys.path.insert(0, STANDIN_DIR)
    os.environ["PYTHONPATH"] = os.pathsep.join(
        p for p in (STANDIN_DIR, os.environ.get("PYTHONPATH")) if p)
    import gi

    def skip_missing(what):
        # The package itself must import with the stand-in: a gap met by its
        # module-level code is the stand-in's fault, and fails.
        frame = sys._getframe(1)
        while frame is not None:
            if frame.f_code.co_name == "<module>" and \
                    frame.f_globals.get("__name__", "").startswith("mivelo"):
                raise gi.NeedsRealGStreamer(
                    f"{frame.f_globals['__name__']} uses {what} at import, which the stand-in "
                    f"lacks; add it to {STANDIN_DIR}")
            frame = frame.f_back
        pytest.skip(f"needs real GStreamer ({what} is not in the stand-in)",
                    allow_module_level=True)

    gi.missing = skip_missing
    return False


REAL_GST = _choose()

needs_gst = pytest.mark.skipif(not REAL_GST, reason="needs real GStreamer; gi is the stand-in here")


def pytest_report_header(config):
    import gi

    if REAL_GST:
        return f"GStreamer: real, gi {gi.__version__} from {os.path.dirname(gi.__file__)}"
    return f"GStreamer: stand-in from {STANDIN_DIR}"
