// Loading and querying a large snapshot database: 10,000 snapshots of 4 disks
// each, in a chain with a side branch every 100 snapshots, written to a
// temporary folder with empty disk files. Budget: one load plus query under
// 100 ms.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

// The reader's own records, for the timing of a read alone.
#include "../lib/snapshot/snapshotInfo.h"
#include "user/dictionary.h"

namespace {

const int kSnapshots = 10000;
const int kDisksPerSnapshot = 4;

std::string DiskName(int snapshot, int disk) {
  char name[64];
  snprintf(name, sizeof name, "disk%d-%06d.bxdk", disk, snapshot);
  return name;
}

class VmFixture {
 public:
  VmFixture() {
    folder_ = std::filesystem::temp_directory_path() /
              ("brenix-snapshot-bench-" + std::to_string(std::random_device{}()));
    std::filesystem::create_directories(folder_);
    std::ofstream db(folder_ / "vm.bxsd");
    db << "snapshot.lastUID = \"" << kSnapshots << "\"\n";
    db << "snapshot.numSnapshots = \"" << kSnapshots << "\"\n";
    db << "snapshot.current = \"" << kSnapshots << "\"\n";
    for (int i = 0; i < kSnapshots; i++) {
      int uid = i + 1;
      // Every hundredth snapshot branches off the one before its parent.
      int parent = (i % 100 == 99) ? i - 1 : i;
      db << "snapshot" << i << ".uid = \"" << uid << "\"\n";
      db << "snapshot" << i << ".parent = \"" << parent << "\"\n";
      db << "snapshot" << i << ".filename = \"vm-Snapshot" << uid << ".bxsn\"\n";
      db << "snapshot" << i << ".displayName = \"Snapshot " << uid << "\"\n";
      db << "snapshot" << i << ".createTimeHigh = \"30000000\"\n";
      db << "snapshot" << i << ".createTimeLow = \"" << i * 1000 << "\"\n";
      db << "snapshot" << i << ".numDisks = \"" << kDisksPerSnapshot << "\"\n";
      for (int j = 0; j < kDisksPerSnapshot; j++) {
        std::string name = DiskName(i, j);
        db << "snapshot" << i << ".disk" << j << ".fileName = \"" << name << "\"\n";
        db << "snapshot" << i << ".disk" << j << ".node = \"scsi0:" << j << "\"\n";
        std::ofstream(folder_ / name);
      }
    }
    std::ofstream cfg(folder_ / "vm.bxx");
    cfg << "config.version = \"8\"\nscsi0.present = \"TRUE\"\n";
    for (int j = 0; j < kDisksPerSnapshot; j++) {
      std::string name = DiskName(kSnapshots, j);
      cfg << "scsi0:" << j << ".present = \"TRUE\"\n";
      cfg << "scsi0:" << j << ".fileName = \"" << name << "\"\n";
      std::ofstream(folder_ / name);
    }
  }
  ~VmFixture() {
    std::error_code ec;
    std::filesystem::remove_all(folder_, ec);
  }

  std::string config() const { return (folder_ / "vm.bxx").string(); }
  std::string file(const std::string &name) const { return (folder_ / name).string(); }

 private:
  std::filesystem::path folder_;
};

// One folder for every benchmark: writing 40,000 files takes longer than the
// benchmarks themselves.
const VmFixture &Vm() {
  static VmFixture vm;
  return vm;
}

void BM_QueryDiskUse(benchmark::State &state) {
  const VmFixture &vm = Vm();
  std::string config = vm.config();
  // A disk of a snapshot halfway down the chain.
  std::string disk = vm.file(DiskName(kSnapshots / 2, 2));
  for (auto _ : state) {
    bool used = false;
    bool inCurrentState = true;
    int nodes = 0;
    SnapshotError err =
        Snapshot_QueryDiskUse(config.c_str(), disk.c_str(), &used, &inCurrentState, &nodes);
    if (err.type != SNAPSHOT_SUCCESS || !used || inCurrentState || nodes != kSnapshots + 1) {
      state.SkipWithError("unexpected query result");
      break;
    }
  }
}
BENCHMARK(BM_QueryDiskUse)->Unit(benchmark::kMillisecond)->MinTime(2.0);

void BM_GetCurrentDisks(benchmark::State &state) {
  const VmFixture &vm = Vm();
  std::string config = vm.config();
  for (auto _ : state) {
    char **disks = nullptr;
    int count = 0;
    SnapshotError err = Snapshot_GetCurrentDisks(config.c_str(), &disks, &count);
    if (err.type != SNAPSHOT_SUCCESS || count != kDisksPerSnapshot) {
      state.SkipWithError("unexpected current disks");
      break;
    }
    for (int i = 0; i < count; i++) {
      free(disks[i]);
    }
    free(disks);
  }
}
BENCHMARK(BM_GetCurrentDisks)->Unit(benchmark::kMillisecond)->MinTime(2.0);

// The parts of a load, to show where its time goes: the database's
// dictionary alone, and the read without resolving the 40,004 disk names.
void BM_DatabaseDictionaryLoad(benchmark::State &state) {
  std::string database = Vm().file("vm.bxsd");
  for (auto _ : state) {
    Dictionary *dict = Dictionary_Create();
    bool ok = Dictionary_Load(dict, database.c_str(), 18);
    Dictionary_Free(dict);
    if (!ok) {
      state.SkipWithError("database did not load");
      break;
    }
  }
}
BENCHMARK(BM_DatabaseDictionaryLoad)->Unit(benchmark::kMillisecond)->MinTime(2.0);

void BM_ConfigInfoReadWithoutExpansion(benchmark::State &state) {
  std::string config = Vm().config();
  for (auto _ : state) {
    SnapshotConfigInfo *info = nullptr;
    SnapshotError err = SnapshotConfigInfoRead(config.c_str(), SNAPSHOT_LOCK_NONE, &info);
    SnapshotConfigInfoFree(info);
    if (err.type != SNAPSHOT_SUCCESS) {
      state.SkipWithError("read failed");
      break;
    }
  }
}
BENCHMARK(BM_ConfigInfoReadWithoutExpansion)->Unit(benchmark::kMillisecond)->MinTime(2.0);

}  // namespace

BENCHMARK_MAIN();
