// One proxy class per remotable interface, all built on a core that carries
// (channel, object id, IID). A reply is checked in full before any proxy is
// made from it, so a malformed reply costs the connection and nothing else;
// the server then drops every object of that connection.
#include "com/proxy.h"

#include <new>

#include "com/errorInfo.h"
#include "com/frame.h"
#include "com/mountService.h"
#include "com/stub.h"
#include "com/variant.h"

const IID IID_IComProxy = {
    0x3C5A4C9E, 0x0B7D, 0x4F0A, {0x9E, 0x61, 0x2D, 0x4B, 0x8A, 0x11, 0x5F, 0x07}};

namespace {

HRESULT MakeProxy(ComChannel *channel, uint32_t id, const IID &iid, void **object);

class ProxyCore {
 public:
  ProxyCore(ComChannel *channel, uint32_t id, const IID &iid)
      : channel_(channel), id_(id), iid_(iid) {
    channel_->AddRef();
  }
  ~ProxyCore() {
    ComFrameWriter message;
    message.PutU8(COM_MSG_RELEASE);
    message.PutU32(id_);
    channel_->Send(&message);
    channel_->Release();
  }
  ComChannel *Channel() const { return channel_; }
  const IID &Iid() const { return iid_; }
  uint32_t Id() const { return id_; }

 private:
  ComChannel *channel_;
  uint32_t id_;
  IID iid_;
};

// One method call: arguments in, then the HRESULT, the outs and the
// error-information trailer out.
class ProxyCall {
 public:
  ProxyCall(const ProxyCore &core, uint16_t slot) : core_(core), reader_(nullptr, 0) {
    args_.PutU8(COM_MSG_CALL);
    args_.PutU32(core.Id());
    args_.PutGuid(core.Iid());
    args_.PutU16(slot);
  }
  ComFrameWriter &Args() { return args_; }

  // Returns the transport's failure or the method's HRESULT; when that
  // succeeded, Outs() reads the out-values next.
  HRESULT Send() {
    HRESULT hr = core_.Channel()->Call(&args_, &reply_);
    if (FAILED(hr)) {
      SetErrorInfo(0, nullptr);
      transportFailed_ = true;
      return hr;
    }
    reader_ = ComFrameReader(reply_.data() + 1, reply_.size() - 1);
    return reader_.GetI32();
  }
  ComFrameReader &Outs() { return reader_; }

  // Reads the trailer and installs the error information. Returns hr, or
  // RPC_E_DISCONNECTED when the reply was malformed.
  HRESULT Finish(HRESULT hr) {
    if (transportFailed_) {
      return hr;
    }
    uint8_t hasInfo = reader_.GetU8();
    IErrorInfo *info = nullptr;
    if (hasInfo == 1) {
      BSTR description = nullptr;
      BSTR source = nullptr;
      bool noMemory = false;
      reader_.GetBstr(&description, &noMemory);
      reader_.GetBstr(&source, &noMemory);
      GUID guid = reader_.GetGuid();
      if (reader_.Done() && FAILED(Com_CreateErrorInfo(description, source, guid, &info))) {
        info = nullptr;
      }
      SysFreeString(description);
      SysFreeString(source);
    } else if (hasInfo != 0) {
      reader_.Fail();
    }
    if (!reader_.Done()) {
      if (info != nullptr) {
        info->Release();
      }
      core_.Channel()->Disconnect();
      SetErrorInfo(0, nullptr);
      return RPC_E_DISCONNECTED;
    }
    if (FAILED(hr)) {
      SetErrorInfo(0, info);
    }
    if (info != nullptr) {
      info->Release();
    }
    return hr;
  }

  // Common shapes of a method's result.
  HRESULT FinishNone(HRESULT hr) { return Finish(hr); }
  HRESULT FinishI32(HRESULT hr, int32_t *out) {
    int32_t value = SUCCEEDED(hr) ? reader_.GetI32() : 0;
    hr = Finish(hr);
    *out = SUCCEEDED(hr) ? value : 0;
    return hr;
  }
  template <class T>
  HRESULT FinishObject(HRESULT hr, const IID &iid, T **out) {
    uint32_t id = SUCCEEDED(hr) ? reader_.GetU32() : 0;
    hr = Finish(hr);
    *out = nullptr;
    if (SUCCEEDED(hr) && id != 0) {
      void *p = nullptr;
      HRESULT made = MakeProxy(core_.Channel(), id, iid, &p);
      if (FAILED(made)) {
        return made;
      }
      *out = static_cast<T *>(p);
    }
    return hr;
  }
  HRESULT FinishVariant(HRESULT hr, VARIANT *out);

