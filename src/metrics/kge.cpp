// Kling-Gupta efficiency: two means, then one pass for the three sums.
#include "metrics/kge.hpp"

#include <cmath>
#include <cstddef>
#include <vector>

#include "core/errors.hpp"

namespace pelmora {

namespace {

// One constant serves as the log offset and as the floor of every guard.
constexpr double kEps = 1e-6;

std::vector<double> log_transform(std::span<const double> values) {
  std::vector<double> out;
  out.reserve(values.size());
  for (const double v : values) out.push_back(std::log(v + kEps));
  return out;
}

double kge(std::span<const double> sim, std::span<const double> obs) {
  const double n = static_cast<double>(obs.size());
  // Both sums in one loop: two independent chains, each still in index
  // order, so the CPU overlaps their additions.
  double sum_s = 0.0;
  double sum_o = 0.0;
  for (std::size_t i = 0; i < obs.size(); ++i) {
    sum_s = sum_s + sim[i];
    sum_o = sum_o + obs[i];
  }
  const double ms = sum_s / n;
  const double mo = sum_o / n;
  double sss = 0.0;
  double sso = 0.0;
  double soo = 0.0;
  for (std::size_t i = 0; i < obs.size(); ++i) {
    const double ds = sim[i] - ms;
    const double d_o = obs[i] - mo;
    sss = sss + ds * ds;
    sso = sso + d_o * ds;
    soo = soo + d_o * d_o;
  }
  // The guards stand in for divisions by zero on flat or zero-mean data; NaN
  // fails every comparison and so reaches the result.
  const double dr = std::sqrt(soo * sss);
  double corr_term = 1.0;
  if (!(dr < kEps)) {
    const double r = sso / dr;
    corr_term = (r - 1.0) * (r - 1.0);
  }
  // A positive floor even for a slightly negative mean.
  const double beta = ms / (std::fabs(mo) < kEps ? kEps : mo);
  const double sigma_s = std::sqrt(sss / n);
  const double sigma_o = std::sqrt(soo / n);
  const double gamma = sigma_s / (sigma_o < kEps ? kEps : sigma_o);
  const double ed2 = (gamma - 1.0) * (gamma - 1.0) + ((beta - 1.0) * (beta - 1.0) + corr_term);
  return 1.0 - std::sqrt(ed2);
}

}  // namespace

double kge_rs(std::span<const double> sim, std::span<const double> obs, bool use_log) {
  if (obs.empty()) throw DomainError("Observed series is empty.");
  if (sim.size() != obs.size()) throw DomainError("Series length mismatch.");
  if (!use_log) return kge(sim, obs);
  const std::vector<double> log_sim = log_transform(sim);
  const std::vector<double> log_obs = log_transform(obs);
  return kge(log_sim, log_obs);
}

}  // namespace pelmora
