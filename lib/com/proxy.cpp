// One proxy class per remotable interface, all built on a core that carries
// (channel, object id, IID); each method is encoded from its interface's
// description, and an interface without a proxy class does not build. A reply is checked in full
// before any proxy is made from it, so a malformed reply costs the connection and nothing else; the
// server then drops every object of that connection.
#include "com/proxy.h"

#include <algorithm>
#include <array>
#include <deque>
#include <functional>
#include <new>
#include <optional>
#include <tuple>
#include <type_traits>

#include "com/errorInfo.h"
#include "com/frame.h"
#include "com/mountService.h"
#include "com/object.h"
#include "com/stub.h"
#include "com/variant.h"

const IID IID_IComProxy = {
    0x3C5A4C9E, 0x0B7D, 0x4F0A, {0x9E, 0x61, 0x2D, 0x4B, 0x8A, 0x11, 0x5F, 0x07}};

namespace {

// What a fixed method answered as its object was handed out.
struct FixedAnswer {
  HRESULT hr;
  int32_t value;
};
// The successful answers of an object's fixed methods, in the order of its
// interface's description.
using FixedAnswers = std::array<std::optional<FixedAnswer>, COM_MAX_FIXED>;

// Reads them after an object of interface iid in a reply of kind (see
// PutFixed); an older server's reply has none.
template <class... I>
FixedAnswers GetFixed(ComFrameReader &in, uint8_t kind, const IID &iid, ComInterfaces<I...>) {
  int count = 0;
  (void)((kind == COM_MSG_REPLY_FIXED && iid == ComIid<I>::Get() &&
          (count = ComFixedCount<I>(), true)) ||
         ...);
  FixedAnswers answers;
  for (int i = 0; i < count; i++) {
    HRESULT hr = in.GetI32();
    if (SUCCEEDED(hr)) {
      answers[i] = FixedAnswer{hr, in.GetI32()};
    }
  }
  return answers;
}
FixedAnswers GetFixed(ComFrameReader &in, uint8_t kind, const IID &iid) {
  return GetFixed(in, kind, iid, ComRemotableInterfaces{});
}

HRESULT MakeProxy(ComChannel *channel, uint32_t id, const IID &iid, const FixedAnswers &fixed,
                  void **object);

void SendRelease(ComChannel *channel, uint32_t id) {
  ComFrameWriter message;
  message.PutU8(COM_MSG_RELEASE);
  message.PutU32(id);
  channel->Send(&message);
}

class ProxyCore {
 public:
  ProxyCore(ComChannel *channel, uint32_t id, const IID &iid, const FixedAnswers &fixed)
      : channel_(channel), id_(id), iid_(iid), fixed_(fixed) {
    channel_->AddRef();
  }
  ~ProxyCore() {
    SendRelease(channel_, id_);
    channel_->Release();
  }
  ComChannel *Channel() const { return channel_; }
  const IID &Iid() const { return iid_; }
  uint32_t Id() const { return id_; }
  const std::optional<FixedAnswer> &Fixed(int index) const { return fixed_[index]; }

 private:
  ComChannel *channel_;
  uint32_t id_;
  IID iid_;
  FixedAnswers fixed_;
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
  // succeeded, a Finish reads the out-value next.
  HRESULT Send() {
    HRESULT hr = Post();
    return FAILED(hr) ? hr : Collect();
  }
  // Send in two halves, for calls whose requests go ahead of their replies.
  HRESULT Post() { return Transported(core_.Channel()->Post(&args_, &ticket_)); }
  HRESULT Collect() {
    HRESULT hr = Transported(core_.Channel()->Collect(ticket_, &reply_));
    if (FAILED(hr)) {
      return hr;
    }
    reader_ = ComFrameReader(reply_.data() + 1, reply_.size() - 1);
    return reader_.GetI32();
  }

