"""The type stubs shipped beside the extension modules describe what the modules export."""

import ast
import importlib
from pathlib import Path

import pytest

import ostrelpy.bindings

BINDINGS = Path(ostrelpy.bindings.__file__).parent
MODULES = ["_engine", "logic", "expiry_cache", "_schema"]


def stub_names(name):
    tree = ast.parse((BINDINGS / f"{name}.pyi").read_text(encoding="utf-8"))
    names = set()
    for node in tree.body:
        if isinstance(node, (ast.FunctionDef, ast.ClassDef)):
            names.add(node.name)
        elif isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
            names.add(node.target.id)
        elif isinstance(node, ast.Assign):
            names.update(t.id for t in node.targets if isinstance(t, ast.Name))
        elif isinstance(node, (ast.Import, ast.ImportFrom)):
            names.update((a.asname or a.name).split(".")[0] for a in node.names)
    return names


def test_the_package_is_typed():
    assert (BINDINGS / "py.typed").is_file()


@pytest.mark.parametrize("name", MODULES)
def test_every_public_name_of_a_module_is_in_its_stub(name):
    module = importlib.import_module(f"ostrelpy.bindings.{name}")
    public = {n for n in vars(module) if not n.startswith("_")}
    assert public - stub_names(name) == set()


def test_compute_methods_publish_their_parameters():
    tree = ast.parse((BINDINGS / "_engine.pyi").read_text(encoding="utf-8"))
    params = {}
    for node in tree.body:
        if isinstance(node, ast.ClassDef):
            for item in node.body:
                if isinstance(item, ast.FunctionDef) and item.name == "compute":
                    params[node.name] = [a.arg for a in item.args.args + item.args.kwonlyargs]
    assert params["Divide"] == ["self", "timeline", "numerator", "denominator"]
    assert params["Clip"] == ["self", "timeline", "input", "minimum", "maximum"]
    assert len(params) == 11
