"""What the test modules share besides fixtures (those live in conftest.py).

The models of the extension modules (the folder models/ beside tests/, put on
sys.path by conftest.py) are reached through ``model_of`` and
``fresh_model``.
"""
import importlib
import importlib.util
import sys



def model_of(module):
    """The model of an extension module of the package: models.<last name>."""
    return importlib.import_module("models." + module.__name__.rpartition(".")[2])


def model_function(fn):
    """The model's counterpart of a function or method of an extension module."""
    found = model_of(sys.modules[fn.__module__])
    for name in fn.__qualname__.split("."):
        found = vars(found)[name]
    return found


def fresh_model(module, name=None):
    """A new instance of the model of `module`, executed afresh and kept out
    of sys.modules, so that a test may change it; its module name is `name`,
    by default the model's own."""
    model = model_of(module)
    spec = importlib.util.spec_from_file_location(name or model.__name__, model.__file__)
    fresh = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(fresh)
    return fresh
