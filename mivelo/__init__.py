"""Reading video streams through GStreamer.

The package logs through the standard ``logging`` logger named "mivelo"; it
adds no handlers of its own, so applications decide where the records go.
Every record passes ``mivelo.utils.credentials.mask_record`` on the way, so
no password of a URL reaches a log.
"""
import logging


def _mask(record):
    # Imported on the first record: importing mivelo.errors imports nothing
    # else of the package.
    from mivelo.utils.credentials import mask_record

    return mask_record(record)


logger = logging.getLogger("mivelo")
logger.addHandler(logging.NullHandler())
logger.addFilter(_mask)
