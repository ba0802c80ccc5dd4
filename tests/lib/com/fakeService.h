// A stand-in for the mount service for the runtime's tests: objects of every
// remotable interface that record what they were called with, count how many
// of them are alive, and fail on demand (with or without error information,
// or succeeding with a null interface pointer); a server of them, and waits
// and catches the tests share.
#pragma once

#include <atomic>
#include <mutex>
#include <string>

#include <gtest/gtest.h>

#include "com/comError.h"
#include "com/errorInfo.h"
#include "com/mountService.h"
#include "com/object.h"
#include "com/server.h"
#include "com/variant.h"
#include "host/socket.h"
#include "testSupport.h"

namespace fake {

struct Control {
  std::atomic<HRESULT> failWith{S_OK};   // every method but QueryInterface fails
  std::atomic<bool> withInfo{false};     // ... leaving error information
  std::atomic<bool> supportsInfo{true};  // ISupportErrorInfo answers S_OK
  std::atomic<bool> nullOut{false};      // methods hand out NULL objects
  std::atomic<int> fixedFailures{0};     // the next answers of fixed methods fail
  std::atomic<int32_t> failItem{0};      // the volume item of this index fails
  std::atomic<int> live{0};              // objects alive
  // What the last calls were given.
  std::atomic<bool> hostWasNull{true};
  std::atomic<int32_t> lastMask{0}, lastVolumeSectors{0};
  std::atomic<VARIANT_BOOL> lastForce{0};
  // MountAs steps aside (ComServer_Aside) until let go; Unmount waits
  // (ComServer_WaitUntil) for that too.
  std::atomic<bool> stepAside{false}, letGo{false}, aside{false}, waiting{false};
  std::atomic<int> asides{0};  // MountAs calls aside now
  // How long Unmount waits (-1: for good), and whether its wait was met.
  std::atomic<int> waitMs{-1}, waitMet{-1};
  // How long MountAs, once let go, goes on in turn (ComServer_InTurn), the
  // calls that ran meanwhile, its turns, and whether it may end after one.
  std::atomic<int> turnMs{0}, inTurn{0}, overlaps{0}, turns{0};
  std::atomic<bool> finish{true};
  std::mutex lock;
  std::u16string lastPath;

  void Reset() {
    failWith = S_OK;
    withInfo = false;
    supportsInfo = true;
    nullOut = false;
    fixedFailures = 0;
    failItem = 0;
    stepAside = false;
    letGo = false;
    aside = false;
    waiting = false;
    waitMs = -1;
    waitMet = -1;
    turnMs = 0;
    overlaps = 0;
    turns = 0;
    finish = true;
  }
};

using testsupport::Eventually;

// The ComError that f throws; a test failure if it throws none.
template <class F>
ComError Thrown(F f) {
  try {
    f();
  } catch (const ComError &e) {
    return e;
  }
  ADD_FAILURE() << "no ComError";
  return ComError(S_OK);
}

inline Control &Ctl() {
  static Control c;
  return c;
}

template <class I>
class Object : public ComObject<I, ISupportErrorInfo> {
 public:
  Object() { Ctl().live++; }
  ~Object() override { Ctl().live--; }
  HRESULT InterfaceSupportsErrorInfo(const IID &iid) override {
    return Ctl().supportsInfo && iid == ComIid<I>::Get() ? S_OK : S_FALSE;
  }

 protected:
  // The planned failure of a method, if any.
  HRESULT Fault() {
    Ctl().overlaps += Ctl().inTurn;
    return Failing(Ctl().failWith);
  }
  HRESULT Failing(HRESULT hr) {
    if (hr != S_OK && Ctl().withInfo) {
      IErrorInfo *info = nullptr;
      Com_CreateErrorInfo(u"Access denied by policy", u"MountService", ComIid<I>::Get(), &info);
      SetErrorInfo(0, info);
      info->Release();
    }
    return hr;
  }
  // The fixed methods' answer.
  HRESULT Give(int32_t value, int32_t *out) {
    int left = Ctl().fixedFailures;
    HRESULT hr = left > 0 ? (Ctl().fixedFailures = left - 1, Failing(DISP_E_OVERFLOW)) : Fault();
    if (SUCCEEDED(hr)) *out = value;
    return hr;
  }
  template <class T>
  HRESULT Hand(T *made, T **out) {
    HRESULT hr = Fault();
    if (FAILED(hr) || Ctl().nullOut) {
      made->Release();
      made = nullptr;
    }
    if (SUCCEEDED(hr)) *out = made;
    return hr;
  }
};

class Volume final : public Object<IDiskVolume> {
 public:
  explicit Volume(int32_t sectors) : sectors_(sectors) {}
  HRESULT SectorCount(int32_t *count) override { return Give(sectors_, count); }

