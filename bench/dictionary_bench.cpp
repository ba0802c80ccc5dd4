// Loading a large dictionary file and reading every entry back as a string,
// on generated files of configuration and snapshot-database lines. Reports
// throughput (bytes of file per second) and memory: the heap the loaded
// dictionary holds, the growth of the resident size while it is loaded (which
// also counts the large regions the dictionary maps outside the heap), and
// the process's peak resident size, each against the file's size.
// BM_FirstLoad runs first and once: the load of a fresh process, whose memory
// is all new to it (on a virtual machine that hands freed memory back to its
// host, the costliest case); BM_LoadAndReadAll is the steady state.
#include <malloc.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>

#include <benchmark/benchmark.h>

#include "user/dictionary.h"
#include "user/msg.h"

namespace {

// The kinds of line, one after the other: a format of the snapshot number
// (i / 12), a second number of i, and the upper bytes of i for the address.
struct LineKind {
  const char *format;
  unsigned (*second)(unsigned i);
};
const LineKind kKinds[] = {
    {"# snapshot %u\n", nullptr},
    {"snapshot%u.uid = \"%u\"\n", [](unsigned i) { return i / 12 + 1; }},
    {"snapshot%u.displayName = \"Before update %u\"\n", [](unsigned i) { return i % 977; }},
    {"snapshot%u.disk0.fileName = \"Windows Server 2019-%06u.bxdk\"\n",
     [](unsigned i) { return i / 12; }},
    {"snapshot%u.disk0.node = \"scsi0:%u\"\n", [](unsigned i) { return i % 7; }},
    {"snapshot%u.createTimeHigh = \"%u\"\n", [](unsigned i) { return 372000u + i % 1000; }},
    {"snapshot%u.createTimeLow = \"%u\"\n", [](unsigned i) { return i * 2654435761u; }},
    {"ethernet%u.generatedAddress = \"00:0c:29:%02x:%02x:%02x\"\n",
     [](unsigned i) { return i & 0xff; }},
    {"ethernet%u.virtualDev = \"e1000\"\n", nullptr},
    {"scsi%u:0.present = \"TRUE\"\n", nullptr},
    {"sched.mem%u.min = \"%u\"   # reserved\n", [](unsigned i) { return i % 4096; }},
    {"\n", nullptr},
};

// Writes about `bytes` of lines such as a virtual machine's configuration and
// its snapshot database hold; every name is unique. Returns the size written.
size_t GenerateFile(const std::string &path, size_t bytes) {
  FILE *f = fopen(path.c_str(), "w");
  if (f == nullptr) return 0;
  size_t written = 0;
  char line[256];
  for (unsigned i = 0; written < bytes; i++) {
    const LineKind &kind = kKinds[i % 12];
    unsigned second = kind.second != nullptr ? kind.second(i) : 0;
    // Formats that take fewer numbers leave the rest unread.
    int n =
        snprintf(line, sizeof line, kind.format, i / 12, second, (i >> 8) & 0xff, (i >> 16) & 0xff);
    fwrite(line, 1, static_cast<size_t>(n), f);
    written += static_cast<size_t>(n);
  }
  fclose(f);
  return written;
}

struct TestFile {
  std::string path;
  size_t size;
};

// Files live in one temporary folder for the whole run.
class Files {
 public:
  ~Files() {
    std::error_code ec;
    if (!dir_.empty()) std::filesystem::remove_all(dir_, ec);
  }
  const TestFile &Get(size_t bytes) {
    auto it = files_.find(bytes);
    if (it != files_.end()) return it->second;
    if (dir_.empty()) {
      std::string tmpl = std::filesystem::temp_directory_path() / "dictbench-XXXXXX";
      if (mkdtemp(tmpl.data()) != nullptr) dir_ = tmpl;
    }
    std::string path = dir_ + "/config" + std::to_string(bytes) + ".bxx";
    size_t size = GenerateFile(path, bytes);
    return files_[bytes] = TestFile{path, size};
  }

 private:
  std::string dir_;
  std::map<size_t, TestFile> files_;
};

Files gFiles;

size_t HeapInUse() {
  struct mallinfo2 info = mallinfo2();
  return info.uordblks + info.hblkhd;
}

double ResidentBytes() {
  long pages = 0;
  long resident = 0;
  FILE *f = fopen("/proc/self/statm", "r");
  if (f != nullptr) {
    if (fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
    fclose(f);
  }
  return static_cast<double>(resident) * static_cast<double>(sysconf(_SC_PAGESIZE));
}

double PeakRssBytes() {
  struct rusage usage;
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_maxrss) * 1024.0;
}

void BM_LoadAndReadAll(benchmark::State &state) {
  const TestFile &file = gFiles.Get(static_cast<size_t>(state.range(0)) << 20);
  if (file.size == 0) {
    state.SkipWithError("cannot write the test file");
    return;
  }
  double heapRatio = 0;
  double residentRatio = 0;
  size_t entries = 0;
  for (auto _ : state) {
    size_t heapBefore = HeapInUse();
    double residentBefore = ResidentBytes();
    Dictionary *dict = Dictionary_Create();
    if (!Dictionary_Load(dict, file.path.c_str(), 18)) {
      state.SkipWithError(Msg_GetMessages());
      Dictionary_Free(dict);
      return;
    }
    entries = 0;
    for (DictEntry *e = dict->firstEntry; e != nullptr; e = e->next) {
      char *value = Dict_GetString(dict, nullptr, "%s", e->name);
      benchmark::DoNotOptimize(value);
      free(value);
      entries++;
    }
    heapRatio = static_cast<double>(HeapInUse() - heapBefore) / static_cast<double>(file.size);
    residentRatio = (ResidentBytes() - residentBefore) / static_cast<double>(file.size);
    Dictionary_Free(dict);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * file.size));
  state.counters["MB/s"] = benchmark::Counter(static_cast<double>(file.size) / 1e6,
                                              benchmark::Counter::kIsIterationInvariantRate);
  state.counters["entries"] = static_cast<double>(entries);
  state.counters["heap/file"] = heapRatio;
  state.counters["rssGrowth/file"] = residentRatio;
  state.counters["peakRSS_MB"] = PeakRssBytes() / 1e6;
  state.counters["peakRSS/file"] = PeakRssBytes() / static_cast<double>(file.size);
}

// A virtual machine's configuration of about 4 KB as a validation reads it:
// the text in hand, then a few dozen names, most of them absent.
void BM_SmallConfig(benchmark::State &state) {
  const TestFile &file = gFiles.Get(4096);
  std::string text;
  if (FILE *f = fopen(file.path.c_str(), "r"); f != nullptr) {
    text.resize(file.size);
    text.resize(fread(text.data(), 1, text.size(), f));
    fclose(f);
  }
  for (auto _ : state) {
    Dictionary *dict = Dictionary_Create();
    bool ok = Dictionary_LoadText(dict, file.path.c_str(), text.data(), text.size(), 18);
    for (int i = 0; ok && i < 40; i++) {
      benchmark::DoNotOptimize(Dict_GetBool(dict, false, "scsi%d:%d.present", i / 8, i % 8));
    }
    Dictionary_Free(dict);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

}  // namespace

void BM_FirstLoad(benchmark::State &state) { BM_LoadAndReadAll(state); }

BENCHMARK(BM_FirstLoad)->Arg(64)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_LoadAndReadAll)->Arg(1)->Arg(64)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_SmallConfig)->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
