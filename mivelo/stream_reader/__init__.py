"""Reading a stream frame by frame: ``StreamReader`` and ``Frame``, and many
streams in one thread or event loop: ``ReaderSet``.

``from mivelo.stream_reader import StreamReader`` loads the reader (and
GStreamer) on first use; ``mivelo.stream_reader.tunables``, the option check,
imports without either.
"""

# Names of the reader module, loaded when first asked for.
_READER_NAMES = (
    "DEFAULT_OPTIONS", "Frame", "PIXEL_FORMATS", "ReaderStats", "StreamFailedError",
    "StreamReader", "SUPPORTED_OPTIONS",
)

__all__ = list(_READER_NAMES) + ["ReaderSet"]


def __getattr__(name):
    if name in _READER_NAMES:
        from mivelo.stream_reader import reader

        return getattr(reader, name)
    if name == "ReaderSet":
        from mivelo.stream_reader import reader_set

        return reader_set.ReaderSet
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def __dir__():
    return sorted(list(globals()) + list(_READER_NAMES) + ["ReaderSet"])
