import copy
import pickle
import threading

import numpy as np
import pytest

from tessaline.functions._typed_shapes import SchemaError, StageData
from tessaline.simulator_engine._types import EvaluationError, UsefulSignal


def feats(*shapes):
    return tuple(np.zeros(s) for s in shapes)


class TestConstruction:
    def test_defaults_and_attribute_order(self, ee):
        f = feats((10, 4))
        ctx = ee.EvaluationContext(f, {"a": 0})
        assert list(vars(ctx)) == [
            "feature_index", "useful_signals", "registry", "universe", "metaparameters",
            "transform_pipeline", "stage_data", "column_labels", "signal_pnl_vectors",
            "function_states", "universe_mask", "current_day_index", "pool_id", "universe_tag",
            "liquidity_feature_hashes", "liquidity_features", "factor_epoch", "epoch",
            "factor_model", "factor_model_version_id", "transforms_already_combined",
            "_skip_evaluation_shape_validation", "_evaluation_lock", "registers",
            "extraction_buffer", "features"]
        assert ctx.features is f
        assert ctx.useful_signals == {} and ctx.metaparameters == {}
        assert ctx.transform_pipeline == [] and ctx.column_labels == []
        assert isinstance(ctx.stage_data, StageData) and ctx.stage_data.is_empty()
        assert ctx.current_day_index == 0 and ctx.registers is None
        assert ctx.extraction_buffer is None and ctx._skip_evaluation_shape_validation is False
        assert ctx.liquidity_features == [] and ctx.factor_model is None

    def test_empty_containers_passed_in_are_kept(self, ee):
        signals, meta, pipeline, labels = {}, {}, [], []
        ctx = ee.EvaluationContext(feats((3, 2)), {}, signals, None, None, meta, pipeline,
                                   None, labels)
        assert ctx.useful_signals is signals and ctx.metaparameters is meta
        assert ctx.transform_pipeline is pipeline and ctx.column_labels is labels

    def test_all_seventeen_parameters_positionally(self, ee):
        args = [feats((3, 2)), {"x": 0}, None, "reg", None, None, None, None, None, "pnl",
                "states", "mask", 5, "pool", "tag", 1, 0]
        ctx = ee.EvaluationContext(*args)
        assert (ctx.registry, ctx.signal_pnl_vectors, ctx.function_states) == (
            "reg", "pnl", "states")
        assert (ctx.universe_mask, ctx.current_day_index, ctx.pool_id, ctx.universe_tag) == (
            "mask", 5, "pool", "tag")
        assert ctx.transforms_already_combined == 1  # unconverted
        assert ctx._skip_evaluation_shape_validation is True
        with pytest.raises(TypeError):
            ee.EvaluationContext(*args, None)

    def test_stage_data_must_be_stage_data(self, ee):
        with pytest.raises(SchemaError) as info:
            ee.EvaluationContext(feats((3, 2)), {}, stage_data={})
        assert str(info.value) == (
            "EvaluationContext.stage_data must be StageData or None; got dict")
        with pytest.raises(SchemaError):  # checked before the features
            ee.EvaluationContext(feats((3, 2), (4, 2)), {"a": 9}, stage_data=[])
        sd = StageData({"x": np.zeros((3, 2))})
        assert ee.EvaluationContext(feats((3, 2)), {}, stage_data=sd).stage_data is sd

    @pytest.mark.parametrize("features, signals, validate, buffer", [
        (feats((6, 7)), {"a": UsefulSignal(), "b": UsefulSignal()}, True, (2, 7)),
        ((), {"s": UsefulSignal()}, True, None),  # an empty feature set constructs
        (feats((6, 3), (5, 3)), {"s": UsefulSignal(weights=np.zeros((1, 1)))}, False, (1, 3)),
    ])
    def test_extraction_buffer(self, ee, features, signals, validate, buffer):
        # validate_inputs=False skips the checks (index 7 of 2 features, mismatched shapes)
        ctx = ee.EvaluationContext(features, {"a": 7} if not validate else {}, signals,
                                   validate_inputs=validate)
        assert ctx._skip_evaluation_shape_validation is (not validate)
        if buffer is None:
            assert ctx.extraction_buffer is None
            return
        assert ctx.extraction_buffer.shape == buffer
        assert ctx.extraction_buffer.dtype == np.float64 and not ctx.extraction_buffer.any()

    def test_feature_index_none(self, ee):
        with pytest.raises(AttributeError):
            ee.EvaluationContext(feats((2, 2)), None)
        assert ee.EvaluationContext(feats((2, 2)), None, validate_inputs=False).feature_index is None


