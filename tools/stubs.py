"""Writes the .pyi stubs of the four extension modules into src/ostrelpy/bindings.

nanobind's stub generator renders the native functions and classes; the records are pydantic
models created at import, so their fields are written from the models' own annotations and
pydantic's machinery attributes are left out (they change with the pydantic version and tell a
reader nothing).
"""

from __future__ import annotations

import enum
import sys
import types
import typing
from pathlib import Path

import numpy
from nanobind.stubgen import StubGen

MODULES = ("_schema", "expiry_cache", "_engine", "logic")
OUT = Path(__file__).resolve().parent.parent / "src" / "ostrelpy" / "bindings"

# Attributes every pydantic model class carries.
_MACHINERY = {
    "model_config",
    "model_fields",
    "model_computed_fields",
    "__abstractmethods__",
    "__class_vars__",
    "__private_attributes__",
    "__signature__",
}


def _is_model(tp: object) -> bool:
    return isinstance(tp, type) and hasattr(tp, "__pydantic_fields__")


class RecordStubGen(StubGen):
    def type_str(self, tp):
        # Validators and Field() metadata are runtime detail (and print object addresses).
        origin = typing.get_origin(tp)
        if origin is typing.Annotated:
            return self.type_str(typing.get_args(tp)[0])
        if origin is typing.Literal:
            items = ", ".join(map(self._literal, typing.get_args(tp)))
            return f"{self.bind('typing', 'Literal')}[{items}]"
        if origin is numpy.ndarray:
            dtype = typing.get_args(typing.get_args(tp)[1])[0]
            return f"{self.bind('numpy.typing', 'NDArray')}[{self.type_str(dtype)}]"
        return super().type_str(tp)

    def _literal(self, item):
        if isinstance(item, enum.Enum):
            return f"{self.type_str(type(item))}.{item.name}"
        return repr(item)

    def put_value(self, value, name, parent=None, abbrev=True):
        if isinstance(value, types.MappingProxyType):
            proxy = self.bind("types", "MappingProxyType")
            self.write_ln(
                f"{name}: {proxy}[str, {self.type_str(type(next(iter(value.values()))))}]\n"
            )
            return
        if typing.get_origin(value) in (typing.Annotated, numpy.ndarray):
            alias = self.bind("typing", "TypeAlias")
            self.write_ln(f"{name}: {alias} = {self.type_str(value)}\n")
            return
        return super().put_value(value, name, parent, abbrev)

    def put(self, value, name=None, parent=None):
        if _is_model(parent) and name and (name in _MACHINERY or name.startswith("__pydantic")):
            return
        super().put(value, name, parent)

    def apply_pattern(self, query, value):
        if query.endswith(".__prefix__"):
            tp = self.stack[-1] if self.stack else None
            if _is_model(tp) and tp.__module__ == self.module.__name__:
                own = tp.__dict__.get("__annotations__", {})
                for field, annotation in own.items():
                    if field in tp.__pydantic_fields__:
                        self.write_ln(f"{field}: {self.type_str(annotation)}")
                if own:
                    self.write("\n")
        return super().apply_pattern(query, value)


def generate(name: str) -> str:
    module = __import__(f"ostrelpy.bindings.{name}", fromlist=[name])
    # _schema re-exports pydantic's names; the others import only what they use.
    gen = RecordStubGen(
        module,
        include_docstrings=True,
        include_private=False,
        include_external_imports=name == "_schema",
    )
    gen.put(module)
    return gen.get()


def main() -> int:
    for name in MODULES:
        (OUT / f"{name}.pyi").write_text(generate(name), encoding="utf-8")
    (OUT / "py.typed").touch()
    return 0


if __name__ == "__main__":
    sys.exit(main())