  // Reads the trailer and installs the error information. Returns hr, or
  // RPC_E_DISCONNECTED when the reply was malformed.
  HRESULT Finish(HRESULT hr) {
    if (transportFailed_) {
      return hr;
    }
    IErrorInfo *info = reader_.GetErrorInfo();
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

  // The shapes of a method's out-value.
  HRESULT Finish(HRESULT hr, int32_t *out) {
    int32_t value = SUCCEEDED(hr) ? reader_.GetI32() : 0;
    hr = Finish(hr);
    *out = SUCCEEDED(hr) ? value : 0;
    return hr;
  }
  template <class T>
  HRESULT FinishObject(HRESULT hr, const IID &iid, T **out) {
    uint32_t id = SUCCEEDED(hr) ? reader_.GetU32() : 0;
    FixedAnswers fixed = id != 0 ? GetFixed(reader_, reply_[0], iid) : FixedAnswers{};
    hr = Finish(hr);
    *out = nullptr;
    if (SUCCEEDED(hr) && id != 0) {
      void *p = nullptr;
      HRESULT made = MakeProxy(core_.Channel(), id, iid, fixed, &p);
      if (FAILED(made)) {
        return made;
      }
      *out = static_cast<T *>(p);
    }
    return hr;
  }
  template <class T>
  HRESULT Finish(HRESULT hr, T **out) {
    return FinishObject(hr, ComIid<T>::Get(), out);
  }
  HRESULT Finish(HRESULT hr, VARIANT *out);

 private:
  HRESULT Transported(HRESULT hr) {
    if (FAILED(hr)) {
      SetErrorInfo(0, nullptr);
      transportFailed_ = true;
    }
    return hr;
  }

  const ProxyCore &core_;
  ComFrameWriter args_;
  uint64_t ticket_ = 0;
  std::vector<uint8_t> reply_;
  ComFrameReader reader_;
  bool transportFailed_ = false;
};

HRESULT ProxyCall::Finish(HRESULT hr, VARIANT *out) {
  VARIANT v;
  VariantInit(&v);
  uint32_t id = 0;
  bool noMemory = false;
  if (SUCCEEDED(hr)) {
    reader_.GetVariant(&v, &id, &noMemory);
  }
  hr = Finish(hr);
  if (FAILED(hr) || noMemory) {
    VariantClear(&v);
    return FAILED(hr) ? hr : E_OUTOFMEMORY;
  }
  if (v.vt == VT_UNKNOWN && id != 0) {
    void *p = nullptr;
    HRESULT made = MakeProxy(core_.Channel(), id, IID_IUnknown, FixedAnswers{}, &p);
    if (FAILED(made)) {
      return made;
    }
    v.punkVal = static_cast<IUnknown *>(p);
  }
  VariantClear(out);
  *out = v;
  return hr;
}

// The out-values: the last parameter of a method, when it has one.
template <class T>
constexpr bool kIsOut = std::is_same_v<T, int32_t *> || std::is_same_v<T, VARIANT *> ||
                        (std::is_pointer_v<T> && std::is_pointer_v<std::remove_pointer_t<T>>);

// Encodes an in-value by its C++ type (an out-value puts nothing). False
// refuses the call: an object travels back only to its own connection.
template <class T>
bool Put(const ProxyCore &core, ComFrameWriter &w, T v) {
  if constexpr (std::is_same_v<T, BSTR>) {
    w.PutBstr(v);
  } else if constexpr (std::is_same_v<T, int32_t>) {
    w.PutI32(v);
  } else if constexpr (std::is_same_v<T, VARIANT_BOOL>) {
    w.PutU16(static_cast<uint16_t>(v));
  } else if constexpr (std::is_same_v<T, const IID &>) {
    w.PutGuid(v);
  } else if constexpr (!kIsOut<T>) {
    auto *other = v != nullptr ? dynamic_cast<ProxyCore *>(v) : nullptr;
    using I = std::remove_pointer_t<T>;
    bool same =
        other != nullptr && other->Channel() == core.Channel() && other->Iid() == ComIid<I>::Get();
    if (v != nullptr && !same) {
      return false;
    }
    w.PutU32(same ? other->Id() : 0);
  }
  return true;
}

// Calls member of the remote object: the out-value is checked and an
// object's cleared first, then the in-values are encoded in order.
template <class C, class... A>
HRESULT CallRemote(const ProxyCore &core, uint16_t slot, HRESULT (C::*)(A...),
                   std::type_identity_t<A>... args) {
  using Last = std::tuple_element_t<sizeof...(A), std::tuple<void, A...>>;
  std::tuple<int, A...> all(0, args...);
  [[maybe_unused]] auto last = std::get<sizeof...(A)>(all);
  if constexpr (kIsOut<Last>) {
    if (last == nullptr) {
      return E_POINTER;
    }
    if constexpr (std::is_pointer_v<std::remove_pointer_t<Last>>) {
      *last = nullptr;
    }
  }
  ProxyCall call(core, slot);
  if (!(Put<A>(core, call.Args(), args) && ...)) {
    return E_INVALIDARG;
  }
  HRESULT hr = call.Send();
  if constexpr (kIsOut<Last>) {
    return call.Finish(hr, last);
  }
  return call.Finish(hr);
}

// The interfaces a proxy for I implements: I and the proxy marker (which is
// all an IUnknown proxy needs, IUnknown being its base already).
template <class I>
struct ProxyBase {
  using Type = ComObject<I, IComProxy>;
};
template <>
struct ProxyBase<IUnknown> {
  using Type = ComObject<IComProxy>;
};

// IUnknown for every proxy; I is the interface it stands for.
template <class I>
class Proxy : public ProxyBase<I>::Type, public ProxyCore {
 public:
  Proxy(ComChannel *channel, uint32_t id, const IID &iid, const FixedAnswers &fixed)
      : ProxyCore(channel, id, iid, fixed) {}

