// A series' values: lent memory is shared by copies, kept alive by them, and
// never written; a writer gets a vector of its own.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "core/series_values.hpp"

namespace pelmora {
namespace {

TEST(SeriesValues, LentMemoryLivesAsLongAsTheLastCopy) {
  auto owner = std::make_shared<std::vector<double>>(std::vector<double>{1.0, 2.0, 3.0});
  std::weak_ptr<std::vector<double>> alive = owner;
  SeriesValues lent = SeriesValues::lent(*owner, owner);
  owner.reset();
  SeriesValues copy = lent;
  EXPECT_TRUE(copy.is_lent());
  EXPECT_EQ(copy.data(), lent.data());  // shared, not copied
  lent = SeriesValues();
  EXPECT_FALSE(alive.expired());
  EXPECT_EQ(copy, (std::vector<double>{1.0, 2.0, 3.0}));
  copy = SeriesValues();
  EXPECT_TRUE(alive.expired());
}

TEST(SeriesValues, WritingALentValueCopiesItFirst) {
  auto owner = std::make_shared<std::vector<double>>(std::vector<double>{4.0, 5.0});
  SeriesValues values = SeriesValues::lent(*owner, owner);
  values.vector().push_back(6.0);
  EXPECT_FALSE(values.is_lent());
  EXPECT_EQ(*owner, (std::vector<double>{4.0, 5.0}));
  EXPECT_EQ(values, (std::vector<double>{4.0, 5.0, 6.0}));
  EXPECT_EQ(owner.use_count(), 1);
}

TEST(SeriesValues, OwnedCopiesAreIndependent) {
  SeriesValues a = std::vector<double>{1.0};
  SeriesValues b = a;
  b.vector()[0] = 2.0;
  EXPECT_EQ(a[0], 1.0);
  EXPECT_NE(a.data(), b.data());
}

}  // namespace
}  // namespace pelmora
