// Blocked work: the one loop by which long kernels run their steps in
// blocks and report each block's work to their Cancel token.
//
//   for_blocks(cancel, 0, n, units_per_item, [&](std::size_t begin, std::size_t end) {
//     quiet_loop(..., begin, end);  // no report in here
//   });
//
// A block holds about kBlockWork units, so reports come often enough for the
// token's poll and seldom enough to cost nothing. A kernel that keeps its
// running values in registers runs each block's steps in a noinline function
// of its own and calls it from the body: the report, a call that may throw,
// then sits outside that loop and cannot force its values into memory.
#pragma once

#include <algorithm>
#include <concepts>
#include <cstdint>
#include <type_traits>

#include "core/cancel.hpp"

namespace pelmora {

// The work between two reports: about a tenth of a millisecond for the
// fastest units, and a sixteenth of the poll interval, so that no stretch of
// work runs much past an interval without a poll.
inline constexpr std::uint64_t kBlockWork = std::uint64_t{1} << 16;
static_assert(kBlockWork * 10 <= Cancel::kPollInterval);

// Items of `units` units each (a zero is taken as one) that fill a block;
// at least one, however costly the item. An item costlier than a block
// should run its own steps through for_blocks instead.
constexpr std::uint64_t block_items(std::uint64_t units) noexcept {
  return units >= kBlockWork ? 1 : kBlockWork / std::max<std::uint64_t>(units, 1);
}

// Runs body(begin, end) over consecutive blocks that cover [first, last),
// each of items of `units` units, and after each block reports to `cancel`:
// - a body returning nothing did all its items: their units are reported;
// - a body returning std::uint64_t counted its own units (items that cost
//   less than `units`, such as dry steps): those are reported;
// - a body returning bool did all its items, and stops the run with false.
// A check that throws leaves by the report; the blocks already run stay done.
template <std::integral I, class Body>
void for_blocks(Cancel& cancel, I first, I last, std::uint64_t units, Body&& body) {
  using Result = std::invoke_result_t<Body&, I, I>;
  static_assert(std::is_void_v<Result> || std::is_same_v<Result, std::uint64_t> || std::is_same_v<Result, bool>,
                "a block body returns nothing, its units or whether to go on");
  const std::uint64_t per_block = block_items(units);
  for (I begin = first; begin < last;) {
    const auto rest = static_cast<std::uint64_t>(last - begin);
    const I end = rest > per_block ? static_cast<I>(begin + static_cast<I>(per_block)) : last;
    const auto items = static_cast<std::uint64_t>(end - begin);
    if constexpr (std::is_same_v<Result, std::uint64_t>) {
      cancel.progress(body(begin, end));
    } else if constexpr (std::is_same_v<Result, bool>) {
      const bool more = body(begin, end);
      cancel.progress(work_mul(items, units));
      if (!more) return;
    } else {
      body(begin, end);
      cancel.progress(work_mul(items, units));
    }
    begin = end;
  }
}

}  // namespace pelmora
