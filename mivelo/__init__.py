"""Reading video streams through GStreamer.

The package logs through the standard ``logging`` logger named "mivelo"; it
adds no handlers of its own, so applications decide where the records go.
"""
import logging

logger = logging.getLogger("mivelo")
logger.addHandler(logging.NullHandler())