 private:
  const ProxyCore &core_;
  ComFrameWriter args_;
  std::vector<uint8_t> reply_;
  ComFrameReader reader_;
  bool transportFailed_ = false;
};

HRESULT ProxyCall::FinishVariant(HRESULT hr, VARIANT *out) {
  VARIANT v;
  VariantInit(&v);
  uint32_t id = 0;
  bool noMemory = false;
  if (SUCCEEDED(hr)) {
    v.vt = reader_.GetU16();
    switch (v.vt) {
      case VT_EMPTY:
      case VT_NULL:
        break;
      case VT_I2:
        v.iVal = static_cast<int16_t>(reader_.GetU16());
        break;
      case VT_BOOL:
        v.boolVal = static_cast<VARIANT_BOOL>(reader_.GetU16());
        break;
      case VT_I4:
        v.lVal = reader_.GetI32();
        break;
      case VT_ERROR:
        v.scode = reader_.GetI32();
        break;
      case VT_I8:
        v.llVal = reader_.GetI64();
        break;
      case VT_BSTR:
        reader_.GetBstr(&v.bstrVal, &noMemory);
        break;
      case VT_UNKNOWN:
        id = reader_.GetU32();
        v.punkVal = nullptr;
        break;
      default:
        v.vt = VT_EMPTY;
        reader_.Fail();
        break;
    }
  }
  hr = Finish(hr);
  if (FAILED(hr) || noMemory) {
    VariantClear(&v);
    return FAILED(hr) ? hr : E_OUTOFMEMORY;
  }
  if (v.vt == VT_UNKNOWN && id != 0) {
    void *p = nullptr;
    HRESULT made = MakeProxy(core_.Channel(), id, IID_IUnknown, &p);
    if (FAILED(made)) {
      return made;
    }
    v.punkVal = static_cast<IUnknown *>(p);
  }
  VariantClear(out);
  *out = v;
  return hr;
}

// The interfaces a proxy for I implements: I and the proxy marker (which is
// all an IUnknown proxy needs, IUnknown being its base already).
template <class I>
struct ProxyBases : I, IComProxy {};
template <>
struct ProxyBases<IUnknown> : IComProxy {};

// IUnknown for every proxy; I is the interface it stands for.
template <class I>
class Proxy : public ProxyBases<I> {
 public:
  Proxy(ComChannel *channel, uint32_t id, const IID &iid) : core_(channel, id, iid) {}
  virtual ~Proxy() = default;

  HRESULT QueryInterface(const IID &iid, void **object) override {
    if (object == nullptr) {
      return E_POINTER;
    }
    *object = nullptr;
    if (iid == IID_IComProxy) {
      AddRef();
      *object = static_cast<IComProxy *>(this);
      return S_OK;
    }
    if (iid == core_.Iid() || iid == IID_IUnknown) {
      AddRef();
      *object = static_cast<I *>(this);
      return S_OK;
    }
    if (!Com_IsRemotable(iid)) {
      return E_NOINTERFACE;
    }
    ProxyCall call(core_, 0);
    call.Args().PutGuid(iid);
    IUnknown *result = nullptr;
    HRESULT hr = call.FinishObject(call.Send(), iid, &result);
    *object = result;
    return hr;
  }
  uint32_t AddRef() override { return ++refs_; }
  uint32_t Release() override {
    uint32_t left = --refs_;
    if (left == 0) {
      delete this;
    }
    return left;
  }
  bool IsConnected() override { return core_.Channel()->Connected(); }

 protected:
  ProxyCore core_;

