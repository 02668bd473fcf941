"""What inspect, typing and pydoc see of the C++ modules equals what they see of
the same modules written in Python, on the interpreter that runs the tests.

Each module's model (models/) is executed afresh as a module of the module's
own name and file, so that every function, method, bound method and class,
and the module's help page, can be compared: they must come out the same,
docstrings included."""
import inspect
import pydoc
import sys
import types
import typing

import pytest

import mivelo.errors as errors
import mivelo.pipeline_factories.custom as custom
import mivelo.pipeline_factories.http as http
import mivelo.stream_reader.tunables as tunables
import mivelo.utils.timing as timing
from helpers import fresh_model, model_of

MODULES = [errors, tunables, timing, http, custom]


def own_objects(module):
    """The public classes and functions that `module` defines, by name, in order."""
    return {name: value for name, value in vars(module).items()
            if (inspect.isclass(value) or callable(value)) and not name.startswith("_")
            and getattr(value, "__module__", None) == module.__name__}


def make_twin(module):
    twin = fresh_model(module, module.__name__)
    twin.__file__ = module.__file__
    twin.__doc__ = None  # the model's own docstring says what it models
    assert list(own_objects(twin)) == list(own_objects(module))
    return twin


TWIN_OF = {module: make_twin(module) for module in MODULES}


def routines():
    """(id, real, twin) for every function and method, unbound and bound,
    and for every class (its call signature)."""
    found = []
    for module in MODULES:
        twin = TWIN_OF[module]
        for name, real in own_objects(module).items():
            copy = getattr(twin, name)
            found.append((f"{module.__name__}.{name}", real, copy))
            if not inspect.isclass(real) or issubclass(real, BaseException):
                continue
            for key, member in vars(real).items():
                if callable(member):
                    twin_member = vars(copy)[key]
                    found.append((f"{module.__name__}.{name}.{key}", member, twin_member))
                    # What `instance.method` gives.
                    found.append((f"{module.__name__}.{name}().{key}",
                                  member.__get__(object.__new__(real), real),
                                  twin_member.__get__(object.__new__(copy), copy)))
    return found


ROUTINES = routines()
ROUTINE_IDS = [entry[0] for entry in ROUTINES]
FUNCTIONS = [entry for entry in ROUTINES if not inspect.isclass(entry[1])]
FUNCTION_IDS = [entry[0] for entry in FUNCTIONS]


def outcome(func, *args, **kwargs):
    """The result of a call, or the type and text of what it raised."""
    try:
        return "returned", func(*args, **kwargs)
    except Exception as exc:  # noqa: BLE001  (compared, not handled)
        return "raised", type(exc), str(exc)


@pytest.fixture
def as_twin(monkeypatch):
    """Puts a twin in sys.modules under its name, as inspect and pydoc look
    modules up there."""
    def install(module):
        twin = TWIN_OF[module]
        monkeypatch.setitem(sys.modules, module.__name__, twin)
        return twin
    return install


class TestSignatures:
    @pytest.mark.parametrize("name, real, twin", ROUTINES, ids=ROUTINE_IDS)
    def test_names_and_docstring_are_the_models(self, name, real, twin):
        for attribute in ("__name__", "__qualname__", "__doc__"):
            assert getattr(real, attribute) == getattr(twin, attribute), attribute

    @pytest.mark.parametrize("name, real, twin", ROUTINES, ids=ROUTINE_IDS)
    def test_signature_equals_the_python_one(self, name, real, twin):
        signature = outcome(inspect.signature, real)
        assert signature == outcome(inspect.signature, twin)
        if signature[0] == "returned":
            assert str(signature[1]) == str(inspect.signature(twin))

    @pytest.mark.parametrize("name, real, twin", ROUTINES, ids=ROUTINE_IDS)
    def test_argspec_and_annotations_equal_the_python_ones(self, name, real, twin):
        assert outcome(inspect.getfullargspec, real) == outcome(inspect.getfullargspec, twin)
        if not inspect.isclass(real):
            assert real.__annotations__ == twin.__annotations__
            assert real.__defaults__ == twin.__defaults__
            assert real.__kwdefaults__ == twin.__kwdefaults__
        if hasattr(inspect, "get_annotations"):
            assert inspect.get_annotations(real) == inspect.get_annotations(twin)

    @pytest.mark.parametrize("name, real, twin", FUNCTIONS, ids=FUNCTION_IDS)
    def test_annotation_texts_resolve_in_the_module(self, name, real, twin, as_twin):
        # typing evaluates the texts in the function's module namespace; the
        # twin's namespace holds the same objects, so both resolve alike.
        assert outcome(typing.get_type_hints, real) == outcome(typing.get_type_hints, twin)

    @pytest.mark.parametrize("name, real, twin", FUNCTIONS, ids=FUNCTION_IDS)
    def test_code_object_has_the_parameters_and_locals_of_the_def(self, name, real, twin):
        real_code, twin_code = real.__code__, twin.__code__
        assert isinstance(real_code, types.CodeType)
        for attr in ("co_name", "co_argcount", "co_kwonlyargcount", "co_posonlyargcount",
                     "co_qualname"):
            assert getattr(real_code, attr, None) == getattr(twin_code, attr, None), attr
        # The parameters, then the locals that the module names (the model may
        # have more of its own).
        assert real_code.co_varnames == twin_code.co_varnames[:len(real_code.co_varnames)]
        arg_flags = inspect.CO_VARARGS | inspect.CO_VARKEYWORDS
        assert real_code.co_flags & arg_flags == twin_code.co_flags & arg_flags

    @pytest.mark.parametrize("factory, args, keyword", [
        (http.HTTPPipelineFactory, (), "url"),
        (custom.CustomPipelineFactory, ("x {url}",), "url"),
    ])
    def test_keyword_only_parameters_bind_only_by_keyword(self, factory, args, keyword):
        signature = inspect.signature(factory)
        assert signature.parameters[keyword].kind is inspect.Parameter.KEYWORD_ONLY
        bound = signature.bind(*args, url="u", pipeline_watcher=print, on_complete=None)
        assert bound.arguments["url"] == "u"
        with pytest.raises(TypeError):
            signature.bind(*args, "u", print, None)

    def test_timeout_defaults_show_and_apply(self):
        signature = inspect.signature(timing.Timeout)
        assert [p.default for p in signature.parameters.values()] == \
            [inspect.Parameter.empty, True, False]
        assert signature.bind(5).arguments == {"time_seconds": 5}


