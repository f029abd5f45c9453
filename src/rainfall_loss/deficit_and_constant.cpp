// Deficit-and-constant loss, one pass over the rainfall.
#include "rainfall_loss/deficit_and_constant.hpp"

#include <cmath>
#include <string>

#include "core/blocks.hpp"
#include "core/errors.hpp"
#include "core/format.hpp"

namespace pelmora {

namespace {

IncrementalSeries rainfall_series(std::int32_t time_step, std::size_t capacity) {
  auto s = result_series<IncrementalSeries>({}, time_step, "rainfall");
  s.data.vector().reserve(capacity);
  return s;
}

}  // namespace

void check_loss_parameters(double initial_deficit, double max_deficit, double constant_loss_per_hr) {
  // A negative deficit or loss rate hands rain back as excess (more runs off
  // than fell), and NaN would slip through every comparison of the model.
  // An infinite maximum would not act as "no cap": the recovery fills it to
  // infinity on the first step (through inf * 0 even without drying time).
  // Written as negated comparisons so that NaN is refused.
  const auto refuse = [](const char* name, const char* condition, double value) {
    throw DomainError(std::string(name) + " must be " + condition + ", got " + format_double(value));
  };
  if (!(initial_deficit >= 0.0)) refuse("initial_deficit", "a number >= 0 (inches)", initial_deficit);
  if (!(max_deficit >= 0.0 && std::isfinite(max_deficit)))
    refuse("max_deficit", "a finite number >= 0 (inches)", max_deficit);
  if (!(constant_loss_per_hr >= 0.0))
    refuse("constant_loss_per_hr", "a number >= 0 (inches per hour)", constant_loss_per_hr);
}

DeficitConstant deficit_and_constant_rs(const IncrementalSeries& rainfall, double initial_deficit,
                                        double max_deficit, double constant_loss_per_hr,
                                        double time_to_dry_seconds, Cancel& cancel) {
  const double dt_h = static_cast<double>(rainfall.time_step) / 3600.0;
  // A zero drying time means no recovery at all, not an instant one.
  double k = 0.0;
  if (time_to_dry_seconds > 0.0) k = 1.0 - std::exp(dt_h / (time_to_dry_seconds / -3600.0));
  const double step_loss = constant_loss_per_hr * dt_h;

  const std::size_t n = rainfall.data.size();
  DeficitConstant r{rainfall_series(rainfall.time_step, n), rainfall_series(rainfall.time_step, n),
                    rainfall_series(rainfall.time_step, n)};
  double d = initial_deficit;
  const double* rain = rainfall.data.data();
  std::vector<double>& excess_out = r.excess.data.vector();
  std::vector<double>& loss_out = r.loss.data.vector();
  std::vector<double>& deficit_out = r.deficit.data.vector();
  // In blocks, each reported, so that a long series can be interrupted.
  for_blocks(cancel, std::size_t{0}, n, 3, [&](std::size_t begin, std::size_t end) {
    for (std::size_t i = begin; i < end; ++i) {
      const double p = rain[i];
      // Every min and max here yields the other operand when one is NaN
      // (fmin/fmax), so a NaN limit or rate falls back on the other value.
      // Recovery comes before the step's rain, on wet steps too: the first
      // step already recovers from the initial deficit, and a deficit above
      // the maximum is cut back here.
      d = std::fmin(d + std::fmax(max_deficit - d, 0.0) * k, max_deficit);
      double excess = 0.0;
      double loss = 0.0;
      // Zero, negative and NaN rain leave the deficit to recover only.
      if (p > 0.0) {
        const double f = std::fmin(p, step_loss);  // constant loss first
        const double rest = p - f;
        const double fill = std::fmin(rest, d);
        d = d - fill;
        excess = rest - fill;
        loss = fill + f;
      }
      excess_out.push_back(excess);
      loss_out.push_back(loss);
      deficit_out.push_back(d);
    }
  });
  return r;
}

}  // namespace pelmora
