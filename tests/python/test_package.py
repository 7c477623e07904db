"""The package: re-exports, version, and type stubs that match the runtime."""

import ast
import inspect
import pathlib
import re
import types

import pytest

import velmorquist_proxy

PACKAGE_DIR = pathlib.Path(velmorquist_proxy.__file__).parent
STUB = ast.parse((PACKAGE_DIR / "_native.pyi").read_text(encoding="utf-8"))
STUB_CLASSES = {node.name: node for node in STUB.body if isinstance(node, ast.ClassDef)}


GATEWAY_NAMES = ["Gateway", "Provider", "ProviderSpec", "Attempt", "AttemptRecord",
                 "ProviderFailure", "AllProvidersFailed", "GatewayEvent", "classify_failure",
                 "HostState", "FleetState", "StreamInterrupted", "StreamStalled"]


def test_package_reexports_the_native_objects(native):
    # The native names first and unchanged, then the gateway written over them.
    assert velmorquist_proxy.__all__ == native.__all__ + GATEWAY_NAMES
    for name in GATEWAY_NAMES:
        assert getattr(velmorquist_proxy, name).__module__.startswith("velmorquist_proxy.")
    assert issubclass(velmorquist_proxy.AllProvidersFailed, native.ProxyError)
    for name in native.__all__:
        # The very same object: no wrapper sits between a caller and the module.
        assert getattr(velmorquist_proxy, name) is getattr(native, name)
    assert re.fullmatch(r"\d+\.\d+\.\d+", velmorquist_proxy.__version__)
    assert (PACKAGE_DIR / "py.typed").is_file()


def test_every_module_of_the_package_imports():
    import importlib
    import pkgutil
    names = [info.name for info in pkgutil.walk_packages(velmorquist_proxy.__path__,
                                                         "velmorquist_proxy.")]
    assert "velmorquist_proxy.fleet" in names
    for name in names:
        if name.endswith("__main__"):
            continue   # runs the command line
        importlib.import_module(name)


def test_stub_declares_exactly_the_published_names(native):
    assert set(STUB_CLASSES) == set(native.__all__)
    assert any(
        isinstance(node, ast.AnnAssign) and node.target.id == "__all__" for node in STUB.body
    )


EXCEPTIONS = [name for name in STUB_CLASSES if name.endswith("Error")]
CLASSES = [name for name in STUB_CLASSES if name not in EXCEPTIONS]


@pytest.mark.parametrize("name", EXCEPTIONS)
def test_stub_exception_bases(native, name):
    (base,) = STUB_CLASSES[name].bases
    expected = Exception if base.id == "Exception" else getattr(native, base.id)
    assert getattr(native, name).__bases__ == (expected,)
    assert STUB_CLASSES[name].decorator_list == []  # exceptions may be subclassed


def stub_members(name):
    """{member name: FunctionDef} of a stub class."""
    return {
        node.name: node
        for node in STUB_CLASSES[name].body
        if isinstance(node, ast.FunctionDef)
    }


def decorator_names(function):
    return {node.id for node in function.decorator_list if isinstance(node, ast.Name)}


def runtime_members(cls):
    """Public members and the protocol methods a class defines itself."""
    return {
        member
        for member in vars(cls)
        if not member.startswith("_") or member in ("__len__", "__bool__")
    }


def stub_parameters(function, static):
    arguments = function.args
    assert not (arguments.posonlyargs or arguments.vararg or arguments.kwonlyargs
                or arguments.kwarg), function.name
    names = [argument.arg for argument in arguments.args]
    defaults = [inspect.Parameter.empty] * (len(names) - len(arguments.defaults)) + [
        ast.literal_eval(default) for default in arguments.defaults
    ]
    pairs = list(zip(names, defaults))
    return pairs if static else pairs[1:]  # drop self / cls


def runtime_parameters(callable_object, static):
    parameters = list(inspect.signature(callable_object).parameters.values())
    if not static:
        parameters = parameters[1:]
    for parameter in parameters:
        assert parameter.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD, parameter
    return [(parameter.name, parameter.default) for parameter in parameters]


def same_doc(stub_node, runtime_doc):
    assert (ast.get_docstring(stub_node) or "") == inspect.cleandoc(runtime_doc or "")


@pytest.mark.parametrize("name", CLASSES)
def test_stub_class_matches_runtime(native, name):
    cls = getattr(native, name)
    stub = stub_members(name)
    assert "final" in decorator_names(STUB_CLASSES[name])
    same_doc(STUB_CLASSES[name], cls.__doc__)

    # A constructor exactly where the runtime has a text signature.
    if cls.__text_signature__ is None:
        assert "__new__" not in stub
    else:
        assert stub_parameters(stub.pop("__new__"), static=False) == runtime_parameters(
            cls, static=True
        )
    assert set(stub) == runtime_members(cls)

    for member, function in stub.items():
        raw = vars(cls)[member]
        kinds = decorator_names(function)
        if isinstance(raw, types.GetSetDescriptorType):
            assert kinds == {"property"}, member
            same_doc(function, raw.__doc__)
            continue
        static = isinstance(raw, staticmethod)
        assert kinds == ({"staticmethod"} if static else set()), member
        if member.startswith("__"):
            continue  # slot wrappers carry no text signature of ours
        bound = getattr(cls, member)
        assert stub_parameters(function, static) == runtime_parameters(bound, static), member
        same_doc(function, bound.__doc__)