def render(thing, renderer):
    return pydoc.render_doc(thing, renderer=renderer)


RENDERERS = [pytest.param(pydoc.plaintext, id="text"), pytest.param(pydoc.html, id="html")]


class TestHelp:
    @pytest.mark.parametrize("renderer", RENDERERS)
    @pytest.mark.parametrize("module", MODULES, ids=[m.__name__ for m in MODULES])
    def test_module_help_equals_the_python_module_help(self, module, renderer, as_twin):
        real_text = render(module, renderer)
        twin_text = render(as_twin(module), renderer)
        assert real_text == twin_text

    @pytest.mark.parametrize("module", MODULES, ids=[m.__name__ for m in MODULES])
    def test_module_help_shows_every_signature(self, module):
        text = pydoc.render_doc(module, renderer=pydoc.plaintext)
        assert text.startswith(f"Python Library Documentation: module {module.__name__}")
        for name, real, _ in ROUTINES:
            if real.__module__ != module.__name__ or "()" in name:
                continue
            # Rendered from the signature (3.13 wraps long ones over lines),
            # not as a builtin of unknown parameters.
            short = name.rsplit(".", 1)[-1]
            assert f"{short}(" in text
            assert f"{short}(...)" not in text

    @pytest.mark.parametrize("renderer", RENDERERS)
    @pytest.mark.parametrize("name, real, twin", ROUTINES, ids=ROUTINE_IDS)
    def test_help_of_each_object_equals_the_python_one(self, name, real, twin, renderer, as_twin):
        module = sys.modules[real.__module__]
        real_title, real_body = render(real, renderer).split("\n", 1)
        as_twin(module)
        twin_title, twin_body = render(twin, renderer).split("\n", 1)
        assert real_body == twin_body
        # pydoc names a function in the title only when inspect.isfunction()
        # holds, which needs the interpreter's own function type; ours get
        # "function in module M" instead of "function f in module M".
        if inspect.isfunction(twin) and not inspect.isfunction(real):
            twin_title = twin_title.replace(f"function {twin.__name__} ", "function ")
        assert real_title == twin_title


class TestVersionDependentSurface:
    """Where the function objects' surface depends on the interpreter's
    version, it follows the Python function of the same version."""

    def test_type_flags_of_the_calling_protocol_follow_python_functions(self):
        # Bit 11: instances are called through vectorcall (3.8 on); bit 17:
        # `obj.method()` may call the function unbound (3.8 on).
        mask = (1 << 11) | (1 << 17)
        assert type(tunables.check_tunables).__flags__ & mask == \
            types.FunctionType.__flags__ & mask

    def test_function_attributes_are_those_of_python_functions(self):
        def python_function():
            pass

        for name in ("__builtins__", "__globals__", "__closure__", "__code__", "__defaults__",
                     "__kwdefaults__", "__annotations__", "__dict__", "__module__",
                     "__qualname__", "__name__", "__doc__"):
            assert hasattr(tunables.check_tunables, name) == hasattr(python_function, name), name
        if hasattr(python_function, "__builtins__"):
            assert tunables.check_tunables.__builtins__ is python_function.__builtins__

    def test_name_error_carries_the_name_where_python_does(self):
        namespace = {}
        exec("def check():\n    return InvalidRuntimeOptionError\n", namespace)
        module_dict = vars(tunables)
        saved = dict(module_dict)
        del module_dict["InvalidRuntimeOptionError"]
        try:
            with pytest.raises(NameError) as real:
                tunables.check_tunables({"option": 1}, {})
        finally:
            # Restored in the original order, which other tests check.
            module_dict.clear()
            module_dict.update(saved)
        with pytest.raises(NameError) as python:
            namespace["check"]()
        assert str(real.value) == str(python.value)
        assert getattr(real.value, "name", None) == getattr(python.value, "name", None)

    def test_base_constructor_walk_reaches_builtin_types(self, monkeypatch):
        # With no __init__ between the factory and object, super().__init__ is
        # object's own, found in the dict of a static type (which is reached
        # through another call from 3.12 on).
        import mivelo.pipeline_factories.base as base

        monkeypatch.delattr(base.PipelineFactory, "__init__")
        kwargs = dict(url="u", pipeline_watcher=print, on_complete=None)
        real = outcome(http.HTTPPipelineFactory, **kwargs)
        assert real[0] == "raised"
        assert real == outcome(model_of(http).HTTPPipelineFactory, **kwargs)
        assert outcome(custom.CustomPipelineFactory, "{url}", **kwargs) == real
