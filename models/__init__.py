"""Plain-Python models of the package's extension modules.

Each module here states, in Python, what one extension module does: the same
imports bound as module globals (looked up at each use), the same steps in
the same order, the same exact-type checks and the same message texts and
docstrings.  The tests compare each extension module against its model, and
the benchmarks time it against its model, so a model is written the way a
careful Python developer would write the module, not slowed down on purpose.

| model | extension module |
|---|---|
| ``models.errors`` | ``mivelo.errors`` |
| ``models.tunables`` | ``mivelo.stream_reader.tunables`` |
| ``models.timing`` | ``mivelo.utils.timing`` |
| ``models.http`` | ``mivelo.pipeline_factories.http`` |
| ``models.custom`` | ``mivelo.pipeline_factories.custom`` |

The folder is not part of the installed package: tests and benchmarks append
the repository's root to ``sys.path`` (at the end, so that ``mivelo`` is still
the installed package) and import ``models.<name>``.
"""

_IMMUTABLE_TYPE = 1 << 8
_HEAP_TYPE = 1 << 9


def docstring(text):
    """Sets a docstring byte for byte.  A docstring written in place loses
    its indentation from 3.13 on (the compiler strips it); the modules' keep
    theirs."""
    def set_doc(obj):
        obj.__doc__ = text
        return obj
    return set_doc


def incorrect_type(name, value):
    """The text of the TypeError for a ``str`` parameter given anything but a
    str or None: the type named as CPython's C code names it (its tp_name),
    each inserted text cut to 200 bytes of UTF-8."""
    cls = type(value)
    if cls.__flags__ & (_HEAP_TYPE | _IMMUTABLE_TYPE) == _HEAP_TYPE or \
            cls.__module__ == "builtins":
        # A class statement made it (a heap type that can be changed): its
        # tp_name is its name.
        type_name = cls.__name__
    else:
        # A static type, or one a C module made with PyType_FromSpec: the dotted
        # name it was given.
        type_name = f"{cls.__module__}.{cls.__name__}"
    cut = type_name.encode()[:200].decode(errors="replace")
    return f"Argument '{name}' has incorrect type (expected str, got {cut})"
