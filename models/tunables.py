"""Model of mivelo.stream_reader.tunables: the runtime option check."""
from mivelo.errors import InvalidRuntimeOptionError
from models import docstring as _docstring


@_docstring("Checks that the supplied runtime options are supported by the stream\n"
            "    reader and are of the right type.\n"
            "\n"
            "    :param supplied: The supplied options\n"
            "    :param supported: The supported options, where the key is the option name\n"
            "        and the value is the expected type\n"
            "    ")
def check_tunables(supplied, supported):
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
