"""Filtrations, table-driven: the extraction of the passing signals' weights (bits, layouts,
error order), and the filtration engine."""

import types
import warnings

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

from tessaline.functions.filtrations import FiltrationInstance
from tessaline.functions.filtrations_evaluation import EmptyFiltrationError, EmptyPoolError, FilterNode
from tessaline.simulator_engine._types import UsefulSignal

# ---------------------------------------------------------------------------------------
# Weights extraction.


def sig(weights):
    return types.SimpleNamespace(weights=weights)


def pool(**extra):
    rng = np.random.default_rng(7)
    return {name: sig(rng.standard_normal((250, 40))) for name in "abcd"} | extra


def test_rows_follow_the_passing_ids(ee):
    signals = pool(one=sig(np.arange(250.0).reshape(250, 1)), **{"None": sig(np.ones((250, 40)))})
    signals[None] = signals.pop("None")
    ids = ["c", "a", "d", "c", np.str_("b"), None, "one"]
    out = ee.extract_filtration_weights(signals, ids, 249)
    assert out.shape == (7, 40) and out.dtype == np.float64 and out.flags.c_contiguous
    np.testing.assert_array_equal(out, np.stack([np.broadcast_to(signals[k].weights[249], 40) for k in ids]))
    assert not np.shares_memory(out, signals["c"].weights)
    assert (ee.extract_filtration_weights(signals, ["a"], np.int64(3))[0] == signals["a"].weights[3]).all()
    for useful, shape in (({}, (0, 0)), (None, (0, 0)), ({"a": sig(np.zeros((250, 40)))}, (0, 40))):
        for empty in ([], (), None):
            assert ee.extract_filtration_weights(useful, empty, 10 ** 6).shape == shape
    w = np.array([[np.nan, -0.0, np.inf, -np.inf, 5e-324]] * 2)
    w[1, 0] = np.frombuffer(np.uint64(0x7FF8000000000123).tobytes(), np.float64)[0]
    assert ee.extract_filtration_weights({"a": sig(w)}, ["a", "a"], 1).tobytes() == np.stack([w[1], w[1]]).tobytes()


class Shifty(list):
    """Ids whose second item changes between the check and the copy."""

    def __getitem__(self, index):
        return 7 if index == 1 else list.__getitem__(self, index)


BROKEN = type("Broken", (), {"weights": property(lambda self: (_ for _ in ()).throw(RuntimeError("weights broke")))})


@pytest.mark.parametrize("useful, ids, t, error, match", [
    *[(pool(), ["a", "b"], t, IndexError, f"^t={t} out of bounds for weights array with valid range \\[0, 250\\)$")
      for t in (250, -1, 1000, -(2 ** 31))],
    *[(pool(), ["a", "b"], t, error, None) for t, error in [(2 ** 31, OverflowError), (-(2 ** 31) - 1, OverflowError),
                                                            (1.0, TypeError), ("1", TypeError), (None, TypeError)]],
    (pool(), ["a", 7], 1, TypeError, "^Expected str, got int$"), (pool(), ["a", b"a"], 1, TypeError, "bytes$"),
    (pool(), ["a", ("a",)], 1, TypeError, "tuple$"), (pool(), Shifty(["a", "b"]), 0, TypeError, "int$"),
    # ids are checked one by one, in order; None passes the type check
    (pool(), ["a", 7, "missing"], 1, TypeError, None), (pool(), ["a", "missing", 7], 1, KeyError, "^'missing'$"),
    (pool(), ["a", None], 1, KeyError, "^None$"),
    # the first id is looked up before the bounds check; a non-str key reaches the bounds check first
    (pool(), ["missing"], 10 ** 6, KeyError, None), ({5: sig(np.zeros((3, 40)))}, [5], 3, IndexError, r"\[0, 3\)"),
    ({5: sig(np.zeros((3, 40)))}, [5], 1, TypeError, None),
    # dimensions come from the first signal; the others are assigned as NumPy does
    (pool(short=sig(np.ones((2, 40)))), ["a", "short"], 3, IndexError, None),
    (pool(wide=sig(np.ones((250, 41)))), ["a", "wide"], 1, ValueError, None),
    ({"z": sig(None)}, ["z"], 0, AttributeError, None),
    ({"z": sig(np.zeros(4))}, ["z"], 0, ValueError, "not enough values to unpack"),
    ({"z": sig(np.zeros((2, 2, 2)))}, ["z"], 0, ValueError, "too many values to unpack"),
    ({"z": object()}, ["z"], 0, AttributeError, None), ({"z": BROKEN()}, ["z"], 0, RuntimeError, "weights broke"),
    ({"z": BROKEN()}, [], 0, RuntimeError, "weights broke"),
])
def test_extraction_errors_in_their_order(ee, useful, ids, t, error, match):
    with pytest.raises(error, match=match):
        ee.extract_filtration_weights(useful, ids, t)


