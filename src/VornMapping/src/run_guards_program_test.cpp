// The programs' guards around a run, grouped by kind: links and names (nothing is written
// through a link or a second name, nor at a path cut short or too long), limits and signals
// (a file-size limit or a stop signal ends the run with its final status, leaving no temporary
// file of ours), and settings (refused by key, or honoured). Each case shows its clean end: the
// state, the reason in the task log, and the files outside home untouched byte for byte.
#include "child_process_test_helper.h"
#include "spawn_test_helper.h"
#include "task_run_test_helper.h"

#include "src/utilities/src/test_images.h"

#include "read_file.h"
#include "scoped_env.h"
#include "temp_dir.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <signal.h>
#include <unistd.h>

#include <fstream>
#include <utility>

namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using vmtest::readFile;

const char* const kProgram = VORN_MAPPING_PROGRAM;
const char* const kTestProgram = VORN_MAPPING_TEST_PROGRAM;

using vmtest::ProgramRun;

ProgramRun run(const char* program, const json& task, vmtest::SpawnOptions options = {}) {
  return vmtest::runProgram(program, task, std::move(options));
}

using vmtest::contains;

// A file outside home that no run may change, and its bytes.
struct Precious {
  explicit Precious(const vmtest::TempDir& outside)
      : path(outside / "precious.db"), bytes("precious bytes\n") {
    std::ofstream(path, std::ios::binary) << bytes;
  }
  bool untouched() const { return readFile(path) == bytes; }
  fs::path path;
  std::string bytes;
};

TEST(LinksAndNames, AHardLinkedLogIsRefusedAndItsOtherFileKept) {
  vmtest::TempDir home, outside;
  const Precious precious(outside);
  fs::create_hard_link(precious.path, home / "log.txt");
  const ProgramRun refused = run(kProgram, vmtest::frameListTask(home, 6));
  EXPECT_EQ(refused.states(), std::vector<int>{-14});
  EXPECT_TRUE(contains(
      refused.child.err,
      "Failed to open log file: " + (home / "log.txt").string() + ": it has 2 names (hard links)"))
      << refused.child.err;
  EXPECT_TRUE(precious.untouched());
}

TEST(LinksAndNames, LinksAtTheDatabasesAreRefusedBeforeAnyWork) {
  for (const char* product : {"dom/dom.mbtiles", "dsm/dsm.mbtiles", ".cache/tf/tiles/tile.db"}) {
    vmtest::TempDir home, outside;
    const Precious precious(outside);
    const fs::path link = home / product;
    fs::create_directories(link.parent_path());
    // A dangling link: the database would be created at its target.
    fs::create_symlink(outside / "created.db", link);
    const ProgramRun refused = run(kProgram, vmtest::frameListTask(home, 6));
    EXPECT_EQ(refused.states(), std::vector<int>{-14}) << product;
    const std::string log = readFile(home / "log.txt");
    EXPECT_TRUE(contains(log, link.string() + " is a symbolic link")) << log;
    EXPECT_TRUE(contains(log, "Refusing the task: the products cannot be written safely"));
    EXPECT_FALSE(fs::exists(outside / "created.db")) << product;
    EXPECT_TRUE(precious.untouched());
  }
}

// A home named through a link is resolved once at the start: the run works in the real
// folder, and every product path it prints lies there.
TEST(LinksAndNames, AHomeGivenThroughALinkIsResolvedToItsRealFolder) {
  vmtest::TempDir base;
  const fs::path real = base / "real", link = base / "link";
  fs::create_directories(real);
  fs::create_directory_symlink(real, link);
  json task = vmtest::frameListTask(base, 6);
  task["home"] = link.string();
  task["dense"] = {{"tiling", {{"location", (link / "points").string()}}}};
  const ProgramRun resolved = run(kTestProgram, task);
  ASSERT_FALSE(resolved.statusLines.empty()) << resolved.child.err;
  EXPECT_EQ(resolved.states().back(), 12);
  EXPECT_TRUE(
      contains(resolved.child.out, "home: " + link.string() + " is the folder " + real.string()));
  const std::string out = resolved.child.out;
  const std::string chain = out.substr(out.find("Finished chain config: "));
  EXPECT_TRUE(contains(chain, "\"location\":\"" + (real / "points").string()))
      << "a location the task named inside home moves with it";
  EXPECT_FALSE(contains(chain, link.string())) << chain;
  EXPECT_TRUE(contains(vmtest::lastLine(readFile(real / "log.txt")), "Task processed in "));
  EXPECT_TRUE(fs::is_symlink(link));
}

