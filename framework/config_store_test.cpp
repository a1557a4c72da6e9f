#include "framework/config_store.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <iomanip>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

// Sets an environment variable for the length of one test.
class ScopedEnv {
 public:
  ScopedEnv(const std::string& name, const std::string& value) : name_(name) {
    setenv(name.c_str(), value.c_str(), 1);
  }
  ~ScopedEnv() { unsetenv(name_.c_str()); }

 private:
  std::string name_;
};

std::string row(const std::string& name, const std::string& value) {
  std::ostringstream out;
  out << std::left << std::setw(39) << name << "  " << std::setw(39) << value << '\n';
  return out.str();
}

TEST(ConfigStore, FirstReadFixesTheEntry) {
  fw::Var store;
  int* x = store.GetInt("x", 5);
  EXPECT_EQ(*x, 5);
  EXPECT_EQ(store.GetInt("x", 7), x);
  EXPECT_EQ(*x, 5);
  *x = 9;  // writes through the entry are seen by later reads
  EXPECT_EQ(*store.GetInt("x", 1), 9);
  EXPECT_EQ(*store.GetString("s", "dflt"), "dflt");
  EXPECT_DOUBLE_EQ(*store.GetDouble("d", 0.25), 0.25);
}

TEST(ConfigStore, EnvironmentFallbackWithDottedNames) {
  ScopedEnv env("pointsfusion.dense_thread_num", "12");
  ScopedEnv text_env("cfgtest.word", "from environment");
  fw::Var store;
  EXPECT_EQ(*store.GetInt("pointsfusion.dense_thread_num", 5), 12);
  EXPECT_EQ(*store.GetString("cfgtest.word", "dflt"), "from environment");

  fw::Var other;
  other.setText("pointsfusion.dense_thread_num", "20");
  EXPECT_EQ(*other.GetInt("pointsfusion.dense_thread_num", 5), 20);
}

TEST(ConfigStore, TextWithoutNumberKeepsDefaultAndSaysSo) {
  ScopedEnv env("cfgtest.threads", "many");
  fw::Var store;
  store.setText("cfgtest.ratio", "abc");
  testing::internal::CaptureStderr();
  EXPECT_EQ(*store.GetInt("cfgtest.threads", 4), 4);
  EXPECT_DOUBLE_EQ(*store.GetDouble("cfgtest.ratio", 0.5), 0.5);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Failed to read value from many\nFailed to read value from abc\n");
}

TEST(ConfigStore, NumbersAreReadFromTheStartOfTheText) {
  fw::Var store;
  store.setText("a", "3.7");
  store.setText("b", "  42 apples");
  EXPECT_EQ(*store.GetInt("a", 0), 3);
  EXPECT_DOUBLE_EQ(*store.GetDouble("a", 0), 3.7);
  EXPECT_EQ(*store.GetInt("b", 0), 42);
  EXPECT_EQ(*store.GetString("b", ""), "  42 apples");
}

TEST(ConfigStore, SetTextUpdatesEveryTypedEntry) {
  fw::Var store;
  int* i = store.GetInt("n", 1);
  double* d = store.GetDouble("n", 1.5);
  std::string* s = store.GetString("n", "one");
  store.setText("n", "3.7");
  EXPECT_EQ(*i, 3);
  EXPECT_DOUBLE_EQ(*d, 3.7);
  EXPECT_EQ(*s, "3.7");
}

TEST(ConfigStore, SetTextThatATypedEntryCannotTakeChangesNothing) {
  fw::Var store;
  int* x = store.GetInt("x", 5);
  try {
    store.setText("x", "abc");
    FAIL() << "expected invalid_argument";
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ(e.what(), "invalid stoi argument");
  }
  EXPECT_EQ(*x, 5);
  EXPECT_EQ(store.report().find("abc"), std::string::npos);

  // The int reading succeeds, the double reading overflows: neither is applied.
  double* y = store.GetDouble("x", 2.5);
  EXPECT_THROW(store.setText("x", "1e999"), std::out_of_range);
  EXPECT_EQ(*x, 5);
  EXPECT_DOUBLE_EQ(*y, 2.5);
  EXPECT_THROW(store.setText("x", "99999999999"), std::out_of_range);

  // A name without typed entries just records the text.
  EXPECT_NO_THROW(store.setText("free", "abc"));
  EXPECT_EQ(*store.GetString("free", ""), "abc");
}

TEST(ConfigStore, SetTextWithoutOverwriteKeepsExistingValues) {
  fw::Var store;
  int* x = store.GetInt("x", 5);
  store.setText("x", "8", false);
  EXPECT_EQ(*x, 5);
  store.setText("t", "first", false);
  store.setText("t", "second", false);
  EXPECT_EQ(*store.GetString("t", ""), "first");
  store.setText("t", "third");
  EXPECT_EQ(*store.GetString("t", ""), "third");
}

TEST(ConfigStore, PointsAreSharedByStoresAndReadFromZero) {
  fw::Var a, b;
  a.setText("cfgtest.point.partial", "1 2");
  const pi::Point3d read = a.GetPoint3d("cfgtest.point.partial", pi::Point3d(7, 8, 9));
  EXPECT_EQ(read, pi::Point3d(1, 2, 0));
  EXPECT_EQ(b.GetPoint3d("cfgtest.point.partial", pi::Point3d(5, 5, 5)), pi::Point3d(1, 2, 0));
  EXPECT_EQ(b.GetPoint3d("cfgtest.point.default", pi::Point3d(4, 5, 6)), pi::Point3d(4, 5, 6));
}

TEST(ConfigStore, ReportListsEachTableThenTheTexts) {
  fw::Var store;
  EXPECT_EQ(store.report(), "");
  store.GetInt("count", 3);
  store.GetString("name", "ortho");
  store.setText("zeta", "text value");
  const std::string sep = std::string(78, '-') + "\n";
  const std::string expected =
      "================================== Var report ===============================\n"
      "NAME                                     VALUE                                \n" +
      sep + row("count", "3") + sep + row("name", "ortho") + sep + row("zeta", "text value") +
      "=============================== End of Var report ===========================\n\n";
  EXPECT_EQ(store.report(), expected);

  store.GetDouble("ratio", 0.123456789);
  const std::string report = store.report();
  EXPECT_NE(report.find(sep + row("ratio", "0.123457")), std::string::npos);
}

TEST(ConfigStore, DestroyedStorePrintsReportOnlyWhenAsked) {
  testing::internal::CaptureStdout();
  {
    fw::Var quiet;
    quiet.GetInt("a", 1);
  }
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");

  ScopedEnv env("Var.DumpAllVars", "1");
  testing::internal::CaptureStdout();
  { fw::Var loud; }
  const std::string out = testing::internal::GetCapturedStdout();
  const std::string sep = std::string(78, '-') + "\n";
  EXPECT_EQ(out.rfind("\n==================================", 0), 0u);
  EXPECT_NE(out.find(sep + row("Var.DumpAllVars", "1") + sep), std::string::npos);
}

TEST(ConfigStore, ConcurrentReadersShareOneEntryWhileTextsArrive) {
  fw::Var store;
  constexpr int kThreads = 6;
  std::vector<int*> seen(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&store, &seen, t] {
      for (int i = 0; i < 200; ++i) {
        seen[t] = store.GetInt("shared", t);
        store.GetDouble("d" + std::to_string(i % 10), i);
        store.setText("text" + std::to_string(t), std::to_string(i));
        store.report();
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (int* entry : seen) EXPECT_EQ(entry, seen[0]);
  EXPECT_EQ(*store.GetString("text0", ""), "199");
}

}  // namespace