 private:
  uint32_t refs_ = 1;
};

// IDispatch's slots, which no client calls.
template <class I>
class DispatchProxy : public Proxy<I> {
 public:
  using Proxy<I>::Proxy;
  HRESULT GetTypeInfoCount(uint32_t *) override { return E_NOTIMPL; }
  HRESULT GetTypeInfo(uint32_t, uint32_t, void **) override { return E_NOTIMPL; }
  HRESULT GetIDsOfNames(const IID &, OLECHAR **, uint32_t, uint32_t, int32_t *) override {
    return E_NOTIMPL;
  }
  HRESULT Invoke(int32_t, const IID &, uint32_t, uint16_t, void *, VARIANT *, void *,
                 uint32_t *) override {
    return E_NOTIMPL;
  }
};

class UnknownProxy final : public Proxy<IUnknown> {
 public:
  using Proxy::Proxy;
};

class SupportErrorInfoProxy final : public Proxy<ISupportErrorInfo> {
 public:
  using Proxy::Proxy;
  HRESULT InterfaceSupportsErrorInfo(const IID &iid) override {
    ProxyCall call(core_, 3);
    call.Args().PutGuid(iid);
    return call.FinishNone(call.Send());
  }
};

class LocatorProxy final : public DispatchProxy<IMountLocator> {
 public:
  using DispatchProxy::DispatchProxy;
  HRESULT Connect(BSTR host, BSTR user, int32_t flags, IMountManager **manager) override {
    if (manager == nullptr) {
      return E_POINTER;
    }
    ProxyCall call(core_, 7);
    call.Args().PutBstr(host);
    call.Args().PutBstr(user);
    call.Args().PutI32(flags);
    return call.FinishObject(call.Send(), IID_IMountManager, manager);
  }
};

class ManagerProxy final : public DispatchProxy<IMountManager> {
 public:
  using DispatchProxy::DispatchProxy;
  HRESULT GetMount(int32_t mountId, IMount **mount) override {
    if (mount == nullptr) {
      return E_POINTER;
    }
    ProxyCall call(core_, 8);
    call.Args().PutI32(mountId);
    return call.FinishObject(call.Send(), IID_IMount, mount);
  }
  HRESULT GetMounts(IMountList **mounts) override {
    if (mounts == nullptr) {
      return E_POINTER;
    }
    ProxyCall call(core_, 9);
    return call.FinishObject(call.Send(), IID_IMountList, mounts);
  }
  HRESULT OpenDisk(BSTR path, int32_t flags, int32_t mode, int32_t options,
                   IVirtualDisk **disk) override {
    if (disk == nullptr) {
      return E_POINTER;
    }
    ProxyCall call(core_, 14);
    call.Args().PutBstr(path);
    call.Args().PutI32(flags);
    call.Args().PutI32(mode);
    call.Args().PutI32(options);
    return call.FinishObject(call.Send(), IID_IVirtualDisk, disk);
  }
};

class MountListProxy final : public DispatchProxy<IMountList> {
 public:
  using DispatchProxy::DispatchProxy;
  HRESULT Item(int32_t index, VARIANT *item) override {
    if (item == nullptr) {
      return E_POINTER;
    }
    ProxyCall call(core_, 8);
    call.Args().PutI32(index);
    return call.FinishVariant(call.Send(), item);
  }
  HRESULT Count(int32_t *count) override {
    if (count == nullptr) {
      return E_POINTER;
    }
    ProxyCall call(core_, 9);
    return call.FinishI32(call.Send(), count);
  }
};

class DiskProxy final : public DispatchProxy<IVirtualDisk> {
 public:
  using DispatchProxy::DispatchProxy;
  HRESULT GetVolumes(IVolumeList **volumes) override {
    if (volumes == nullptr) {
      return E_POINTER;
    }
    ProxyCall call(core_, 10);
    return call.FinishObject(call.Send(), IID_IVolumeList, volumes);
  }
  HRESULT CreateMount(int32_t flags, IDiskVolume *volume, int32_t options, IMount **mount) override;
  HRESULT SectorSize(int32_t *bytes) override {
    if (bytes == nullptr) {
      return E_POINTER;
    }
    ProxyCall call(core_, 13);
    return call.FinishI32(call.Send(), bytes);
  }
};

class VolumeListProxy final : public DispatchProxy<IVolumeList> {
 public:
  using DispatchProxy::DispatchProxy;
  HRESULT Item(int32_t index, IDiskVolume **volume) override {
    if (volume == nullptr) {
      return E_POINTER;
    }
    ProxyCall call(core_, 8);
    call.Args().PutI32(index);
    return call.FinishObject(call.Send(), IID_IDiskVolume, volume);
  }
  HRESULT Count(int32_t *count) override {
    if (count == nullptr) {
      return E_POINTER;
    }
    ProxyCall call(core_, 9);
    return call.FinishI32(call.Send(), count);
  }
};

class VolumeProxy final : public DispatchProxy<IDiskVolume> {
 public:
  using DispatchProxy::DispatchProxy;
  HRESULT SectorCount(int32_t *count) override {
    if (count == nullptr) {
      return E_POINTER;
    }
    ProxyCall call(core_, 11);
    return call.FinishI32(call.Send(), count);
  }
  // The remote id of this volume on channel, or 0 when it lives elsewhere.
  uint32_t IdOn(ComChannel *channel) const { return core_.Channel() == channel ? core_.Id() : 0; }
};

HRESULT DiskProxy::CreateMount(int32_t flags, IDiskVolume *volume, int32_t options,
                               IMount **mount) {
  if (mount == nullptr) {
    return E_POINTER;
  }
  *mount = nullptr;
  uint32_t volumeId = 0;
  if (volume != nullptr) {
    // Only a volume of the same connection can travel back to the server.
    auto *proxy = dynamic_cast<VolumeProxy *>(volume);
    volumeId = proxy != nullptr ? proxy->IdOn(core_.Channel()) : 0;
    if (volumeId == 0) {
      return E_INVALIDARG;
    }
  }
  ProxyCall call(core_, 12);
  call.Args().PutI32(flags);
  call.Args().PutU32(volumeId);
  call.Args().PutI32(options);
  return call.FinishObject(call.Send(), IID_IMount, mount);
}

class MountProxy final : public DispatchProxy<IMount> {
 public:
  using DispatchProxy::DispatchProxy;
  HRESULT Unmount(VARIANT_BOOL force, int32_t options) override {
    ProxyCall call(core_, 8);
    call.Args().PutU16(static_cast<uint16_t>(force));
    call.Args().PutI32(options);
    return call.FinishNone(call.Send());
  }
  HRESULT MountAs(int32_t driveMask, int32_t flags, int32_t options) override {
    ProxyCall call(core_, 18);
    call.Args().PutI32(driveMask);
    call.Args().PutI32(flags);
    call.Args().PutI32(options);
    return call.FinishNone(call.Send());
  }
};

template <class P, class I>
HRESULT New(ComChannel *channel, uint32_t id, const IID &iid, void **object) {
  auto *p = new (std::nothrow) P(channel, id, iid);
  if (p == nullptr) {
    return E_OUTOFMEMORY;
  }
  *object = static_cast<I *>(p);
  return S_OK;
}

// Takes over the remote reference id; on failure it is released.
HRESULT MakeProxy(ComChannel *channel, uint32_t id, const IID &iid, void **object) {
  HRESULT hr = E_NOINTERFACE;
  if (iid == IID_IUnknown) {
    hr = New<UnknownProxy, IUnknown>(channel, id, iid, object);
  } else if (iid == IID_ISupportErrorInfo) {
    hr = New<SupportErrorInfoProxy, ISupportErrorInfo>(channel, id, iid, object);
  } else if (iid == IID_IMountLocator) {
    hr = New<LocatorProxy, IMountLocator>(channel, id, iid, object);
  } else if (iid == IID_IMountManager) {
    hr = New<ManagerProxy, IMountManager>(channel, id, iid, object);
  } else if (iid == IID_IMountList) {
    hr = New<MountListProxy, IMountList>(channel, id, iid, object);
  } else if (iid == IID_IVirtualDisk) {
    hr = New<DiskProxy, IVirtualDisk>(channel, id, iid, object);
  } else if (iid == IID_IVolumeList) {
    hr = New<VolumeListProxy, IVolumeList>(channel, id, iid, object);
  } else if (iid == IID_IDiskVolume) {
    hr = New<VolumeProxy, IDiskVolume>(channel, id, iid, object);
  } else if (iid == IID_IMount) {
    hr = New<MountProxy, IMount>(channel, id, iid, object);
  }
  if (FAILED(hr)) {
    ComFrameWriter message;
    message.PutU8(COM_MSG_RELEASE);
    message.PutU32(id);
    channel->Send(&message);
  }
  return hr;
}

}  // namespace

HRESULT ComProxy_Activate(ComChannel *channel, const CLSID &clsid, const IID &iid, void **object) {
  *object = nullptr;
  if (!Com_IsRemotable(iid)) {
    return E_NOINTERFACE;
  }
  ComFrameWriter request;
  request.PutU8(COM_MSG_ACTIVATE);
  request.PutGuid(clsid);
  request.PutGuid(iid);
  std::vector<uint8_t> reply;
  HRESULT hr = channel->Call(&request, &reply);
  if (FAILED(hr)) {
    return hr;
  }
  ComFrameReader in(reply.data() + 1, reply.size() - 1);
  hr = in.GetI32();
  uint32_t id = SUCCEEDED(hr) ? in.GetU32() : 0;
  bool infoFlag = in.GetU8() != 0;
  if (!in.Done() || infoFlag || (SUCCEEDED(hr) && id == 0)) {
    channel->Disconnect();
    return RPC_E_DISCONNECTED;
  }
  if (FAILED(hr)) {
    return hr;
  }
  return MakeProxy(channel, id, iid, object);
}
