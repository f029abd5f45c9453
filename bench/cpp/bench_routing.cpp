// Routing micro-benchmark: the Muskingum pass and the sub-reach driver
// against the machine's latency bound for a first-order recurrence.
//
// latency_bound runs y = c*y + v[i]: one multiply and one add per value, each
// depending on the previous value. A sequential routing pass has the same
// dependency (O[i] needs C2*O[i-1] + ...), so no correct pass can run faster
// per value; only interleaving independent passes (route_reach) can beat it
// per value-pass. Every benchmark reports the counter ns_per_value_pass.
//
// add_latency_bound runs y = y + v[i]: one dependent addition per value, the
// cost of one step of any sum kept in index order. The Kling-Gupta efficiency
// makes two such passes (the means, then the three sums) over its private
// copies, so kge_arrays counts two value-passes per pair and is read against
// this bound.
//
//   pelmora_bench_routing [--benchmark_repetitions=7 ...]
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <vector>

#include "metrics/kge.hpp"
#include "reach_routing/muskingum.hpp"

namespace {

constexpr double kDt = 3600.0;
constexpr double kK = 8.0 * 3600.0;  // whole reach; 4 sub-reaches of 2 h
constexpr double kX = 0.2;
constexpr std::int64_t kSubReaches = 4;

// A smooth hydrograph with storm waves, the same shape for every run.
std::vector<double> hydrograph(std::size_t n) {
  std::vector<double> v(n);
  for (std::size_t i = 0; i < n; ++i) {
    const double t = static_cast<double>(i);
    v[i] = 120.0 + 60.0 * std::sin(t / 1395.0) + 400.0 * std::pow(std::sin(t / 97.0), 8);
  }
  return v;
}

void set_counter(benchmark::State& state, std::size_t n, std::int64_t passes) {
  const double value_passes = static_cast<double>(n) * static_cast<double>(passes);
  state.counters["ns_per_value_pass"] = benchmark::Counter(
      value_passes * 1e-9, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(value_passes));
}

void latency_bound(benchmark::State& state) {
  const std::size_t n = static_cast<std::size_t>(state.range(0));
  const std::vector<double> v = hydrograph(n);
  const double c = 0.524;  // a Muskingum C2 of this workload's size
  for (auto _ : state) {
    double y = v[0];
    const double* p = v.data();
    for (std::size_t i = 1; i < n; ++i) y = c * y + p[i];
    benchmark::DoNotOptimize(y);
  }
  set_counter(state, n, 1);
}

void add_latency_bound(benchmark::State& state) {
  const std::size_t n = static_cast<std::size_t>(state.range(0));
  const std::vector<double> v = hydrograph(n);
  for (auto _ : state) {
    double y = 0.0;
    const double* p = v.data();
    for (std::size_t i = 0; i < n; ++i) y = y + p[i];
    benchmark::DoNotOptimize(y);
  }
  set_counter(state, n, 1);
}

void kge_arrays(benchmark::State& state) {
  const std::size_t n = static_cast<std::size_t>(state.range(0));
  const std::vector<double> obs = hydrograph(n);
  std::vector<double> sim(n);
  for (std::size_t i = 0; i < n; ++i) sim[i] = 1.05 * obs[i] + 3.0 * std::sin(static_cast<double>(i));
  for (auto _ : state) {
    const double kge = pelmora::kge_rs(sim, obs, false);
    benchmark::DoNotOptimize(kge);
  }
  set_counter(state, n, 2);
}

// One pass; the copy it consumes is made outside the clock, the output it
// allocates is part of the pass.
void muskingum_pass(benchmark::State& state) {
  const std::size_t n = static_cast<std::size_t>(state.range(0));
  const std::vector<double> v = hydrograph(n);
  const double kp = kK / static_cast<double>(kSubReaches);
  for (auto _ : state) {
    state.PauseTiming();
    std::vector<double> in = v;
    state.ResumeTiming();
    std::vector<double> out = pelmora::muskingum_routing_rs(std::move(in), kDt, kp, kX, v[0]);
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  set_counter(state, n, 1);
}

// The driver, in place on the caller's vector (copied outside the clock).
template <std::int64_t SubReaches>
void route_reach(benchmark::State& state) {
  const std::size_t n = static_cast<std::size_t>(state.range(0));
  const std::vector<double> v = hydrograph(n);
  const double k = kK / static_cast<double>(kSubReaches) * static_cast<double>(SubReaches);

  // Bit-for-bit the same as SubReaches separate passes.
  {
    const double kp = k / static_cast<double>(SubReaches);
    std::vector<double> want = pelmora::muskingum_routing_rs(v, kDt, kp, kX, v[0]);
    for (std::int64_t j = 1; j < SubReaches; ++j)
      want = pelmora::muskingum_routing_rs(std::move(want), kDt, kp, kX, std::nullopt);
    const std::vector<double> got = pelmora::route_reach(v, kDt, k, kX, SubReaches, v[0]);
    if (got.size() != want.size() ||
        std::memcmp(got.data(), want.data(), got.size() * sizeof(double)) != 0) {
      state.SkipWithError("route_reach differs from successive passes");
      return;
    }
  }

  for (auto _ : state) {
    state.PauseTiming();
    std::vector<double> in = v;
    state.ResumeTiming();
    std::vector<double> out = pelmora::route_reach(std::move(in), kDt, k, kX, SubReaches, v[0]);
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  set_counter(state, n, SubReaches);
}

// 32 Ki values stay in L2; 1 Mi values (8 MiB) is the Python suite's size.
#define SIZES Arg(1 << 15)->Arg(1 << 20)->Unit(benchmark::kMicrosecond)

BENCHMARK(latency_bound)->SIZES;
BENCHMARK(add_latency_bound)->SIZES;
BENCHMARK(kge_arrays)->SIZES;
BENCHMARK(muskingum_pass)->SIZES;
BENCHMARK(route_reach<1>)->Name("route_reach_1")->SIZES;
BENCHMARK(route_reach<4>)->Name("route_reach_4")->SIZES;

}  // namespace

BENCHMARK_MAIN();
