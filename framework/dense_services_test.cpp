#include "framework/height_distance.h"
#include "values/var.h"

#include <gtest/gtest.h>

#include <functional>
#include <future>
#include <memory>

namespace {

// Stands in for the dense stages' per-frame record.
struct ScaledFrame {
  int id = 0;
};

TEST(HeightDistance, ComparesHeightsOnly) {
  const std::function<double(const pi::Point3d&, const pi::Point3d&)> distance = fw::heightDistance;
  EXPECT_DOUBLE_EQ(distance(pi::Point3d(0, 0, 5), pi::Point3d(100, -40, 2)), 3.0);
  EXPECT_DOUBLE_EQ(distance(pi::Point3d(1, 2, -3), pi::Point3d(9, 9, 4.5)), 7.5);
  EXPECT_DOUBLE_EQ(distance(pi::Point3d(1, 2, 3), pi::Point3d(1, 2, 3)), 0.0);
}

TEST(RecordHolders, SharedPointerAnswersForPointeeAndEmptyBecomesNull) {
  auto frame = std::make_shared<ScaledFrame>(ScaledFrame{4});
  sv::Var value(frame);
  EXPECT_EQ(value.holder()->ptr(typeid(ScaledFrame)), frame.get());
  EXPECT_EQ(value.castAs<std::shared_ptr<ScaledFrame>>(), frame);
  EXPECT_EQ(frame.use_count(), 2);
  sv::Var copy = value.clone(0);  // shares the pointee
  EXPECT_EQ(copy.castAs<std::shared_ptr<ScaledFrame>>().get(), frame.get());

  const sv::Var empty = sv::Var(std::shared_ptr<ScaledFrame>());
  EXPECT_TRUE(empty.isNull());
  EXPECT_EQ(empty.castAs<std::shared_ptr<ScaledFrame>>(), nullptr);
}

TEST(RecordHolders, SharedFutureCopiesShareOneState) {
  std::promise<std::shared_ptr<ScaledFrame>> promise;
  sv::Var value(promise.get_future().share());
  sv::Var copy = value.clone(0);
  promise.set_value(std::make_shared<ScaledFrame>(ScaledFrame{9}));
  using Future = std::shared_future<std::shared_ptr<ScaledFrame>>;
  EXPECT_EQ(copy.castAs<Future>().get()->id, 9);
  EXPECT_EQ(value.as<Future>().get().get(), copy.as<Future>().get().get());
  EXPECT_THROW(sv::Var(3).castAs<Future>(), sv::VarException);
}

}  // namespace
