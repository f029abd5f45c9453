// The Kling-Gupta efficiency of a simulated series against an observed one.
#pragma once

#include <span>

namespace pelmora {

// 1 - sqrt((r-1)^2 + (beta-1)^2 + (gamma-1)^2), with population standard
// deviations; `use_log` scores ln(x + 1e-6) of both series instead.
// DomainError when `obs` is empty or the lengths differ.
double kge_rs(std::span<const double> sim, std::span<const double> obs, bool use_log);

}  // namespace pelmora
