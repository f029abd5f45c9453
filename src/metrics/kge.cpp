// Kling-Gupta efficiency: two means, then one pass for the three sums. A
// caller that copies the series may hand in the two plain sums instead,
// taken during its copy, and so skip the first pass.
//
// Every sum runs in index order, so each of them is a chain of dependent
// additions: the first pass costs one addition latency per value (its two
// chains overlap), and so does the second (three chains). Nothing else in
// either loop is allowed to cost more than that.
#include "metrics/kge.hpp"

#include <cmath>
#include <cstddef>
#include <vector>

#include "core/errors.hpp"

namespace pelmora {

namespace {

// One constant serves as the log offset and as the floor of every guard.
constexpr double kEps = 1e-6;

// ln(x + 1e-6) of every value, in a new vector.
std::vector<double> log_transform(std::span<const double> values) {
  std::vector<double> out;
  out.reserve(values.size());
  for (const double v : values) out.push_back(std::log(v + kEps));
  return out;
}

struct Sums {
  double s = 0.0;
  double o = 0.0;
};

// Both sums in one loop: two independent chains, each still in index order,
// so the CPU overlaps their additions. They are written as the two lanes of
// one vector, which the compiler keeps in a register: left to pack them
// itself, it kept the pair in memory and put a store and a load on the chain
// of every addition. Each lane adds exactly as a scalar sum would.
Sums first_pass(const double* sim, const double* obs, std::size_t n) {
  using Pair [[gnu::vector_size(2 * sizeof(double))]] = double;
  Pair sums = {0.0, 0.0};
  for (std::size_t i = 0; i < n; ++i) {
    const Pair values = {sim[i], obs[i]};
    sums = sums + values;
  }
  return {sums[0], sums[1]};
}

double finish(const double* sim, const double* obs, std::size_t size, Sums sums) {
  const double n = static_cast<double>(size);
  const double ms = sums.s / n;
  const double mo = sums.o / n;
  double sss = 0.0;
  double sso = 0.0;
  double soo = 0.0;
  for (std::size_t i = 0; i < size; ++i) {
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

double kge(std::span<const double> sim, std::span<const double> obs) {
  const std::size_t n = obs.size();
  return finish(sim.data(), obs.data(), n, first_pass(sim.data(), obs.data(), n));
}

void check_lengths(std::size_t sim, std::size_t obs) {
  if (obs == 0) throw DomainError("Observed series is empty.");
  if (sim != obs) throw DomainError("Series length mismatch.");
}

}  // namespace

double kge_rs(std::span<const double> sim, std::span<const double> obs, bool use_log) {
  check_lengths(sim.size(), obs.size());
  if (!use_log) return kge(sim, obs);
  const std::vector<double> log_sim = log_transform(sim);
  const std::vector<double> log_obs = log_transform(obs);
  return kge(log_sim, log_obs);
}

double kge_rs_from_sums(std::span<const double> sim, std::span<const double> obs, double sim_sum, double obs_sum) {
  check_lengths(sim.size(), obs.size());
  return finish(sim.data(), obs.data(), obs.size(), Sums{sim_sum, obs_sum});
}

}  // namespace pelmora