  HRESULT QueryInterface(const IID &iid, void **object) override {
    if (object == nullptr) {
      return E_POINTER;
    }
    *object = nullptr;
    if (iid == IID_IComProxy) {
      this->AddRef();
      *object = static_cast<IComProxy *>(this);
      return S_OK;
    }
    if (iid == Iid() || iid == IID_IUnknown) {
      this->AddRef();
      *object = static_cast<I *>(this);
      return S_OK;
    }
    if (!Com_IsRemotable(iid)) {
      return E_NOINTERFACE;
    }
    ProxyCall call(*this, COM_SLOT_QUERY_INTERFACE);
    call.Args().PutGuid(iid);
    IUnknown *result = nullptr;
    HRESULT hr = call.FinishObject(call.Send(), iid, &result);
    *object = result;
    return hr;
  }
  bool IsConnected() override { return Channel()->PeerOpen(); }

 protected:
  template <auto Member, class... A>
  HRESULT Remote(A &&...args) {
    if constexpr (constexpr int fixed = ComFixedIndex<Member>(); fixed >= 0) {
      // Without the server, the call answers as it always did.
      int32_t *out = (args, ...);
      if (Fixed(fixed) && out != nullptr && Channel()->Connected()) {
        *out = Fixed(fixed)->value;
        return Fixed(fixed)->hr;
      }
    }
    return CallRemote(*this, ComSlot<Member>(), Member, std::forward<A>(args)...);
  }
};

// One per remotable interface: each of its methods goes to Remote.
template <class I>
class ProxyOf;

template <>
class ProxyOf<IUnknown> final : public Proxy<IUnknown> {
 public:
  using Proxy::Proxy;
};

template <>
class ProxyOf<ISupportErrorInfo> final : public Proxy<ISupportErrorInfo> {
 public:
  using Proxy::Proxy;
  HRESULT InterfaceSupportsErrorInfo(const IID &iid) override {
    return Remote<&ISupportErrorInfo::InterfaceSupportsErrorInfo>(iid);
  }
};

template <>
class ProxyOf<IMountLocator> final : public Proxy<IMountLocator> {
 public:
  using Proxy::Proxy;
  HRESULT Connect(BSTR host, BSTR user, int32_t flags, IMountManager **manager) override {
    return Remote<&IMountLocator::Connect>(host, user, flags, manager);
  }
};

template <>
class ProxyOf<IMountManager> final : public Proxy<IMountManager> {
 public:
  using Proxy::Proxy;
  HRESULT GetMount(int32_t mountId, IMount **mount) override {
    return Remote<&IMountManager::GetMount>(mountId, mount);
  }
  HRESULT GetMounts(IMountList **mounts) override {
    return Remote<&IMountManager::GetMounts>(mounts);
  }
  HRESULT OpenDisk(BSTR path, int32_t flags, int32_t mode, int32_t options,
                   IVirtualDisk **disk) override {
    return Remote<&IMountManager::OpenDisk>(path, flags, mode, options, disk);
  }
};

template <>
class ProxyOf<IVirtualDisk> final : public Proxy<IVirtualDisk> {
 public:
  using Proxy::Proxy;
  HRESULT GetVolumes(IVolumeList **volumes) override {
    return Remote<&IVirtualDisk::GetVolumes>(volumes);
  }
  HRESULT CreateMount(int32_t flags, IDiskVolume *volume, int32_t options,
                      IMount **mount) override {
    return Remote<&IVirtualDisk::CreateMount>(flags, volume, options, mount);
  }
  HRESULT SectorSize(int32_t *bytes) override { return Remote<&IVirtualDisk::SectorSize>(bytes); }
};

// The two collections, of mount texts and of volumes: an item by index
// (from 1) and a count.
template <class I, class T>
class CollectionProxy : public Proxy<I> {
 public:
  using Proxy<I>::Proxy;
  HRESULT Item(int32_t index, T *item) override {
    return this->template Remote<&I::Item>(index, item);
  }
  HRESULT Count(int32_t *count) override { return this->template Remote<&I::Count>(count); }
};

template <>
class ProxyOf<IMountList> final : public CollectionProxy<IMountList, VARIANT> {
  using CollectionProxy::CollectionProxy;
};

template <>
class ProxyOf<IVolumeList> final : public CollectionProxy<IVolumeList, IDiskVolume *> {
  using CollectionProxy::CollectionProxy;
};

template <>
class ProxyOf<IDiskVolume> final : public Proxy<IDiskVolume> {
 public:
  using Proxy::Proxy;
  HRESULT SectorCount(int32_t *count) override { return Remote<&IDiskVolume::SectorCount>(count); }
};

template <>
class ProxyOf<IMount> final : public Proxy<IMount> {
 public:
  using Proxy::Proxy;
  HRESULT Unmount(VARIANT_BOOL force, int32_t options) override {
    return Remote<&IMount::Unmount>(force, options);
  }
  HRESULT MountAs(int32_t driveMask, int32_t flags, int32_t options) override {
    return Remote<&IMount::MountAs>(driveMask, flags, options);
  }
};

template <class... I>
HRESULT NewProxy(ComChannel *channel, uint32_t id, const IID &iid, const FixedAnswers &fixed,
                 void **object, ComInterfaces<I...>) {
  HRESULT hr = E_NOINTERFACE;
  auto make = [&]<class J>(J *) {
    auto *p = new (std::nothrow) ProxyOf<J>(channel, id, iid, fixed);
    *object = static_cast<J *>(p);
    hr = p == nullptr ? E_OUTOFMEMORY : S_OK;
    return true;
  };
  (void)((iid == ComIid<I>::Get() && make(static_cast<I *>(nullptr))) || ...);
  return hr;
}

// Takes over the remote reference id; on failure it is released.
HRESULT MakeProxy(ComChannel *channel, uint32_t id, const IID &iid, const FixedAnswers &fixed,
                  void **object) {
  HRESULT hr = NewProxy(channel, id, iid, fixed, object, ComRemotableInterfaces{});
  if (FAILED(hr)) {
    SendRelease(channel, id);
  }
  return hr;
}

}  // namespace

HRESULT ComProxy_Activate(ComChannel *channel, const CLSID &clsid, const IID &iid, void **object) {
  *object = nullptr;
  if (!Com_IsRemotable(iid)) {
    return E_NOINTERFACE;
  }
  SendRelease(channel, COM_READS_FIXED);  // goes with the request
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
  FixedAnswers fixed = id != 0 ? GetFixed(in, reply[0], iid) : FixedAnswers{};
  bool infoFlag = in.GetU8() != 0;
  if (!in.Done() || infoFlag || (SUCCEEDED(hr) && id == 0)) {
    channel->Disconnect();
    return RPC_E_DISCONNECTED;
  }
  if (FAILED(hr)) {
    return hr;
  }
  return MakeProxy(channel, id, iid, fixed, object);
}

HRESULT ComProxy_Items(IVolumeList *list, int32_t count,
                       const std::function<HRESULT(int32_t, IDiskVolume *)> &visit) {
  auto *core = dynamic_cast<ProxyCore *>(list);
  HRESULT failed = S_OK;
  IErrorInfo *info = nullptr;
  // Bounded, so that neither side's buffers fill while the other waits.
  const int32_t kAhead = 64;
  for (int64_t first = 1; first <= count && SUCCEEDED(failed); first += kAhead) {
    auto last = static_cast<int32_t>(std::min<int64_t>(count, first + kAhead - 1));
    std::deque<ProxyCall> calls;
    std::vector<HRESULT> posted;
    for (auto i = static_cast<int32_t>(first); i <= last && core != nullptr; i++) {
      calls.emplace_back(*core, ComSlot<&IVolumeList::Item>()).Args().PutI32(i);
      posted.push_back(calls.back().Post());
    }
    // Every reply is read, also past a failure: the channel's next call
    // must find its own.
    for (auto i = static_cast<int32_t>(first); i <= last; i++) {
      IDiskVolume *item = nullptr;
      HRESULT hr = failed;
      if (core != nullptr) {
        auto at = static_cast<size_t>(i - first);
        hr = calls[at].Finish(FAILED(posted[at]) ? posted[at] : calls[at].Collect(), &item);
      } else if (SUCCEEDED(failed)) {
        hr = list->Item(i, &item);
      }
      if (SUCCEEDED(failed)) {
        // Each in turn, as it comes: what was shown stays when a later one
        // fails, the channel with it.
        failed = SUCCEEDED(hr) ? visit(i, item) : hr;
        if (FAILED(failed)) {
          GetErrorInfo(0, &info);
        }
      }
      if (item != nullptr) {
        item->Release();
      }
    }
  }
  if (FAILED(failed)) {
    SetErrorInfo(0, info);
    if (info != nullptr) {
      info->Release();
    }
  }
  return failed;
}
