// Activation from a cold host prefix: the first CoCreateInstance of the mount
// service's class starts the registered bmount-service and waits for its
// endpoint. Each iteration uses a fresh prefix; stopping the service is not
// timed.
#include <benchmark/benchmark.h>

#include <stdlib.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "com/activation.h"
#include "com/apartment.h"
#include "com/mountService.h"
#include "host/prefix.h"
#include "host/registry.h"

namespace {

const char kClassKey[] =
    "Software\\Classes\\CLSID\\{F91031A3-644F-46F1-8ED5-B91F0E160879}\\LocalServer32";

std::string ServicePath() {
  // The benchmarks land in <build>/bench, the programs in <build>/bin.
  return std::filesystem::canonical("/proc/self/exe").parent_path().parent_path() /
         "bin/bmount-service";
}

void BM_ColdActivation(benchmark::State &state) {
  std::string service = ServicePath();
  if (access(service.c_str(), X_OK) != 0) {
    state.SkipWithError("bmount-service is not built");
    return;
  }
  CoInitialize(nullptr);
  char root[] = "/tmp/brenix-activation-XXXXXX";
  if (mkdtemp(root) == nullptr) {
    state.SkipWithError("no temporary folder");
    return;
  }
  int round = 0;
  for (auto _ : state) {
    state.PauseTiming();
    std::string prefix = std::string(root) + "/host" + std::to_string(round++);
    setenv("BRENIX_HOST_PREFIX", prefix.c_str(), 1);
    free(HostPrefix_Ensure());
    if (HostRegistry_CreateKey(kClassKey) != 0 ||
        HostRegistry_SetString(kClassKey, "@", HOSTREG_SZ, service.c_str()) != 0) {
      state.SkipWithError("cannot register the service");
      break;
    }
    state.ResumeTiming();

    IUnknown *object = nullptr;
    HRESULT hr = CoCreateInstance(CLSID_MountLocator, nullptr, CLSCTX_ALL, IID_IUnknown,
                                  reinterpret_cast<void **>(&object));
    if (object != nullptr) object->Release();
    if (FAILED(hr)) {
      state.SkipWithError("activation failed");
      break;
    }

    state.PauseTiming();
    std::string stop = "'" + service + "' --stop >/dev/null 2>&1";
    if (std::system(stop.c_str()) != 0) {
      state.SkipWithError("the service did not stop");
      break;
    }
    state.ResumeTiming();
  }
  std::filesystem::remove_all(root);
  CoUninitialize();
}
BENCHMARK(BM_ColdActivation)->Iterations(10)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