// A point-cloud folder that cannot be made (a file in its place, in home or outside it)
// refuses the task at its start, and the file is untouched.
TEST(LinksAndNames, AProductFolderThatIsAFileIsRefusedAtTheStart) {
  vmtest::TempDir home, outside;
  const Precious precious(outside);
  std::ofstream(home / "dense") << "";
  for (const fs::path& location : {home / "dense", precious.path}) {
    json task = vmtest::frameListTask(home, 6);
    task["dense"] = {{"tiling", {{"location", location.string()}}}};
    const ProgramRun refused = run(kProgram, task);
    EXPECT_EQ(refused.states(), std::vector<int>{-14});
    EXPECT_TRUE(
        contains(readFile(home / "log.txt"), location.string() + " exists and is not a folder"))
        << location;
  }
  EXPECT_TRUE(precious.untouched());
  EXPECT_EQ(fs::file_size(home / "dense"), 0u);
}

TEST(LinksAndNames, APathSettingWithANulByteIsRefusedByKey) {
  vmtest::TempDir home;
  json task = vmtest::frameListTask(home, 6);
  task["dom"] = {{"tiling", {{"location", (home / "cut").string() + std::string("\0/dom", 5)}}}};
  const ProgramRun refused = run(kProgram, task);
  EXPECT_TRUE(refused.statusLines.empty());
  EXPECT_EQ(vmtest::lastLine(refused.child.err),
            R"({"code":-4,"message":"Invalid task or config format: dom.tiling.location must not )"
            R"(hold a NUL byte, not \")" +
                (home / "cut").string() + R"(\\u0000/dom\""})");
  EXPECT_FALSE(fs::exists(home / "cut"));
  EXPECT_FALSE(fs::exists(home / "log.txt"));
}

TEST(LinksAndNames, AHomeTooLongForSqliteIsRefusedWithTheRealReason) {
  vmtest::TempDir base;
  fs::path home = base.path();
  // 490 bytes: "<home>/.cache/tf/tiles/tile.db" is 514 bytes, past SQLite's 504.
  while (home.string().size() < 490)
    home /= std::string(std::min<std::size_t>(489 - home.string().size(), 100), 'h');
  fs::create_directories(home);
  json task = vmtest::frameListTask(base, 6);
  task["home"] = home.string();
  const ProgramRun refused = run(kProgram, task);
  EXPECT_EQ(refused.states(), std::vector<int>{-14});
  const std::string log = readFile(home / "log.txt");
  EXPECT_TRUE(contains(log,
                       "tile.db is 514 bytes long: SQLite opens database files by paths "
                       "of at most 504 bytes"))
      << log;

  // Tile files are not limited so: the run goes ahead.
  task["dom"] = {{"tiling", {{"storage", 1}}}};
  task["dsm"] = {{"tiling", {{"storage", 1}}}};
  fs::remove(home / "log.txt");
  const ProgramRun files = run(kTestProgram, task);
  ASSERT_FALSE(files.statusLines.empty()) << files.child.err;
  EXPECT_EQ(files.states().back(), 12);
}

TEST(LinksAndNames, AHomeWithAnEarlierRunsProductsIsRefusedAndItsLogKeptWhole) {
  vmtest::TempDir home;
  const json task = vmtest::frameListTask(home, 6);
  const ProgramRun first = run(kTestProgram, task);
  ASSERT_FALSE(first.statusLines.empty());
  ASSERT_EQ(first.states().back(), 12);
  // The first run's products (the test doubles write none).
  fs::create_directories(home / "dom");
  std::ofstream(home / "dom/dom.mbtiles") << "tiles";
  const std::string firstLog = readFile(home / "log.txt");

  const ProgramRun second = run(kTestProgram, task);
  EXPECT_EQ(second.states(), std::vector<int>{-14});
  const std::string log = readFile(home / "log.txt");
  ASSERT_EQ(log.substr(0, firstLog.size()), firstLog);
  const std::string added = log.substr(firstLog.size());
  EXPECT_EQ(
      added.rfind("\n==== A new run starts here; the lines above are an earlier run's ====\n", 0),
      0u)
      << added;
  EXPECT_TRUE(contains(added, (home / "dom/dom.mbtiles").string() +
                                  " already exists: it is an earlier run's product"))
      << added;
  EXPECT_EQ(readFile(home / "dom/dom.mbtiles"), "tiles");
}

