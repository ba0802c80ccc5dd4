// Disk validation in process, through ValidateDisk with no mounts: the
// folder scan over 1,000 and 10,000 configuration files of about 4 KB (one in a hundred of version
// 8 with a snapshot database), and over 1,000 of version 7 only or version 8 only. Bytes per second
// should stay level as the folder grows. scripts/bench-validate times the same through the real
// program. Besides, 500 of version 8 without a database among 20,000 other files: the time should
// grow with the files plus the configurations, not with their product.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "vdiskValidate.h"

namespace {

namespace fs = std::filesystem;

std::string Config(int i) {
  std::string id = std::to_string(i);
  std::string text = "config.version = \"7\"\ndisplayName = \"Test machine " + id +
                     "\"\nguestOS = \"winxppro\"\nmemsize = \"512\"\n"
                     "ide0:0.present = \"TRUE\"\nide0:0.fileName = \"machine" +
                     id + ".bxdk\"\nide0:0.mode = \"persistent\"\nethernet0.present = \"TRUE\"\n";
  for (int n = 0; text.size() < 4000; n++) {
    std::string b = "pciBridge" + std::to_string(n);
    text += b + ".present = \"TRUE\"\n" + b + ".virtualDev = \"pcieRootPort\"\n" + b +
            ".functions = \"8\"\n";
  }
  return text;
}

void Write(const fs::path &path, const std::string &text) {
  std::ofstream(path, std::ios::binary) << text;
}

// A folder of count configurations beside disk.bxdk, v8Share in a hundred of
// them of version 8; returns the bytes read.
size_t BuildFolder(const fs::path &folder, int count, int v8Share) {
  fs::create_directories(folder);
  Write(folder / "disk.bxdk", "");
  size_t total = 0;
  for (int i = 0; i < count; i++) {
    std::string id = std::to_string(i);
    std::string text = Config(i);
    if (i % 100 < v8Share) {
      text.replace(0, 20,
                   "config.version = \"8\"\nscsi0.present = \"TRUE\"\nscsi0:0.present = "
                   "\"TRUE\"\nscsi0:0.fileName = \"machine" +
                       id + "-000001.bxdk\"");
      std::string db =
          "snapshot.numSnapshots = \"1\"\nsnapshot.current = \"1\"\nsnapshot0.uid = \"1\"\n"
          "snapshot0.numDisks = \"1\"\nsnapshot0.disk0.fileName = \"machine" +
          id + ".bxdk\"\nsnapshot0.disk0.node = \"scsi0:0\"\n";
      Write(folder / ("machine" + id + ".bxsd"), db);
      Write(folder / ("machine" + id + ".bxdk"), "");
      Write(folder / ("machine" + id + "-000001.bxdk"), "");
      total += db.size() + text.size();
    }
    Write(folder / ("machine" + id + ".bxx"), text);
    total += text.size();
  }
  return total;
}

// Validates disk once an iteration, with nothing mounted.
void ValidateRepeatedly(benchmark::State &state, const std::string &disk) {
  ValidationIo io;
  io.readMounts = [] { return std::vector<MountedVolume>{}; };
  for (auto _ : state) {
    std::string path = disk;
    benchmark::DoNotOptimize(ValidateDisk(path, kSnapshotAsk, io));
  }
}

void BM_ValidateDisk(benchmark::State &state) {
  int count = static_cast<int>(state.range(0));
  int v8Share = static_cast<int>(state.range(1));
  fs::path folder = fs::temp_directory_path() / ("brenix-validate-bench-" + std::to_string(count) +
                                                 "-" + std::to_string(v8Share));
  fs::remove_all(folder);
  size_t bytes = BuildFolder(folder, count, v8Share);
  ValidateRepeatedly(state, (folder / "disk.bxdk").string());
  state.SetBytesProcessed(static_cast<int64_t>(bytes) * state.iterations());
  state.counters["files"] = count;
  state.counters["v8%"] = v8Share;
  fs::remove_all(folder);
}
// All of version 7 against all of version 8 gives what a version-8
// configuration costs beside an old one.
BENCHMARK(BM_ValidateDisk)
    ->Args({1000, 1})
    ->Args({10000, 1})
    ->Args({1000, 0})
    ->Args({1000, 100})
    ->Unit(benchmark::kMillisecond);

// Each configuration looks for its missing database under another case of
// its name in the crowded folder.
void BM_ValidateCrowdedFolder(benchmark::State &state) {
  int configs = static_cast<int>(state.range(0));
  int others = static_cast<int>(state.range(1));
  fs::path folder = fs::temp_directory_path() / "brenix-validate-bench-crowded";
  fs::remove_all(folder);
  fs::create_directories(folder);
  Write(folder / "disk.bxdk", "");
  for (int i = 0; i < configs; i++) {
    Write(folder / ("machine" + std::to_string(i) + ".bxx"), "config.version = \"8\"\n");
  }
  for (int i = 0; i < others; i++) Write(folder / ("file" + std::to_string(i)), "");
  ValidateRepeatedly(state, (folder / "disk.bxdk").string());
  state.counters["files"] = configs + others + 1;
  fs::remove_all(folder);
}
BENCHMARK(BM_ValidateCrowdedFolder)->Args({500, 20000})->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
