"""The exception tree of mivelo.errors."""
import subprocess
import sys

import pytest

import mivelo.errors as errors
from mivelo.errors import (InvalidCustomPipelineError, InvalidRuntimeOptionError,
                           NotLinkedError, SourceNotFoundError, StreamSetupError)

CLASSES = [
    (StreamSetupError, Exception, "An exception happened during setup of the stream."),
    (InvalidCustomPipelineError, StreamSetupError,
     "Raised when a supplied custom pipeline is missing a required component."),
    (SourceNotFoundError, StreamSetupError,
     "Raised when the source for a stream no longer exists."),
    (InvalidRuntimeOptionError, Exception,
     "Raised when a runtime option is provided that is not supported or is\n"
     "    of the wrong type.\n    "),
    (NotLinkedError, Exception, "Raised when there was a problem while linking two elements"),
]


def test_module_holds_the_five_classes_in_order():
    assert errors.__doc__ is None
    public = [n for n in vars(errors) if not n.startswith("__")]
    assert public == [cls.__name__ for cls, _, _ in CLASSES]


@pytest.mark.parametrize("cls, base, doc", CLASSES)
def test_class_shape(cls, base, doc):
    assert cls.__bases__ == (base,)
    assert type(cls) is type
    assert cls.__doc__ == doc
    assert (cls.__module__, cls.__name__, cls.__qualname__) == \
        ("mivelo.errors", cls.__name__, cls.__name__)
    # Nothing of its own beyond what a class statement with a docstring makes.
    python_twin = type(cls.__name__, (base,), {"__module__": "mivelo.errors", "__doc__": doc})
    assert list(vars(cls)) == list(vars(python_twin))
    error = cls("message")
    assert str(error) == "message" and error.args == ("message",)
    assert repr(error) == f"{cls.__name__}('message')"


def test_handlers_catch_along_the_tree():
    with pytest.raises(StreamSetupError):
        raise SourceNotFoundError("gone")
    assert not issubclass(InvalidRuntimeOptionError, StreamSetupError)
    assert not issubclass(NotLinkedError, StreamSetupError)


def test_importing_errors_imports_nothing_else_of_the_package():
    code = ("import sys, mivelo.errors; "
            "print(sorted(m for m in sys.modules if m.startswith('mivelo')))")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                         check=True, timeout=60).stdout
    assert out.strip() == "['mivelo', 'mivelo.errors']"
