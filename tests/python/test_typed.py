"""What help() and type checkers see: a docstring on every public thing, annotations on every
public function, and stubs of the compiled part that name its parameters as it does."""
import ast
import inspect
import pathlib
import re

import ambrevo
from ambrevo import _ambrevo

PACKAGE = pathlib.Path(ambrevo.__file__).parent


def public_members():
    """Every function, class, method and property help(ambrevo) shows, by name."""
    for name in ambrevo.__all__:
        item = getattr(ambrevo, name)
        if inspect.isclass(item) or callable(item):
            yield name, item
        if inspect.isclass(item) and not issubclass(item, Warning):
            for member, value in vars(item).items():
                if inspect.isfunction(value) or isinstance(value, property):
                    if not member.startswith("_") or member.endswith("__"):
                        yield f"{name}.{member}", value


def test_everything_help_shows_has_a_docstring_and_every_function_annotations():
    members = dict(public_members())
    assert {"track", "link", "to_frame", "Tracker.process", "Procedure.values", "Procedure.__init__"} <= set(members)
    undocumented = [name for name, item in members.items() if not (item.__doc__ or "").strip()]
    assert not undocumented
    for name, item in members.items():
        if not inspect.isfunction(item):
            continue
        signature = inspect.signature(item)
        bare = [p for p in list(signature.parameters.values())[1 if "." in name else 0:]
                if p.annotation is inspect.Parameter.empty and p.kind is not p.VAR_POSITIONAL]
        assert not bare and (signature.return_annotation is not inspect.Parameter.empty
                             or name.endswith("__init__")), (name, bare)
    assert (PACKAGE / "py.typed").exists()


def runtime_parameters(item):
    """The parameter names pybind11 gives a function: the first line of its docstring."""
    first = item.__doc__.splitlines()[0]
    inside = first[first.index("(") + 1:first.rindex(")")]
    return [name for name in re.findall(r"(?:^|, )(\w+):", re.sub(r"\[[^\]]*\]", "", inside)) if name != "self"]


def stubbed(tree):
    """Each function of the stub with its parameter names, methods as Class.method."""
    for node in tree.body:
        if isinstance(node, ast.FunctionDef):
            yield node.name, [a.arg for a in node.args.args]
        if isinstance(node, ast.ClassDef):
            for method in node.body:
                if isinstance(method, ast.FunctionDef) and not method.decorator_list:
                    yield f"{node.name}.{method.name}", [a.arg for a in method.args.args if a.arg != "self"]


def test_the_stubs_name_the_extensions_parameters():
    stubs = dict(stubbed(ast.parse((PACKAGE / "_ambrevo.pyi").read_text())))
    compiled = {name for name, item in vars(_ambrevo).items() if callable(item) and not name.startswith("_")}
    assert compiled <= {name.split(".")[0] for name in stubs}
    for name, parameters in stubs.items():
        item = _ambrevo
        for part in name.split("."):
            item = getattr(item, part)
        if name.endswith("__init__") and not parameters:
            continue
        assert runtime_parameters(item) == parameters, name
