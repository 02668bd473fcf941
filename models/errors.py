"""Model of mivelo.errors: the package's exception classes."""
from models import docstring as _docstring


class StreamSetupError(Exception):
    """An exception happened during setup of the stream."""


class InvalidCustomPipelineError(StreamSetupError):
    """Raised when a supplied custom pipeline is missing a required component."""


class SourceNotFoundError(StreamSetupError):
    """Raised when the source for a stream no longer exists."""


@_docstring("Raised when a runtime option is provided that is not supported or is\n"
            "    of the wrong type.\n"
            "    ")
class InvalidRuntimeOptionError(Exception):
    pass


class NotLinkedError(Exception):
    """Raised when there was a problem while linking two elements"""