 private:
  int32_t sectors_;
};

class VolumeList final : public Object<IVolumeList> {
 public:
  HRESULT Item(int32_t index, IDiskVolume **volume) override {
    if (index == Ctl().failItem) return Failing(E_FAIL);
    return Hand<IDiskVolume>(new Volume(index * 100), volume);
  }
  HRESULT Count(int32_t *count) override { return Give(2, count); }
};

class Mount final : public Object<IMount> {
 public:
  HRESULT Unmount(VARIANT_BOOL force, int32_t) override {
    if (Ctl().stepAside) {
      Ctl().waiting = true;
      Ctl().waitMet =
          ComServer_WaitUntil([] { return !Ctl().aside || Ctl().turns > 0; }, Ctl().waitMs);
    }
    Ctl().lastForce = force;
    return Fault();
  }
  HRESULT MountAs(int32_t mask, int32_t, int32_t) override {
    if (Ctl().stepAside) {
      Ctl().aside = true;
      Ctl().asides++;
      ComServer_Aside([] {
        Eventually([] { return Ctl().letGo.load(); });
        ComServer_InTurn([] {
          Ctl().inTurn = 1;
          HostClock_SleepMs(Ctl().turnMs);
          Ctl().inTurn = 0;
          Ctl().turns++;
        });
        Eventually([] { return Ctl().finish.load(); });
      });
      Ctl().asides--;
      Ctl().aside = false;
    }
    Ctl().lastMask = mask;
    return Fault();
  }
};

class Disk final : public Object<IVirtualDisk> {
 public:
  HRESULT GetVolumes(IVolumeList **volumes) override {
    return Hand<IVolumeList>(new VolumeList(), volumes);
  }
  HRESULT CreateMount(int32_t, IDiskVolume *volume, int32_t, IMount **mount) override {
    if (volume == nullptr) return E_INVALIDARG;
    int32_t sectors = 0;
    volume->SectorCount(&sectors);
    Ctl().lastVolumeSectors = sectors;
    return Hand<IMount>(new Mount(), mount);
  }
  HRESULT SectorSize(int32_t *bytes) override { return Give(512, bytes); }
};

// Items: 1 a listing text, 2 a number, 3 an object.
class MountList final : public Object<IMountList> {
 public:
  HRESULT Item(int32_t index, VARIANT *item) override {
    if (HRESULT hr = Fault(); FAILED(hr)) return hr;
    VariantInit(item);
    if (index < 1 || index > 3) return E_INVALIDARG;
    item->vt = index == 1 ? VT_BSTR : index == 2 ? VT_I4 : VT_UNKNOWN;
    if (index == 1)
      item->bstrVal = SysAllocString(u"id=1 file=\"/vms/disk.bxdk\" driveLetter=\"e:\"");
    if (index == 2) item->lVal = 42;
    if (index == 3) item->punkVal = static_cast<IDiskVolume *>(new Volume(7));
    return S_OK;
  }
  HRESULT Count(int32_t *count) override { return Give(3, count); }
};

class Manager final : public Object<IMountManager> {
 public:
  HRESULT GetMount(int32_t, IMount **mount) override { return Hand<IMount>(new Mount(), mount); }
  HRESULT GetMounts(IMountList **mounts) override {
    return Hand<IMountList>(new MountList(), mounts);
  }
  HRESULT OpenDisk(BSTR path, int32_t, int32_t, int32_t, IVirtualDisk **disk) override {
    {
      std::lock_guard<std::mutex> hold(Ctl().lock);
      Ctl().lastPath = path != nullptr ? std::u16string(path, SysStringLen(path)) : u"";
    }
    return Hand<IVirtualDisk>(new Disk(), disk);
  }
};

class Locator final : public Object<IMountLocator> {
 public:
  HRESULT Connect(BSTR host, BSTR, int32_t, IMountManager **manager) override {
    Ctl().hostWasNull = host == nullptr;
    return Hand<IMountManager>(new Manager(), manager);
  }
};

inline IUnknown *CreateLocator() { return static_cast<IMountLocator *>(new Locator()); }

inline const ComServerClass &Class() {
  static const ComServerClass cls = {CLSID_MountLocator, &CreateLocator};
  return cls;
}

// Serves the fake on its endpoint in the current host prefix until stopped.
inline int Serve(void (*ready)() = nullptr) {
  ComServerOptions options = {0, nullptr, -1, ready};
  return ComServer_Serve(Class(), options);
}

}  // namespace fake
