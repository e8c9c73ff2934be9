"""The filtration engine over FilterNode trees."""

import math

import pytest

from tessaline.functions.filtrations import FiltrationInstance
from tessaline.functions.filtrations_evaluation import (EmptyFiltrationError, EmptyPoolError,
                                                        FilterNode)
from tessaline.simulator_engine._types import UsefulSignal


def F(op, children=(), **params):
    return FilterNode(function_name=op, params=params, children=list(children))


POOL = {
    "s3": UsefulSignal(metadata={"sharpe": 1.2, "family": "momentum", "turnover": 0.3}),
    "s1": UsefulSignal(metadata={"sharpe": 0.4, "family": "value", "turnover": 0.1}),
    "s2": UsefulSignal(metadata={"sharpe": 2.0, "family": "momentum", "turnover": 0.9}),
    "s4": UsefulSignal(metadata={"sharpe": float("nan"), "family": "carry"}),
    "s5": UsefulSignal(metadata={"sharpe": 1.2, "family": "value", "turnover": None}),
    "s6": UsefulSignal(metadata=None),
}


def run(tree):
    return FiltrationInstance(F("filtration", [tree]))(POOL)


# (gt, top_n, not_ and and_ over any values: the brute-force comparison below)
@pytest.mark.parametrize("tree,expected", [
    (F("gte", field="sharpe", value=1.2), ["s3", "s2", "s5"]),
    (F("lt", field="sharpe", value=1.2), ["s1"]),
    (F("lte", field="turnover", value=0.3), ["s3", "s1"]),
    (F("eq", field="family", value="value"), ["s1", "s5"]),
    (F("neq", field="family", value="value"), ["s3", "s2", "s4"]),
    (F("gt", field="family", value=1.0), []),  # str vs number never matches
    (F("between", field="sharpe", low=0.4, high=1.2), ["s3", "s1", "s5"]),
    (F("in_", field="family", values=["carry", "value"]), ["s1", "s4", "s5"]),
    (F("bottom_n", field="sharpe", n=2), ["s3", "s1"]),
    (F("top_n", field="sharpe", n=10), ["s3", "s1", "s2", "s5"]),
    (F("top_pct", field="sharpe", pct=0.5), ["s3", "s2"]),
    (F("bottom_pct", field="sharpe", pct=0.3), ["s1", "s3"]),
    (F("and_", [F("eq", field="family", value="momentum"), F("lt", field="turnover", value=0.5)]),
     ["s3"]),
    (F("or_", [F("eq", field="family", value="carry"), F("top_n", field="turnover", n=1)]),
     ["s2", "s4"]),
    (F("not_", [F("eq", field="family", value="momentum")]), ["s1", "s4", "s5", "s6"]),  # s6: no metadata
])
def test_operators(tree, expected):
    if not expected:
        with pytest.raises(EmptyFiltrationError):
            run(tree)
        return
    assert run(tree) == [sid for sid in POOL if sid in expected]


def test_filtration_without_children_passes_all_in_pool_order():
    assert FiltrationInstance(F("filtration"))(POOL) == list(POOL)


def test_top_pct_counts_only_numeric_values():
    # four signals have a numeric sharpe; ceil(0.3 * 4) = 2
    assert len(run(F("top_pct", field="sharpe", pct=0.3))) == 2
    assert run(F("top_pct", field="sharpe", pct=0.0001)) == ["s2"]


def test_empty_pool_and_empty_selection_diagnostics():
    with pytest.raises(EmptyPoolError) as info:
        FiltrationInstance(F("filtration"))({})
    assert info.value.filter_diagnostics == {"passing_count": 0, "pool_size": 0}
    with pytest.raises(EmptyFiltrationError) as info:
        run(F("and_", [F("gt", field="sharpe", value=1.5), F("eq", field="family", value="value")]))
    diag = info.value.filter_diagnostics
    assert diag["passing_count"] == 0 and diag["pool_size"] == len(POOL)
    assert [(s["operator"], s["passing_count"]) for s in diag["steps"]] == [
        ("gt", 1), ("eq", 2), ("and_", 0), ("filtration", 0)]


@pytest.mark.parametrize("tree,message", [
    (F("gt", value=1.0), "missing its 'field' parameter"),
    (F("between", field="sharpe", low=1.0), "missing its 'high' parameter"),
    (F("in_", field="family"), "missing its 'values' parameter"),
    (F("top_pct", field="sharpe", pct=20.0), r"pct in \[0, 1\]"),
    (F("top_n", field="sharpe", n=1.5), "non-negative int n"),
    (F("xor_"), "Unknown filter operator 'xor_'"),
])
def test_malformed_filters(tree, message):
    with pytest.raises(ValueError, match=message):
        run(tree)


def test_foreign_tree_is_refused():
    with pytest.raises(TypeError):
        FiltrationInstance({"function_name": "gt"})
    with pytest.raises(TypeError, match="not a FilterNode"):
        FiltrationInstance(F("and_", ["nope"]))(POOL)
    assert math.isnan(POOL["s4"].metadata["sharpe"])


from hypothesis import given, settings, strategies as st  # noqa: E402

_values = st.one_of(st.none(), st.floats(-5, 5), st.just(float("nan")), st.integers(-5, 5),
                    st.sampled_from(["a", "b"]))


@settings(max_examples=150, deadline=None)
@given(values=st.lists(_values, min_size=1, max_size=12), threshold=st.floats(-5, 5),
       n=st.integers(0, 14))
def test_operators_against_brute_force(values, threshold, n):
    pool = {f"s{i}": UsefulSignal(metadata={"x": v}) for i, v in enumerate(values)}

    def number(v):
        return None if v is None or isinstance(v, str) or v != v else float(v)

    def select(tree):
        try:
            return FiltrationInstance(F("filtration", [tree]))(pool)
        except EmptyFiltrationError:
            return []

    gt = [sid for sid, s in pool.items() if number(s.metadata["x"]) is not None
          and number(s.metadata["x"]) > threshold]
    assert select(F("gt", field="x", value=threshold)) == gt
    assert select(F("not_", [F("gt", field="x", value=threshold)])) == [
        sid for sid in pool if sid not in gt]
    numeric = [(sid, number(s.metadata["x"])) for sid, s in pool.items()
               if number(s.metadata["x"]) is not None]
    top = {sid for sid, _ in sorted(numeric, key=lambda p: -p[1])[:n]}
    assert select(F("top_n", field="x", n=n)) == [sid for sid in pool if sid in top]
    both = select(F("and_", [F("top_n", field="x", n=n), F("gt", field="x", value=threshold)]))
    assert both == [sid for sid in pool if sid in top and sid in gt]
