"""Model of mivelo.errors: the package's exception classes."""


class StreamSetupError(Exception):
    """An exception happened during setup of the stream."""


class InvalidCustomPipelineError(StreamSetupError):
    """Raised when a supplied custom pipeline is missing a required component."""


class SourceNotFoundError(StreamSetupError):
    """Raised when the source for a stream no longer exists."""


class InvalidRuntimeOptionError(Exception):
    """Raised when a runtime option is provided that is not supported or is
    of the wrong type.
    """


class NotLinkedError(Exception):
    """Raised when there was a problem while linking two elements"""
