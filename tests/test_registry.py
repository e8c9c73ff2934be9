"""The function registry: stubs versus real user functions."""

import numpy as np
import pytest

from tessaline.functions import builtins as B
from tessaline.functions._typed_shapes import FunctionState
from tessaline.functions.registry import FunctionRegistry, default_registry

class Doubler:
    stateful = True

    def __init__(self, scale=2.0):
        self.scale = scale
        self.calls = 0

    def __call__(self, row, context=None):
        self.calls += 1
        return np.asarray(row, dtype=np.float64) * self.scale

    def get_state(self):
        return {"count": self.calls}

    def set_state(self, data):
        self.calls = data["count"]


@pytest.mark.parametrize("name", [None, 3, ["x"], {"a": 1}, "unknown_fn"])
def test_unknown_names(name):
    reg = default_registry()
    assert reg.has(name) is False and reg.has_factory(name) is False
    with pytest.raises(KeyError):
        reg.get_entry(name)


def test_register_user_function_and_resume():
    reg = FunctionRegistry()
    entry = reg.register("doubler_x", Doubler, param_schema={"scale": {"type": "float"}},
                         family="custom", version="7")
    assert reg.has_factory("doubler_x") and entry.stateful is True
    assert entry.class_name == "Doubler" and entry.module_path == __name__
    inst = reg.create_instance("doubler_x", scale=3.0)
    np.testing.assert_array_equal(inst(np.array([1.0, 2.0])), [3.0, 6.0])
    state = FunctionState("doubler_x", reg.get_function_version("doubler_x"), inst.get_state())
    assert state.function_version == "7"
    again = reg.create_instance_from_state("doubler_x", state, scale=3.0)
    assert again.calls == 1
    with pytest.raises(ValueError, match="already registered"):
        reg.register("doubler_x", Doubler)
    reg.register("doubler_x", Doubler, replace=True, stateful=False)
    assert reg.get_entry("doubler_x").stateful is False


def test_register_rejects_bad_input_and_stateless_resume():
    reg = FunctionRegistry()
    with pytest.raises(TypeError, match="must be callable"):
        reg.register("f", 3)
    with pytest.raises(TypeError, match="non-empty str"):
        reg.register("", Doubler)
    reg.register("plain", lambda: (lambda row, context=None: row))
    with pytest.raises(TypeError, match="cannot resume from a state"):
        reg.create_instance_from_state("plain", {"count": 1})


def test_stub_refuses_unknown_config():
    reg = default_registry()
    with pytest.raises(TypeError, match=r"unknown parameter\(s\): pnl_column"):
        reg.create_instance(B.ROLLING_MEAN, window=3, pnl_column="gross_returns")
    inst = reg.create_instance(B.SHARPE, window=3, stat_name="sortino",
                               pnl_column="net_returns")
    assert inst.stat_name == "sortino" and inst.pnl_column == "net_returns"
