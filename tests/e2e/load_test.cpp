// Many runs at once writing one output path, some failing on purpose: at
// every moment the path holds nothing or one complete image of a successful
// run, and no temporary file is left behind.
#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <thread>

#include "e2e_support.h"

namespace sealtool::test {
namespace {

constexpr int kWorkers = 32;
constexpr int kRunsPerWorker = 10;
constexpr int kInputs = 6;

enum class RunKind { kSucceeds, kBadMarker, kWriteCutShort };

RunKind KindOf(int worker, int run) {
  switch ((worker + run) % 4) {
    case 1: return RunKind::kBadMarker;
    case 2: return RunKind::kWriteCutShort;
    default: return RunKind::kSucceeds;
  }
}

TEST(LoadTest, OneOutputPathUnderManyConcurrentRuns) {
  TempDir dir;
  std::set<Bytes> validOutputs;
  for (int i = 0; i < kInputs; ++i) {
    const Bytes input = ExampleInput(753, 100 + i);
    WriteBytes(dir.File("in" + std::to_string(i) + ".bin"), input);
    std::string lines;
    validOutputs.insert(ExpectedPlainImage(input, 48, 6, &lines));
  }
  Bytes broken = ExampleInput(753, 99);
  broken[48] = 0;
  WriteBytes(dir.File("broken.bin"), broken);
  const std::string output = dir.File("out.bin");

  std::atomic<bool> running{true};
  std::atomic<int> observations{0};
  std::atomic<int> badObservations{0};
  std::thread watcher([&] {
    while (running.load()) {
      if (FileExists(output)) {
        const Bytes seen = ReadBytes(output);
        // A reader may open the path between two renames and still reads one
        // whole file; an empty read means the file vanished in between.
        if (!seen.empty() && validOutputs.count(seen) == 0) ++badObservations;
        ++observations;
      }
    }
  });

  std::atomic<int> unexpected{0};
  std::vector<std::thread> workers;
  for (int w = 0; w < kWorkers; ++w) {
    workers.emplace_back([&, w] {
      for (int r = 0; r < kRunsPerWorker; ++r) {
        const RunKind kind = KindOf(w, r);
        ProcessOptions options;
        options.workDir = dir.path();
        std::string input = "in" + std::to_string((w + r) % kInputs) + ".bin";
        if (kind == RunKind::kBadMarker) input = "broken.bin";
        if (kind == RunKind::kWriteCutShort) options.fileSizeLimit = 20000;
        const ProcessResult result =
            RunOwnProgram(SEALTOOL_EXE, {input, output, "753", "0"}, options);
        const int expected = kind == RunKind::kSucceeds ? 0 : (kind == RunKind::kBadMarker ? 255 : 1);
        if (result.exitStatus != expected) ++unexpected;
      }
    });
  }
  for (std::thread& worker : workers) worker.join();
  running = false;
  watcher.join();

  EXPECT_EQ(unexpected.load(), 0);
  EXPECT_EQ(badObservations.load(), 0) << "of " << observations.load() << " reads";
  EXPECT_GT(observations.load(), 0);
  ASSERT_TRUE(FileExists(output));
  EXPECT_EQ(validOutputs.count(ReadBytes(output)), 1u);
  std::vector<std::string> expectedNames = {"broken.bin", "out.bin"};
  for (int i = 0; i < kInputs; ++i) expectedNames.push_back("in" + std::to_string(i) + ".bin");
  std::sort(expectedNames.begin(), expectedNames.end());
  EXPECT_EQ(dir.List(), expectedNames) << "no temporary file left behind";
}

}  // namespace
}  // namespace sealtool::test