class TestValidation:
    @pytest.mark.parametrize("shapes, index, kwargs, message", [
        (((3, 2), (3, 2)), {"ok": 0, "bad": 2, "worse": 9}, {},
         "feature_index['bad'] = 2 is out of bounds for 2 features"),
        (((3, 2), (3, 2)), {"ok": 0, "bad": -1}, {},
         "feature_index['bad'] = -1 is out of bounds for 2 features"),
        (((10, 4), (10, 4), (10, 5)), {}, {},
         "Feature dimension mismatch: 'feature_0' shape (10, 4) vs 'feature_2' shape (10, 5)"),
        (((10, 4),), {}, {"universe": np.ones((10, 1))},  # would broadcast: refused
         "Feature dimension mismatch: features shape (10, 4) vs universe shape (10, 1)"),
        (((10, 4),), {}, {"useful_signals": {"s1": UsefulSignal(weights=np.zeros((10, 3)),
                                                                pnl=np.zeros(9))}},
         "useful signal 's1' weights shape (10, 3) does not match feature shape (10, 4)"),
        (((10, 4),), {}, {"useful_signals": {  # pnl: the first axis only
            "ok": UsefulSignal(weights=None, pnl=np.zeros((10, 3))),
            "bad": UsefulSignal(pnl=np.zeros((9, 2)))}},
         "useful signal 'bad' pnl shape (9, 2) does not match feature shape (10, 4)"),
    ])
    def test_messages(self, ee, shapes, index, kwargs, message):
        with pytest.raises(EvaluationError) as info:
            ee.EvaluationContext(feats(*shapes), index, **kwargs)
        assert info.value.args == (message,)

    def test_validate_function_directly(self, ee):
        assert ee._validate_evaluation_shapes(None, "ignored", "ignored") is None
        assert ee._validate_evaluation_shapes([], object(), object()) is None
        # T is read only for a signal that has a PnL
        assert ee._validate_evaluation_shapes([np.float64(1.0)], None,
                                              {"s": UsefulSignal(weights=None)}) is None
        # the number of features only for an index entry
        assert ee.EvaluationContext(None, {}).features is None
        with pytest.raises(EvaluationError, match="'feature_1' shape \\(3,\\)"):
            ee._validate_evaluation_shapes([np.zeros((3, 1)), np.zeros(3)], None, None)
        with pytest.raises(TypeError):
            ee._validate_evaluation_shapes([np.zeros(3)], None)

    def test_validation_uses_module_function(self, ee, monkeypatch):
        seen = []
        monkeypatch.setattr(ee, "_validate_evaluation_shapes", lambda *a: seen.append(a))
        f = feats((2, 2))
        ctx = ee.EvaluationContext(f, {})
        assert seen == [(f, None, ctx.useful_signals)]


class TestCopying:
    def make(self, ee):
        sig = {"s": UsefulSignal(weights=np.ones((4, 3)), pnl=np.ones(4))}
        ctx = ee.EvaluationContext(feats((4, 3)), {"a": 0}, sig, metaparameters={"k": "v"})
        ctx.extra = [1, 2]
        ctx.registers = np.arange(3.0).reshape(1, 3)
        return ctx

    @pytest.mark.parametrize("clone", [
        lambda c: pickle.loads(pickle.dumps(c)),
        lambda c: pickle.loads(pickle.dumps(c, protocol=5)),
        copy.copy, copy.deepcopy])
    def test_clones_get_their_own_lock(self, ee, clone):
        ctx = self.make(ee)
        other = clone(ctx)
        assert type(other) is ee.EvaluationContext
        assert other._evaluation_lock is not ctx._evaluation_lock
        assert type(other._evaluation_lock) is type(threading.RLock())
        assert set(vars(other)) == set(vars(ctx))
        assert other.metaparameters == {"k": "v"} and other.extra == [1, 2]
        np.testing.assert_array_equal(other.registers, ctx.registers)
        np.testing.assert_array_equal(other.extraction_buffer, ctx.extraction_buffer)

    def test_state_has_no_lock_and_setstate_adds_only_one(self, ee):
        ctx = self.make(ee)
        state = ctx.__getstate__()
        assert "_evaluation_lock" not in state and state["extra"] == [1, 2]
        del ctx._evaluation_lock
        assert "_evaluation_lock" not in ctx.__getstate__()
        obj = ee.EvaluationContext.__new__(ee.EvaluationContext)
        obj.__setstate__({"x": 1})
        assert set(vars(obj)) == {"x", "_evaluation_lock"}


class TestPlainClass:
    def test_class_doc(self, ee):
        assert ee.EvaluationContext.__doc__ == (
            "EvaluationContext \u2014 stores inputs, validates dimensions, allocates extraction buffer.")

    def test_subclass(self, ee):
        class Sub(ee.EvaluationContext):
            def __init__(self, *a, **k):
                super().__init__(*a, **k)
                self.tag = "sub"

        s = Sub(feats((2, 2)), {})
        assert s.tag == "sub" and isinstance(s, ee.EvaluationContext)
        assert copy.deepcopy(s).tag == "sub"

    def test_methods_reject_foreign_self(self, ee):
        with pytest.raises(TypeError):
            ee.EvaluationContext.__getstate__(object())