TEST(LimitsAndSignals, AFileSizeLimitEndsTheRunWithItsStatus) {
  vmtest::TempDir home;
  vmtest::SpawnOptions options;
  // Far below what the task log of a run takes: its writes meet the limit.
  options.fileSizeLimitBytes = 200;
  const ProgramRun limited = run(kTestProgram, vmtest::frameListTask(home, 6), options);
  EXPECT_EQ(limited.child.exit_code, 0) << limited.child.err.substr(0, 2000);
  ASSERT_FALSE(limited.statusLines.empty());
  EXPECT_EQ(limited.states().back(), 12);
  EXPECT_EQ(fs::file_size(home / "log.txt"), 200u);
}

TEST(LimitsAndSignals, AStopSignalBeforeTheProgramRunsStopsTheRunOrderly) {
  for (int signal : {SIGTERM, SIGHUP, SIGQUIT}) {
    vmtest::TempDir home;
    vmtest::SpawnOptions options;
    options.signalAtStart = signal;
    const ProgramRun stopped = run(kTestProgram, vmtest::frameListTask(home, 6), options);
    EXPECT_EQ(stopped.child.exit_code, 0) << signal;
    ASSERT_FALSE(stopped.statusLines.empty()) << signal << stopped.child.err;
    EXPECT_EQ(stopped.states().back(), 13) << signal;
    const std::string log = readFile(home / "log.txt");
    EXPECT_TRUE(contains(log, "Stop requested by a signal.")) << log;
    EXPECT_TRUE(contains(vmtest::lastLine(log), "Task processed in ")) << log;
  }
}

TEST(LimitsAndSignals, AStopSignalDuringTheFinalFlushIsLoggedAndTheRunFinishes) {
  for (int signal : {SIGTERM, SIGINT, SIGQUIT}) {
    vmtest::TempDir home;
    json task = vmtest::frameListTask(home, 6);
    task["dense"] = {{"flush_until_signal", true}};
    vmtest::SpawnOptions options;
    bool sent = false;
    // Every frame has been taken and the back end is flushing its products.
    options.onErrorLine = [&](pid_t pid, const std::string& line) {
      if (!sent && contains(line, "Test back end: flushing")) sent = ::kill(pid, signal) == 0;
      return true;
    };
    const ProgramRun flushed = run(kTestProgram, task, options);
    EXPECT_TRUE(sent) << signal;
    ASSERT_FALSE(flushed.statusLines.empty()) << signal << flushed.child.err;
    EXPECT_EQ(flushed.states().back(), 12) << signal;
    const std::string log = readFile(home / "log.txt");
    EXPECT_TRUE(contains(log,
                         "A stop was asked for after the last frame had been taken: the "
                         "products were completed"))
        << log;
    EXPECT_TRUE(contains(vmtest::lastLine(log), "Task processed in ")) << log;
  }
}

TEST(LimitsAndSignals, OurTemporaryFilesGoAtTheEndAndNobodyElses) {
  vmtest::TempDir home;
  json task = vmtest::frameListTask(home, 6);
  task["dense"] = {{"leave_temporary", true}};
  std::ofstream(home / "other.pnts.1.tmp") << "another process's";
  const ProgramRun finished = run(kTestProgram, task);
  ASSERT_FALSE(finished.statusLines.empty()) << finished.child.err;
  EXPECT_EQ(finished.states().back(), 12);
  ASSERT_TRUE(fs::is_directory(home / "dense/0"));
  EXPECT_TRUE(fs::is_empty(home / "dense/0"));
  EXPECT_EQ(readFile(home / "other.pnts.1.tmp"), "another process's");
}