@pytest.mark.parametrize("make", [
    lambda w: w.astype(np.float32), lambda w: w.astype(np.int64), lambda w: w.astype(">f8"), np.asfortranarray,
    lambda w: w[:, ::-1], lambda w: w.astype(object), lambda w: w.astype(np.float16), np.ma.masked_array,
    lambda w: w.tolist(), lambda w: w * (1 + 2j)])
def test_other_layouts_and_dtypes_match_numpy_row_assignment(ee, make):
    base = (np.arange(60, dtype=np.float64).reshape(6, 10) - 30.5) / 3.0
    weights = make(base)
    expected = np.empty((2, 10))
    with warnings.catch_warnings(record=True) as numpy_warned:
        warnings.simplefilter("always")
        expected[0], expected[1] = base[4], weights[4]
    with warnings.catch_warnings(record=True) as warned:
        warnings.simplefilter("always")
        out = ee.extract_filtration_weights({"ref": sig(base), "x": sig(weights)}, ["ref", "x"], 4)
    assert out.tobytes() == expected.tobytes() and bool(warned) == bool(numpy_warned)


# ---------------------------------------------------------------------------------------
# The filtration engine.


def F(name, children=(), **params):
    return FilterNode(function_name=name, params=params, children=list(children))


POOL = {
    "s3": UsefulSignal(metadata={"sharpe": 1.2, "family": "momentum", "turnover": 0.3}),
    "s1": UsefulSignal(metadata={"sharpe": 0.4, "family": "value", "turnover": 0.1}),
    "s2": UsefulSignal(metadata={"sharpe": 2.0, "family": "momentum", "turnover": 0.9}),
    "s4": UsefulSignal(metadata={"sharpe": float("nan"), "family": "carry"}),
    "s5": UsefulSignal(metadata={"sharpe": 1.2, "family": "value", "turnover": None}),
    "s6": UsefulSignal(metadata=None),
}


@pytest.mark.parametrize("tree, expected", [
    (F("gte", field="sharpe", value=1.2), ["s3", "s2", "s5"]), (F("lt", field="sharpe", value=1.2), ["s1"]),
    (F("lte", field="turnover", value=0.3), ["s3", "s1"]), (F("eq", field="family", value="value"), ["s1", "s5"]),
    (F("neq", field="family", value="value"), ["s3", "s2", "s4"]),
    (F("between", field="sharpe", low=0.4, high=1.2), ["s3", "s1", "s5"]),
    (F("in_", field="family", values=["carry", "value"]), ["s1", "s4", "s5"]),
    (F("bottom_n", field="sharpe", n=2), ["s3", "s1"]), (F("top_n", field="sharpe", n=10), ["s3", "s1", "s2", "s5"]),
    (F("top_pct", field="sharpe", pct=0.5), ["s3", "s2"]), (F("bottom_pct", field="sharpe", pct=0.3), ["s1", "s3"]),
    (F("top_pct", field="sharpe", pct=0.0001), ["s2"]),  # ceil over the numeric values only
    (F("or_", [F("eq", field="family", value="carry"), F("top_n", field="turnover", n=1)]), ["s2", "s4"]),
    (F("not_", [F("eq", field="family", value="momentum")]), ["s1", "s4", "s5", "s6"]),
])
def test_engine_operators(tree, expected):
    assert FiltrationInstance(F("filtration", [tree]))(POOL) == [sid for sid in POOL if sid in expected]


