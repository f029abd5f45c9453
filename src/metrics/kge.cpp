// Kling-Gupta efficiency: two means, then one pass for the three sums.
//
// Every sum runs in index order, so each of them is a chain of dependent
// additions: the first pass costs one addition latency per value (its two
// chains overlap), and so does the second (three chains). Nothing else in
// either loop is allowed to cost more than that.
#include "metrics/kge.hpp"

#include <cmath>
#include <cstddef>
#include <memory>
#include <new>
#include <vector>

#if defined(__linux__)
#include <sys/mman.h>
#endif

#include "core/errors.hpp"

namespace pelmora {

namespace {

// One constant serves as the log offset and as the floor of every guard.
constexpr double kEps = 1e-6;

// Reads a value whose memory another thread may be writing: one load, which
// the compiler may neither repeat nor split, so the value used is the value
// read.
inline double read_once(const double& value) { return static_cast<const volatile double&>(value); }

template <bool Shared>
inline double read(const double& value) {
  if constexpr (Shared) {
    return read_once(value);
  } else {
    return value;
  }
}

// ln(x + 1e-6) of every value, in a new vector: for shared values this is
// also the private copy.
template <bool Shared>
std::vector<double> log_transform(std::span<const double> values) {
  std::vector<double> out;
  out.reserve(values.size());
  for (const double& v : values) out.push_back(std::log(read<Shared>(v) + kEps));
  return out;
}

std::vector<double> log_transform(KgeInput in) {
  return in.shared ? log_transform<true>(in.values) : log_transform<false>(in.values);
}

struct Sums {
  double s = 0.0;
  double o = 0.0;
};

// GCC's straight-line vectoriser packs the two sums of the first pass into
// one register pair and keeps that pair in memory between iterations, which
// puts a store and a load on the chain of every addition.
#if defined(__GNUC__) && !defined(__clang__)
#define PELMORA_SEPARATE_CHAINS [[gnu::optimize("no-tree-slp-vectorize")]]
#else
#define PELMORA_SEPARATE_CHAINS
#endif

// Both sums in one loop: two independent chains, each still in index order,
// so the CPU overlaps their additions. A shared series is copied into `*_copy`
// in the same loop; the value stored is the value added.
template <bool SharedS, bool SharedO>
PELMORA_SEPARATE_CHAINS Sums first_pass(const double* sim, const double* obs, std::size_t n, double* sim_copy,
                                        double* obs_copy) {
  double sum_s = 0.0;
  double sum_o = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    const double s = read<SharedS>(sim[i]);
    const double o = read<SharedO>(obs[i]);
    if constexpr (SharedS) sim_copy[i] = s;
    if constexpr (SharedO) obs_copy[i] = o;
    sum_s = sum_s + s;
    sum_o = sum_o + o;
  }
  return {sum_s, sum_o};
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

// Storage for a copy that the first pass fills, with no zero-fill first.
// Fresh memory faults in page by page as the pass writes it, which for a
// large copy costs more than the pass: a large block is aligned to 2 MiB and
// offered to the system's transparent huge pages, where it has them, so it
// faults in 2 MiB at a time.
constexpr std::size_t kHugePage = std::size_t{1} << 21;
constexpr std::size_t kHugeFrom = std::size_t{4} << 20;  // bytes

struct CopyStorageFree {
  bool huge = false;
  void operator()(double* p) const noexcept {
    if (huge) {
      ::operator delete[](p, std::align_val_t{kHugePage});
    } else {
      delete[] p;
    }
  }
};

using CopyStorage = std::unique_ptr<double[], CopyStorageFree>;

CopyStorage copy_storage(bool shared, std::size_t n) {
  if (!shared) return CopyStorage(nullptr);
  const std::size_t bytes = n * sizeof(double);
  if (bytes < kHugeFrom) return CopyStorage(new double[n]);
  const std::size_t rounded = (bytes + kHugePage - 1) / kHugePage * kHugePage;
  void* p = ::operator new[](rounded, std::align_val_t{kHugePage});
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  madvise(p, rounded, MADV_HUGEPAGE);  // advice only: without huge pages nothing changes
#endif
  return CopyStorage(static_cast<double*>(p), CopyStorageFree{true});
}

double kge(KgeInput sim, KgeInput obs) {
  const std::size_t n = obs.values.size();
  const CopyStorage sim_copy = copy_storage(sim.shared, n);
  const CopyStorage obs_copy = copy_storage(obs.shared, n);
  const double* s = sim.values.data();
  const double* o = obs.values.data();
  Sums sums;
  if (sim.shared && obs.shared) {
    sums = first_pass<true, true>(s, o, n, sim_copy.get(), obs_copy.get());
  } else if (sim.shared) {
    sums = first_pass<true, false>(s, o, n, sim_copy.get(), nullptr);
  } else if (obs.shared) {
    sums = first_pass<false, true>(s, o, n, nullptr, obs_copy.get());
  } else {
    sums = first_pass<false, false>(s, o, n, nullptr, nullptr);
  }
  // From here on only private memory is read.
  return finish(sim.shared ? sim_copy.get() : s, obs.shared ? obs_copy.get() : o, n, sums);
}

void check_lengths(std::size_t sim, std::size_t obs) {
  if (obs == 0) throw DomainError("Observed series is empty.");
  if (sim != obs) throw DomainError("Series length mismatch.");
}

}  // namespace

double kge_rs(std::span<const double> sim, std::span<const double> obs, bool use_log) {
  return kge_rs(KgeInput{sim}, KgeInput{obs}, use_log);
}

double kge_rs(KgeInput sim, KgeInput obs, bool use_log) {
  check_lengths(sim.values.size(), obs.values.size());
  if (!use_log) return kge(sim, obs);
  // The transformed vectors are private: both passes read them.
  const std::vector<double> log_sim = log_transform(sim);
  const std::vector<double> log_obs = log_transform(obs);
  return kge(KgeInput{log_sim}, KgeInput{log_obs});
}

}  // namespace pelmora
