"""The exception tree of mivelo.errors."""
import subprocess
import sys

import pytest

import leaks
import mivelo.errors as errors
from mivelo.errors import (InvalidRuntimeOptionError, NotLinkedError, SourceNotFoundError,
                           StreamSetupError)
from models import errors as model

NAMES = [name for name in vars(model) if not name.startswith("_")]


def test_module_holds_the_five_classes_in_order():
    assert errors.__doc__ is None
    assert [n for n in vars(errors) if not n.startswith("__")] == NAMES
    assert len(NAMES) == 5


@pytest.mark.parametrize("name", NAMES)
def test_class_shape(name):
    cls, model_cls = getattr(errors, name), getattr(model, name)
    model_base = model_cls.__bases__[0]
    base = getattr(errors, model_base.__name__) if model_base.__module__ == model.__name__ \
        else model_base
    assert cls.__bases__ == (base,)
    assert type(cls) is type
    assert cls.__doc__ == model_cls.__doc__
    assert (cls.__module__, cls.__name__, cls.__qualname__) == ("mivelo.errors", name, name)
    # Nothing of its own beyond what a class statement with a docstring makes.
    python_twin = type(name, (base,), {"__module__": "mivelo.errors", "__doc__": cls.__doc__})
    assert list(vars(cls)) == list(vars(python_twin))
    error = cls("message")
    assert str(error) == "message" and error.args == ("message",)
    assert repr(error) == f"{name}('message')"


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


# ---------------------------------------------------------------------------
# Every path, compared with the model and checked for leaks

PATHS = leaks.Cases(errors)


def raise_and_catch(name):
    def make(target):
        cls = getattr(target, name)

        def run():
            try:
                raise cls("message")
            except Exception as error:  # noqa: BLE001 - what a handler does
                assert str(error) == "message" and error.args == ("message",)
        return run
    return make


for _name in NAMES:
    PATHS.add(f"{_name}: raise and catch", _name, raise_and_catch(_name))
    PATHS.add(f"{_name}: keyword refused", _name, leaks.calling(_name, message="x"))
PATHS.add("caught by its base", "StreamSetupError", lambda target: lambda: isinstance(
    target.SourceNotFoundError("m"), target.StreamSetupError))

test_every_path_is_the_models_and_leaks_nothing = PATHS.test()
