// One method call round trip through a real socket: a proxy in this thread,
// the stub and a small object in a server thread at the other end of a
// socketpair. Budget: under 50 us median per call.
#include <benchmark/benchmark.h>

#include <atomic>
#include <thread>

#include "com/activation.h"
#include "com/comPtr.h"
#include "com/errorInfo.h"
#include "com/mountService.h"
#include "com/server.h"
#include "host/socket.h"

namespace {

// A volume and a mount list in one object: the two shapes of reply measured
// (a number; a VARIANT holding text).
class Volume final : public IDiskVolume {
 public:
  HRESULT QueryInterface(const IID &iid, void **object) override {
    if (iid == IID_IUnknown || iid == IID_IDiskVolume) {
      AddRef();
      *object = static_cast<IDiskVolume *>(this);
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  uint32_t AddRef() override { return ++refs_; }
  uint32_t Release() override {
    uint32_t left = --refs_;
    if (left == 0) delete this;
    return left;
  }
  HRESULT GetTypeInfoCount(uint32_t *) override { return E_NOTIMPL; }
  HRESULT GetTypeInfo(uint32_t, uint32_t, void **) override { return E_NOTIMPL; }
  HRESULT GetIDsOfNames(const IID &, OLECHAR **, uint32_t, uint32_t, int32_t *) override {
    return E_NOTIMPL;
  }
  HRESULT Invoke(int32_t, const IID &, uint32_t, uint16_t, void *, VARIANT *, void *,
                 uint32_t *) override {
    return E_NOTIMPL;
  }
  HRESULT SectorCount(int32_t *count) override {
    *count = 2048;
    return S_OK;
  }

 private:
  ~Volume() = default;
  std::atomic<uint32_t> refs_{1};
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
