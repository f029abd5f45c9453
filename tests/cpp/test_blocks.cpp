// The blocked-work helper: its blocks cover the range once, in order, each
// within the block work; it reports what the body did, and a body can stop
// the run or count its own units.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "core/blocks.hpp"
#include "core/cancel.hpp"

namespace pelmora {
namespace {

using Blocks = std::vector<std::pair<std::int64_t, std::int64_t>>;

struct Case {
  std::int64_t first, last;
  std::uint64_t units;
};

TEST(ForBlocks, CoversTheRangeInBlocksOfTheSharedWork) {
  constexpr auto kWork = static_cast<std::int64_t>(kBlockWork);
  for (const Case c : {Case{0, 0, 1}, Case{5, 3, 1}, Case{0, 1, 1}, Case{1, kWork + 2, 1}, Case{-7, 3 * kWork, 4},
                       Case{0, 1000, 0}, Case{10, 20, kBlockWork * 8}, Case{0, 100000, 3}}) {
    SCOPED_TRACE(std::to_string(c.first) + ".." + std::to_string(c.last) + " x " + std::to_string(c.units));
    Cancel cancel;
    Blocks blocks;
    for_blocks(cancel, c.first, c.last, c.units,
               [&](std::int64_t begin, std::int64_t end) { blocks.emplace_back(begin, end); });
    std::int64_t next = c.first;
    for (const auto& [begin, end] : blocks) {
      ASSERT_EQ(begin, next);
      ASSERT_LT(begin, end);
      // As many items as fit in a block, and at least one.
      const std::uint64_t items = static_cast<std::uint64_t>(end - begin);
      EXPECT_TRUE(items == 1 || items * std::max<std::uint64_t>(c.units, 1) <= kBlockWork) << items;
      if (end != c.last) {
        EXPECT_EQ(items, block_items(c.units));
      }
      next = end;
    }
    EXPECT_EQ(next, std::max(c.first, c.last));
    const std::uint64_t items = c.last > c.first ? static_cast<std::uint64_t>(c.last - c.first) : 0;
    EXPECT_EQ(cancel.reported(), items * c.units);
  }
}

TEST(ForBlocks, ABodyCanCountItsUnitsOrStop) {
  Cancel counted;
  for_blocks(counted, std::size_t{0}, std::size_t{3 * kBlockWork}, 2,
             [](std::size_t begin, std::size_t end) -> std::uint64_t { return (end - begin) / 2; });
  EXPECT_EQ(counted.reported(), 3 * kBlockWork / 2);

  Cancel stopped;
  std::size_t calls = 0;
  for_blocks(stopped, std::size_t{0}, std::size_t{10 * kBlockWork}, 1, [&](std::size_t, std::size_t) {
    return ++calls < 3;
  });
  EXPECT_EQ(calls, 3u);
  EXPECT_EQ(stopped.reported(), 3 * kBlockWork);  // the last block is reported too
}

struct Stop {};

TEST(ForBlocks, AThrowingCheckLeavesAfterTheBlockThatReachedIt) {
  std::uint64_t polls = 0;
  Cancel cancel([](void* context) {
    if (++*static_cast<std::uint64_t*>(context) == 2) throw Stop{};
  }, &polls);
  std::uint64_t done = 0;
  EXPECT_THROW(for_blocks(cancel, std::uint64_t{0}, 4 * Cancel::kPollInterval, 1,
                          [&](std::uint64_t begin, std::uint64_t end) { done += end - begin; }),
               Stop);
  EXPECT_EQ(done, 2 * Cancel::kPollInterval);
  EXPECT_EQ(cancel.reported(), done);
}

}  // namespace
}  // namespace pelmora
