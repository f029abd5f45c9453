// The Kling-Gupta efficiency of a simulated series against an observed one.
#pragma once

#include <span>

namespace pelmora {

// 1 - sqrt((r-1)^2 + (beta-1)^2 + (gamma-1)^2), with population standard
// deviations; `use_log` scores ln(x + 1e-6) of both series instead.
// DomainError when `obs` is empty or the lengths differ.
double kge_rs(std::span<const double> sim, std::span<const double> obs, bool use_log);

// kge_rs without `use_log`, for a caller that has already summed each series
// while copying it: `sim_sum` and `obs_sum` must be the sums in index order
// from 0.0 (what the first pass would add), so the result is the same bits.
double kge_rs_from_sums(std::span<const double> sim, std::span<const double> obs, double sim_sum, double obs_sum);

}  // namespace pelmora
