"""The function registry: names, entries and instances of the functions a graph may call.

Two kinds of entries live here:

* stubs: known and instantiable, but without any implementation metadata.  The built-in
  library is registered this way by ``default_registry()``; the evaluator's vectorised fast
  paths may stand in for a stub because its behaviour is fixed and known to them.
* real functions: registered with ``register(name, factory, ...)``.  Their entries expose
  ``factory``, ``implementation``, ``module_path`` and ``class_name``, ``has_factory`` is true,
  and the evaluator always calls them row by row.
"""

from __future__ import annotations

from typing import Any, Callable, Dict, Iterator, Mapping, Optional

__all__ = ["FunctionEntry", "ImplementedFunctionEntry", "FunctionRegistry", "default_registry"]


class FunctionEntry:
    """What the registry knows about one function (a stub: no implementation metadata)."""

    def __init__(self, name: str, *, param_schema: Optional[Mapping[str, Any]] = None,
                 family: str = "", stateful: bool = False, version: str = "1",
                 description: str = "", required: tuple = ()):
        self.name = name
        self.param_schema = dict(param_schema) if param_schema is not None else {}
        self.family = family
        self.stateful = bool(stateful)
        self.version = version
        self.description = description
        self.required = tuple(required)

    def __repr__(self) -> str:
        return (f"{type(self).__name__}(name={self.name!r}, family={self.family!r}, "
                f"stateful={self.stateful!r}, version={self.version!r})")


class ImplementedFunctionEntry(FunctionEntry):
    """An entry backed by a user factory; the evaluator never replaces it by a fast path."""

    def __init__(self, name: str, factory: Callable[..., Any], **kwargs: Any):
        super().__init__(name, **kwargs)
        self.factory = factory
        self.implementation = factory
        self.module_path = getattr(factory, "__module__", None)
        self.class_name = getattr(factory, "__qualname__", None) or type(factory).__qualname__


def _state_payload(state: Any) -> Any:
    """The payload of a carried state: a ``FunctionState``'s ``data``, or the object itself."""
    return getattr(state, "data", state)


class FunctionRegistry:
    """Function name -> entry, with the six calls the expression evaluator makes."""

    def __init__(self) -> None:
        self._entries: Dict[str, FunctionEntry] = {}
        # constructors of stubs: name -> callable(**config) -> instance
        self._stub_constructors: Dict[str, Callable[..., Any]] = {}

    # -- lookup ---------------------------------------------------------------------------
    def has(self, name: Any) -> bool:
        try:
            return name in self._entries
        except TypeError:  # unhashable names are simply unknown
            return False

    def get_entry(self, name: str) -> FunctionEntry:
        try:
            return self._entries[name]
        except (KeyError, TypeError):
            raise KeyError(f"Unknown function {name!r}") from None

    def has_factory(self, name: Any) -> bool:
        if not self.has(name):
            return False
        return getattr(self._entries[name], "factory", None) is not None

    def get_function_version(self, name: str) -> Any:
        return self.get_entry(name).version

    def names(self) -> list:
        return sorted(self._entries)

    def __contains__(self, name: Any) -> bool:
        return self.has(name)

    def __iter__(self) -> Iterator[str]:
        return iter(sorted(self._entries))

    def __len__(self) -> int:
        return len(self._entries)

    # -- registration ---------------------------------------------------------------------
    def register(self, name: str, factory: Callable[..., Any], *,
                 param_schema: Optional[Mapping[str, Any]] = None, family: str = "",
                 stateful: Optional[bool] = None, version: str = "1", description: str = "",
                 required: tuple = (), replace: bool = False) -> ImplementedFunctionEntry:
        """Register a user function; ``factory(**config)`` makes its instances.

        ``stateful`` defaults to the factory's own ``stateful`` attribute.  ``required`` names
        parameters that every instance needs; other configuration is checked by the factory
        itself.  For carried states the factory may offer ``from_state(data, **config)``;
        otherwise the instance made by ``factory(**config)`` must offer ``set_state(data)``.
        """
        self._check_new(name, replace)
        if not callable(factory):
            raise TypeError(f"factory of {name!r} must be callable; got {type(factory).__name__}")
        if stateful is None:
            stateful = bool(getattr(factory, "stateful", False))
        entry = ImplementedFunctionEntry(name, factory, param_schema=param_schema, family=family,
                                         stateful=stateful, version=version,
                                         description=description, required=required)
        self._entries[name] = entry
        self._stub_constructors.pop(name, None)
        return entry

    def register_stub(self, entry: FunctionEntry, constructor: Callable[..., Any], *,
                      replace: bool = False) -> FunctionEntry:
        """Register a function whose behaviour is fixed and known (no implementation metadata)."""
        self._check_new(entry.name, replace)
        self._entries[entry.name] = entry
        self._stub_constructors[entry.name] = constructor
        return entry

    def _check_new(self, name: Any, replace: bool) -> None:
        if not isinstance(name, str) or not name:
            raise TypeError(f"function name must be a non-empty str; got {name!r}")
        if name in self._entries and not replace:
            raise ValueError(f"Function {name!r} is already registered")

    # -- instances ------------------------------------------------------------------------
    def _constructor(self, name: str) -> Callable[..., Any]:
        entry = self.get_entry(name)
        factory = getattr(entry, "factory", None)
        return factory if factory is not None else self._stub_constructors[name]

    def _check_config(self, name: str, config: Dict[str, Any]) -> None:
        """Stubs accept only their schema's parameters; every entry needs its required ones."""
        entry = self.get_entry(name)
        allowed = entry.param_schema
        unknown = sorted(k for k in config if k not in allowed)
        if unknown and not getattr(entry, "factory", None):
            raise TypeError(f"Function {name!r} got unknown parameter(s): {', '.join(unknown)}"
                            f" (accepts: {', '.join(sorted(allowed)) or 'none'})")
        missing = [k for k in entry.required if k not in config]
        if missing:
            raise TypeError(f"Function {name!r} requires parameter(s): {', '.join(missing)}")

    def create_instance(self, name: str, **config: Any) -> Any:
        self._check_config(name, config)
        return self._constructor(name)(**config)

    def create_instance_from_state(self, name: str, state: Any, **config: Any) -> Any:
        self._check_config(name, config)
        constructor = self._constructor(name)
        data = _state_payload(state)
        from_state = getattr(constructor, "from_state", None)
        if from_state is not None:
            return from_state(data, **config)
        instance = constructor(**config)
        set_state = getattr(instance, "set_state", None)
        if set_state is None:
            raise TypeError(f"Function {name!r} cannot resume from a state: its instances have "
                            f"no set_state and its factory has no from_state")
        set_state(data)
        return instance


def default_registry(*, as_stubs: bool = True) -> FunctionRegistry:
    """A new registry holding the built-in library.

    Parameters
    ----------
    as_stubs : bool, default True
        Register the built-ins as stubs, so that the evaluator's fast paths may evaluate
        them; False registers them as real factories, which forces every graph that calls
        them onto the general row-by-row path.

    Returns
    -------
    FunctionRegistry
        A registry of its own: functions registered into it reach no other registry.
    """
    from tessaline.functions import builtins

    registry = FunctionRegistry()
    for b in builtins.BUILTINS.values():
        fields = dict(param_schema=b.param_schema, family=b.family, stateful=b.stateful,
                      version=b.version, description=b.description, required=b.required)
        if as_stubs:
            registry.register_stub(FunctionEntry(b.name, **fields), b.cls)
        else:
            registry.register(b.name, b.cls, **fields)
    return registry
