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

// The object measured: three numbers in, the HRESULT back. (A volume's
// SectorCount would not do: its answer comes with the volume.)
class Mount final : public ComObject<IMount> {
 public:
  HRESULT Unmount(VARIANT_BOOL, int32_t) override { return S_OK; }
  HRESULT MountAs(int32_t driveMask, int32_t, int32_t) override {
    return driveMask != 0 ? S_OK : E_INVALIDARG;
  }
};

IUnknown *CreateMount() { return new Mount(); }

void BM_MountAsRoundTrip(benchmark::State &state) {
  static const ComServerClass cls = {CLSID_MountLocator, &CreateMount};
  int fds[2];
  if (HostStream_Pair(fds) != 0) {
    state.SkipWithError("socketpair failed");
    return;
  }
  std::thread server([fd = fds[1]] { ComServer_ServeStream(cls, fd); });
  {
    void *p = nullptr;
    HRESULT hr = Com_ActivateOverStream(fds[0], CLSID_MountLocator, IID_IMount, &p);
    ComPtr<IMount> mount = ComPtr<IMount>::Attach(static_cast<IMount *>(p));
    if (FAILED(hr)) {
      state.SkipWithError("activation failed");
    } else {
      for (auto _ : state) {
        benchmark::DoNotOptimize(mount->MountAs(1 << 4, 0x20, -1));
      }
    }
  }
  // The last proxy closed the connection, which ends the server thread.
  server.join();
}
BENCHMARK(BM_MountAsRoundTrip)->Repetitions(5)->ReportAggregatesOnly(true);

}  // namespace

BENCHMARK_MAIN();
