// One method call round trip through a real socket: a proxy in this thread,
// the stub and a small object in a server thread at the other end of a
// socketpair. Budget: under 50 us median per call.
#include <benchmark/benchmark.h>

#include <thread>

#include "com/activation.h"
#include "com/comPtr.h"
#include "com/mountService.h"
#include "com/object.h"
#include "com/server.h"
#include "host/socket.h"

namespace {

// The object measured: a number as the reply.
class Volume final : public ComObject<IDiskVolume> {
 public:
  HRESULT SectorCount(int32_t *count) override {
    *count = 2048;
    return S_OK;
  }
};

IUnknown *CreateVolume() { return new Volume(); }

void BM_SectorCountRoundTrip(benchmark::State &state) {
  static const ComServerClass cls = {CLSID_MountLocator, &CreateVolume};
  int fds[2];
  if (HostStream_Pair(fds) != 0) {
    state.SkipWithError("socketpair failed");
    return;
  }
  std::thread server([fd = fds[1]] { ComServer_ServeStream(cls, fd); });
  {
    void *p = nullptr;
    HRESULT hr = Com_ActivateOverStream(fds[0], CLSID_MountLocator, IID_IDiskVolume, &p);
    ComPtr<IDiskVolume> volume = ComPtr<IDiskVolume>::Attach(static_cast<IDiskVolume *>(p));
    if (FAILED(hr)) {
      state.SkipWithError("activation failed");
    } else {
      for (auto _ : state) {
        int32_t count = 0;
        volume->SectorCount(&count);
        benchmark::DoNotOptimize(count);
      }
    }
  }
  // The last proxy closed the connection, which ends the server thread.
  server.join();
}
BENCHMARK(BM_SectorCountRoundTrip)->Repetitions(5)->ReportAggregatesOnly(true);

}  // namespace

BENCHMARK_MAIN();
