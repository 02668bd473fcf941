"""Model of mivelo.stream_reader.tunables: the runtime option check."""
from mivelo.errors import InvalidRuntimeOptionError


def check_tunables(supplied, supported):
    """Checks that the supplied runtime options are supported by the stream
    reader and are of the right type.

    :param supplied: The supplied options
    :param supported: The supported options, where the key is the option name
        and the value is the expected type
    """
    for key, val in supplied.items():
        if key not in supported:
            raise _invalid(f"Unknown option '{key}'")
        if not isinstance(val, supported[key]):
            raise _invalid(
                f"Option '{key}' should be of type '{supported[key]}', got '{type(val)}'")


def _invalid(message):
    # The module makes the message first and then looks the class up, as it
    # stands at that moment.
    return InvalidRuntimeOptionError(message)
