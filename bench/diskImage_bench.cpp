// Listing the volumes of a non-raw disk against the floor of one qemu-img
// info on the same file: a two-volume qcow2 disk probed (through the cache a
// service keeps), opened and exported read-only by the storage daemon the
// service keeps for looking at disks, its partition table read, and closed. The raw case (no
// daemon: the table read directly) is beside it, and the first look at each, cache empty.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "diskImage.h"
#include "host/process.h"
#include "partitions.h"
#include "storageDaemon.h"

namespace {

namespace fs = std::filesystem;

struct Disks {
  fs::path folder;
  std::string raw, qcow2;

  Disks() {
    folder = fs::temp_directory_path() / ("brenix-bench-" + std::to_string(getpid()));
    fs::create_directories(folder);
    raw = (folder / "disk.raw").string();
    qcow2 = (folder / "disk.qcow2").string();
    std::string script = "label: dos\nstart=2048, size=8192, type=83\nstart=12288, type=83\n";
    std::string command = "truncate -s 64M " + raw + " && printf '" + script + "' | sfdisk -q " +
                          raw + " && qemu-img convert -O qcow2 " + raw + " " + qcow2;
    if (system(command.c_str()) != 0) {
      abort();
    }
  }
  ~Disks() { fs::remove_all(folder); }
};

Disks &TheDisks() {
  static Disks disks;
  return disks;
}

void BM_QemuImgInfo(benchmark::State &state) {
  const char *argv[] = {"qemu-img", "info", "--output=json", "-U", TheDisks().qcow2.c_str(),
                        nullptr};
  for (auto _ : state) {
    HostRunResult run;
    if (HostProcess_Run(argv, nullptr, &run) != 0 || run.exitCode != 0) {
      state.SkipWithError("qemu-img info failed");
    }
    HostRunResult_Free(&run);
  }
}
BENCHMARK(BM_QemuImgInfo)->Unit(benchmark::kMillisecond);

void ListVolumes(benchmark::State &state, const std::string &path, bool cached) {
  std::string base = (TheDisks().folder / "daemons").string();
  auto cache = std::make_unique<DiskImageCache>();
  // The service keeps one daemon for looking at disks.
  StorageDaemon daemon(base);
  std::string why;
  if (!daemon.Launch("look", &why)) {
    state.SkipWithError(why.c_str());
    return;
  }
  for (auto _ : state) {
    if (!cached) {
      cache = std::make_unique<DiskImageCache>();
    }
    DiskImage image;
    std::vector<VolumeExtent> volumes;
    int error = 0;
    if (cache->Probe(path, &image, &why) != ImageProblem::None) {
      state.SkipWithError(why.c_str());
      break;
    }
    if (image.Raw()) {
      ReadVolumes(path, &volumes, &error);
    } else {
      if (!daemon.Open("disk", image, true, &why) || !daemon.Export("all", "disk", false, &why)) {
        state.SkipWithError(why.c_str());
        break;
      }
      ReadVolumes(daemon.ExportFile("all"), &volumes, &error);
      daemon.Close("disk", &why);
    }
    if (volumes.size() != 2) {
      state.SkipWithError("the disk does not show its two volumes");
    }
  }
  daemon.Stop(&why);
}

void BM_ListVolumesQcow2(benchmark::State &state) {
  ListVolumes(state, TheDisks().qcow2, state.range(0) != 0);
}
BENCHMARK(BM_ListVolumesQcow2)->ArgName("cached")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

void BM_ListVolumesRaw(benchmark::State &state) {
  ListVolumes(state, TheDisks().raw, state.range(0) != 0);
}
BENCHMARK(BM_ListVolumesRaw)->ArgName("cached")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