TEST(Settings, WrongTypesAreRefusedAtStartByKey) {
  vmtest::TempDir home;
  const std::vector<std::pair<json, std::string>> cases = {
      {{{"dom", {{"tiling", {{"storage", nullptr}}}}}}, "dom.tiling.storage must be 1"},
      {{{"dom", {{"tiling", {{"tile_size", -64}}}}}}, "dom.tiling.tile_size must be [256,256]"},
      {{{"dom", {{"tiling", {{"tile_format", "gif"}}}}}}, "dom.tiling.tile_format must be"},
      {{{"dense", {{"legacy_tf", {{"specific", {{"terrainfusion.render_mode", 99}}}}}}}},
       "dense.legacy_tf.specific.terrainfusion.render_mode must be 2"},
      // Twenty zoom levels finer than the frames: no raster of it could ever be allocated.
      {{{"dom", {{"scale", 1e-6}}}}, "dom.scale 1e-06 sets the DOM 20 zoom levels finer"},
      // So coarse that every frame would shrink below a DOM pixel and no tile be written.
      {{{"dom", {{"scale", 1e6}}}}, "dom.scale must be at most 256"},
      {{{"dom", {{"max_zoom_level", 0}}}}, "dom.max_zoom_level must be a whole number from 10"},
      // A million solver threads would take the memory before the first frame.
      {{{"locate", {{"method", "legacy_sfm"}, {"specific", {{"sfm.refine.threads", 1000000}}}}}},
       "locate.specific.sfm.refine.threads must be a whole number from 1 to"},
      {{{"dense", {{"legacy_tf", {{"specific", {{"terrainfusion.threads", "NaN"}}}}}}}},
       "dense.legacy_tf.specific.terrainfusion.threads must be a whole number from 1 to"},
  };
  for (const auto& [settings, expected] : cases) {
    json task = vmtest::frameListTask(home, 6);
    task.update(settings);
    const ProgramRun refused = run(kProgram, task);
    EXPECT_TRUE(refused.statusLines.empty());
    const json result = json::parse(vmtest::lastLine(refused.child.err));
    EXPECT_EQ(result["code"], -4);
    EXPECT_TRUE(contains(result["message"], "Invalid task or config format: " + expected))
        << result;
    EXPECT_FALSE(fs::exists(home / "log.txt"));
  }
}

// A setting from the environment meets the same check at start, before anything is allocated.
TEST(Settings, ASettingFromTheEnvironmentIsRefusedAtStartByKey) {
  vmtest::TempDir home;
  const vmtest::ScopedEnv threads("sfm.refine.threads", "1000000");
  const ProgramRun refused = run(kProgram, vmtest::frameListTask(home, 6));
  EXPECT_TRUE(refused.statusLines.empty());
  const json result = json::parse(vmtest::lastLine(refused.child.err));
  EXPECT_EQ(result["code"], -4);
  EXPECT_TRUE(contains(result["message"],
                       "Invalid task or config format: sfm.refine.threads (from the environment) "
                       "must be a whole number from 1 to"))
      << result;
  EXPECT_FALSE(fs::exists(home / "log.txt"));
}

TEST(Settings, TheTasksImageLimitIsHonoured) {
  vmtest::TempDir home;
  // Frames of 1.1 megapixels, over the task's limit of 1.
  const auto list = vmtest::writeFrameList(home.path(), 6, 1100, 1000);
  const json task = {
      {"home", home.path().string()},
      {"dataset", {{"form", "zel_frame"}, {"uri", list.string()}, {"max_megapixels", 1}}}};
  const ProgramRun limited = run(kTestProgram, task);
  ASSERT_FALSE(limited.statusLines.empty()) << limited.child.err;
  EXPECT_EQ(limited.states().back(), -14);
  const std::string log = readFile(home / "log.txt");
  EXPECT_TRUE(contains(log, "frames read failed 6 (too many pixels 6)")) << log;
}

TEST(Settings, AFrameOffTheGlobeIsSkippedWithTheReason) {
  vmtest::TempDir home;
  json task = vmtest::frameListTask(home, 7);
  const fs::path listPath = task["dataset"]["uri"].get<std::string>();
  json list = json::parse(readFile(listPath));
  list[3]["gps"] = {{"longitude", 200.0}, {"latitude", 45.0}, {"altitude", 100.0}};
  std::ofstream(listPath, std::ios::trunc) << list.dump();
  const ProgramRun skipped = run(kTestProgram, task);
  ASSERT_FALSE(skipped.statusLines.empty()) << skipped.child.err;
  EXPECT_EQ(skipped.states().back(), 12);
  const std::string log = readFile(home / "log.txt");
  EXPECT_TRUE(contains(log, "\"gps\".\"longitude\" 200.000000 is outside -180..180")) << log;
  EXPECT_TRUE(contains(log, "frames read 6")) << log;
  EXPECT_TRUE(contains(log, "position off the globe 1")) << log;
}

}  // namespace
