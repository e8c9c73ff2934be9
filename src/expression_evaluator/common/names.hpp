// Function-store names the evaluator recognises. The store owns these names; the evaluator
// only compares against them, so each one is written here and nowhere else.
#pragma once

namespace ee::names {

// The cross-sectional rank and the product that the rank-multiply fast path recognises.
inline constexpr char kRank[] = "virtualization_runtime_transform_acbc9b";
inline constexpr char kCombine[] = "numerical_combine_d65e04";

// The rolling statistics that the longitudinal fast path evaluates as whole matrices.
inline constexpr char kRollingZscore[] = "longitudinal_accumulators_250f46";
inline constexpr char kRollingStd[] = "longitudinal_accumulators_e4993a";
inline constexpr char kRollingMean[] = "longitudinal_accumulators_2ee349";

// Functions whose string literal child names a statistic ("stat_name") rather than a PnL
// column ("pnl_column").
inline constexpr const char *kStatNameFunctions[] = {"statistical_volatility_f7e034",
                                                     "statistical_sharpe_2e4daa",
                                                     "statistical_turnover_56582e"};

}  // namespace ee::names
