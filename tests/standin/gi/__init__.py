"""A minimal stand-in for PyGObject, for interpreters that have no build of it.

It carries just what importing the package needs and what the pipeline
factories touch when the tests replace ``Pipeline`` with fakes: ``Gst.State``,
a few classes to name in annotations, ``Gst.init``.  Anything else raises
``NeedsRealGStreamer`` (``gst_support`` turns that into a skip of the test
that reached it).  ``tests/gst_support.py`` puts this folder on ``sys.path``
only where the real ``gi`` cannot be imported.
"""

STANDIN = True
version_info = (0, 0, 0)


class NeedsRealGStreamer(RuntimeError):
    """Raised where code reaches beyond what the stand-in provides."""


def missing(what):
    """Called for every name the stand-in lacks; replaced by the test harness."""
    raise NeedsRealGStreamer(f"{what} needs real GStreamer; this is the stand-in for gi")


def require_version(namespace, version):
    if not isinstance(namespace, str) or not isinstance(version, str):
        raise TypeError("namespace and version must be strings")