@pytest.mark.parametrize("tree, error, message", [
    (F("gt", value=1.0), ValueError, "missing its 'field' parameter"),
    (F("between", field="sharpe", low=1.0), ValueError, "missing its 'high' parameter"),
    (F("in_", field="family"), ValueError, "missing its 'values' parameter"),
    (F("top_pct", field="sharpe", pct=20.0), ValueError, r"pct in \[0, 1\]"),
    (F("top_n", field="sharpe", n=1.5), ValueError, "non-negative int n"),
    (F("xor_"), ValueError, "Unknown filter operator 'xor_'"), (F("and_", ["nope"]), TypeError, "not a FilterNode"),
    (F("gt", field="family", value=1.0), EmptyFiltrationError, None),  # str vs number never matches
])
def test_engine_refusals(tree, error, message):
    with pytest.raises(error, match=message):
        FiltrationInstance(F("filtration", [tree]))(POOL)


def test_engine_pool_order_and_diagnostics():
    assert FiltrationInstance(F("filtration"))(POOL) == list(POOL)
    with pytest.raises(TypeError):
        FiltrationInstance({"function_name": "gt"})
    with pytest.raises(EmptyPoolError) as info:
        FiltrationInstance(F("filtration"))({})
    assert info.value.filter_diagnostics == {"passing_count": 0, "pool_size": 0}
    with pytest.raises(EmptyFiltrationError) as info:
        FiltrationInstance(F("filtration", [F("and_", [F("gt", field="sharpe", value=1.5),
                                                        F("eq", field="family", value="value")])]))(POOL)
    diag = info.value.filter_diagnostics
    assert diag["passing_count"] == 0 and diag["pool_size"] == len(POOL)
    assert [(x["operator"], x["passing_count"]) for x in diag["steps"]] == [("gt", 1), ("eq", 2), ("and_", 0),
                                                                              ("filtration", 0)]


@settings(max_examples=150, deadline=None)
@given(values=st.lists(st.one_of(st.none(), st.floats(-5, 5), st.just(float("nan")), st.integers(-5, 5),
                                 st.sampled_from(["a", "b"])), min_size=1, max_size=12),
       threshold=st.floats(-5, 5), n=st.integers(0, 14))
def test_engine_against_brute_force(values, threshold, n):
    pool = {f"s{k}": UsefulSignal(metadata={"x": v}) for k, v in enumerate(values)}

    def number(v):
        return None if v is None or isinstance(v, str) or v != v else float(v)

    def select(tree):
        try:
            return FiltrationInstance(F("filtration", [tree]))(pool)
        except EmptyFiltrationError:
            return []

    numeric = [(sid, number(x.metadata["x"])) for sid, x in pool.items() if number(x.metadata["x"]) is not None]
    gt = [sid for sid, v in numeric if v > threshold]
    top = {sid for sid, _ in sorted(numeric, key=lambda p: -p[1])[:n]}
    assert select(F("gt", field="x", value=threshold)) == gt
    assert select(F("not_", [F("gt", field="x", value=threshold)])) == [sid for sid in pool if sid not in gt]
    assert select(F("top_n", field="x", n=n)) == [sid for sid in pool if sid in top]
    assert select(F("and_", [F("top_n", field="x", n=n), F("gt", field="x", value=threshold)])) == [
        sid for sid in pool if sid in top and sid in gt]
