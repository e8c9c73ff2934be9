"""What the expression evaluator calls on a function registry and on function instances."""

from __future__ import annotations

from typing import Any, Protocol, runtime_checkable


@runtime_checkable
class FunctionInstanceProtocol(Protocol):
    """A function instance: called once per row, returns a (N_alloc,) float64 row."""

    stateful: bool

    def __call__(self, *args: Any, **kwargs: Any) -> Any: ...

    def get_state(self) -> Any: ...


@runtime_checkable
class RegistryProtocol(Protocol):
    """A function registry: knows function names, their entries, and creates instances."""

    def has(self, name: str) -> bool: ...

    def get_entry(self, name: str) -> Any: ...

    def has_factory(self, name: str) -> bool: ...

    def create_instance(self, name: str, **config: Any) -> FunctionInstanceProtocol: ...

    def create_instance_from_state(self, name: str, state: Any,
                                   **config: Any) -> FunctionInstanceProtocol: ...

    def get_function_version(self, name: str) -> Any: ...
