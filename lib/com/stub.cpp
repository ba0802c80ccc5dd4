// The stub: dispatches a request on (interface id, method slot) through the
// interfaces' descriptions, with the arguments decoded from the method's
// signature and checked in full before the object is called, and encodes
// the reply as the HRESULT, the out-value when the call succeeded, then the
// error information when the object supports it for that interface.
// Objects handed out by a failed call are released here, never sent.
#include "com/stub.h"

#include <tuple>

#include "com/errorInfo.h"
#include "com/mountService.h"
#include "com/variant.h"

namespace {

// Converts an interface pointer of type iid (as a QueryInterface returns it)
// to its IUnknown base.
template <class... I>
IUnknown *AsUnknown(void *p, const IID &iid, ComInterfaces<I...>) {
  IUnknown *unknown = nullptr;
  (void)((iid == ComIid<I>::Get() && (unknown = static_cast<I *>(p)) != nullptr) || ...);
  return unknown != nullptr ? unknown : static_cast<IUnknown *>(p);
}

// Appends the answers of object's fixed methods (see ComFixed), each as its
// HRESULT and, when that succeeded, the number; the proxy asks again at the
// call for one that failed.
template <class I, class... M>
void PutFixed(I *object, ComFrameWriter *reply, ComMethods<M...>) {
  [[maybe_unused]] auto put = [&]<class Method>(Method) {
    if constexpr (Method::kFixed) {
      int32_t value = 0;
      HRESULT hr = (object->*Method::kMember)(&value);
      reply->PutI32(hr);
      if (SUCCEEDED(hr)) {
        reply->PutI32(value);
      }
    }
  };
  (put(M{}), ...);
}
template <class... I>
void PutFixed(IUnknown *object, const IID &iid, ComFrameWriter *reply, ComInterfaces<I...>) {
  (void)((iid == ComIid<I>::Get() &&
          (PutFixed(static_cast<I *>(object), reply, typename ComInterface<I>::MethodList{}),
           true)) ||
         ...);
  // What a failed answer left behind is no call's.
  SetErrorInfo(0, nullptr);
}

// Writes hr and, when it succeeded, the id under which the table takes over
// object, an interface pointer of type iid a call handed out, and its fixed
// answers. A failed call's object is released (it should have been NULL),
// and so is one the full table cannot take (E_OUTOFMEMORY). Returns the
// HRESULT written.
HRESULT PutObject(ComObjectTable *table, ComFrameWriter *reply, HRESULT hr, IUnknown *object,
                  const IID &iid) {
  uint32_t id = 0;
  if (object != nullptr) {
    if (SUCCEEDED(hr)) {
      id = table->Add(object, iid);
    }
    if (id == 0) {
      object->Release();
      if (SUCCEEDED(hr)) {
        hr = E_OUTOFMEMORY;
      }
    }
  }
  reply->PutI32(hr);
  if (SUCCEEDED(hr)) {
    reply->PutU32(id);
  }
  if (id != 0 && table->readsFixed) {
    PutFixed(object, iid, reply, ComRemotableInterfaces{});
  }
  return hr;
}

class Dispatcher {
 public:
  Dispatcher(ComObjectTable *table, ComFrameReader *args, ComFrameWriter *reply)
      : table_(table), args_(args), reply_(reply) {}

  bool malformed = false;

  // Returns the call's final HRESULT after writing it and the outs.
  HRESULT Call(IUnknown *object, const IID &iid, uint16_t slot);

  ComFrameReader &Args() { return *args_; }
  ComObjectTable &Table() { return *table_; }

  HRESULT ReplyNone(HRESULT hr) {
    reply_->PutI32(hr);
    return hr;
  }
  HRESULT ReplyI32(HRESULT hr, int32_t value) {
    reply_->PutI32(hr);
    if (SUCCEEDED(hr)) {
      reply_->PutI32(value);
    }
    return hr;
  }
  HRESULT ReplyObject(HRESULT hr, IUnknown *object, const IID &iid) {
    return PutObject(table_, reply_, hr, object, iid);
  }
  HRESULT ReplyVariant(HRESULT hr, VARIANT *v);

 private:
  HRESULT QueryInterface(IUnknown *object);
  template <class I, class... M>
  HRESULT CallSlot(I *object, uint16_t slot, ComMethods<M...>);
  template <class... I>
  HRESULT CallOn(IUnknown *object, const IID &iid, uint16_t slot, ComInterfaces<I...>);

  ComObjectTable *table_;
  ComFrameReader *args_;
  ComFrameWriter *reply_;
};

HRESULT Dispatcher::ReplyVariant(HRESULT hr, VARIANT *v) {
  uint32_t id = 0;
  if (SUCCEEDED(hr)) {
    if (!Com_IsVariantType(v->vt)) {
      hr = DISP_E_BADVARTYPE;  // a type the wire does not carry
    } else if (v->vt == VT_UNKNOWN && v->punkVal != nullptr) {
      id = table_->Add(v->punkVal, IID_IUnknown);
      if (id == 0) {
        hr = E_OUTOFMEMORY;
      } else {
        v->punkVal = nullptr;  // the table has its reference now
      }
    }
  }
  reply_->PutI32(hr);
  if (SUCCEEDED(hr)) {
    reply_->PutVariant(*v, id);
  }
  if (v->vt == VT_UNKNOWN && v->punkVal == nullptr) {
    v->vt = VT_EMPTY;
  }
  VariantClear(v);
  return hr;
}

// One argument of a method, by its C++ type: Read decodes an in-value,
// Resolve turns an object id into the object, Value is what the method gets,
// and Reply encodes an out-value (returning false for an in-value).
template <class T>
struct Arg;

template <>
struct Arg<BSTR> {
  BSTR value = nullptr;
  ~Arg() { SysFreeString(value); }
  void Read(Dispatcher &d, HRESULT *hr) {
    bool noMemory = false;
    if (!d.Args().GetBstr(&value, &noMemory) && noMemory) {
      *hr = E_OUTOFMEMORY;
    }
  }
  BSTR Value() { return value; }
};

template <>
struct Arg<int32_t> {
  int32_t value = 0;
  void Read(Dispatcher &d, HRESULT *) { value = d.Args().GetI32(); }
  int32_t Value() { return value; }
};

template <>
struct Arg<VARIANT_BOOL> {
  VARIANT_BOOL value = 0;
  void Read(Dispatcher &d, HRESULT *) { value = static_cast<VARIANT_BOOL>(d.Args().GetU16()); }
  VARIANT_BOOL Value() { return value; }
};

template <>
struct Arg<const IID &> {
  IID value;
  void Read(Dispatcher &d, HRESULT *) { value = d.Args().GetGuid(); }
  const IID &Value() { return value; }
};

// An object of the same connection, sent as its id (0 for NULL).
template <class I>
struct Arg<I *> {
  uint32_t id = 0;
  I *value = nullptr;
  void Read(Dispatcher &d, HRESULT *) { id = d.Args().GetU32(); }
  bool Resolve(Dispatcher &d) {
    if (id == 0) {
      return true;
    }
    IID iid;
    IUnknown *found = d.Table().Find(id, &iid);
    if (found == nullptr || iid != ComIid<I>::Get()) {
      return false;
    }
    value = static_cast<I *>(found);
    return true;
  }
  I *Value() { return value; }
};

template <class I>
struct Arg<I **> {
  I *value = nullptr;
  I **Value() { return &value; }
  HRESULT Reply(Dispatcher &d, HRESULT hr) { return d.ReplyObject(hr, value, ComIid<I>::Get()); }
};

template <>
struct Arg<int32_t *> {
  int32_t value = 0;
  int32_t *Value() { return &value; }
  HRESULT Reply(Dispatcher &d, HRESULT hr) { return d.ReplyI32(hr, value); }
};

template <>
struct Arg<VARIANT *> {
  VARIANT value;
  Arg() { VariantInit(&value); }
  VARIANT *Value() { return &value; }
  HRESULT Reply(Dispatcher &d, HRESULT hr) { return d.ReplyVariant(hr, &value); }
};

template <class A>
void ReadArg(A &arg, Dispatcher &d, HRESULT *hr) {
  if constexpr (requires { arg.Read(d, hr); }) {
    arg.Read(d, hr);
  }
}
template <class A>
bool ResolveArg(A &arg, Dispatcher &d) {
  if constexpr (requires { arg.Resolve(d); }) {
    return arg.Resolve(d);
  }
  return true;
}

// Decodes the arguments of member in order, calls it and replies with its
// out-value, which is its last parameter when it has one.
template <class I, class... A>
HRESULT Invoke(HRESULT (I::*member)(A...), I *object, Dispatcher &d) {
  std::tuple<Arg<A>...> args;
  HRESULT hr = S_OK;
  std::apply([&](Arg<A> &...a) { (ReadArg(a, d, &hr), ...); }, args);
  if (!d.Args().Done()) {
    d.malformed = true;
    return E_FAIL;
  }
  if (FAILED(hr)) {
    return d.ReplyNone(hr);
  }
  bool resolved = std::apply([&](Arg<A> &...a) { return (ResolveArg(a, d) && ...); }, args);
  if (!resolved) {
    return d.ReplyNone(E_INVALIDARG);
  }
  hr = std::apply([&](Arg<A> &...a) { return (object->*member)(a.Value()...); }, args);
  if constexpr (sizeof...(A) > 0) {
    auto &last = std::get<sizeof...(A) - 1>(args);
    if constexpr (requires { last.Reply(d, hr); }) {
      return last.Reply(d, hr);
    }
  }
  return d.ReplyNone(hr);
}

HRESULT Dispatcher::QueryInterface(IUnknown *object) {
  IID iid = args_->GetGuid();
  if (!args_->Done()) {
    malformed = true;
    return E_FAIL;
  }
  if (!Com_IsRemotable(iid)) {
    return ReplyNone(E_NOINTERFACE);
  }
  void *p = nullptr;
  HRESULT hr = object->QueryInterface(iid, &p);
  return ReplyObject(hr, p != nullptr ? AsUnknown(p, iid, ComRemotableInterfaces{}) : nullptr, iid);
}

template <class I, class... M>
HRESULT Dispatcher::CallSlot([[maybe_unused]] I *object, [[maybe_unused]] uint16_t slot,
                             ComMethods<M...>) {
  HRESULT hr = S_OK;
  bool found = ((slot == M::kSlot && (hr = Invoke(M::kMember, object, *this), true)) || ...);
  return found ? hr : ReplyNone(E_NOTIMPL);
}

template <class... I>
HRESULT Dispatcher::CallOn(IUnknown *object, const IID &iid, uint16_t slot, ComInterfaces<I...>) {
  HRESULT hr = S_OK;
  bool found = ((iid == ComIid<I>::Get() && (hr = CallSlot(static_cast<I *>(object), slot,
                                                           typename ComInterface<I>::MethodList{}),
                                             true)) ||
                ...);
  return found ? hr : ReplyNone(E_NOTIMPL);
}

HRESULT Dispatcher::Call(IUnknown *object, const IID &iid, uint16_t slot) {
  if (slot == COM_SLOT_QUERY_INTERFACE) {
    return QueryInterface(object);
  }
  return CallOn(object, iid, slot, ComRemotableInterfaces{});
}

// Appends the error-information trailer: present only when the object says
// it supports error information for iid and the call left some behind.
void PutErrorInfo(IUnknown *object, const IID &iid, ComFrameWriter *reply) {
  IErrorInfo *info = Com_TakeCallErrorInfo(object, iid);
  // Whatever is left in the slot belongs to no one now.
  SetErrorInfo(0, nullptr);
  reply->PutErrorInfo(info, iid);
  if (info != nullptr) {
    info->Release();
  }
}

ComStubResult Activate(const ComServerClass &cls, ComObjectTable *table, ComFrameReader *in,
                       ComFrameWriter *reply) {
  CLSID clsid = in->GetGuid();
  IID iid = in->GetGuid();
  if (!in->Done()) {
    return COM_STUB_MALFORMED;
  }
  reply->PutU8(table->readsFixed ? COM_MSG_REPLY_FIXED : COM_MSG_REPLY);
  HRESULT hr = clsid != cls.clsid      ? REGDB_E_CLASSNOTREG
               : !Com_IsRemotable(iid) ? E_NOINTERFACE
                                       : S_OK;
  void *p = nullptr;
  if (SUCCEEDED(hr)) {
    IUnknown *object = cls.createInstance != nullptr ? cls.createInstance() : nullptr;
    hr = object == nullptr ? E_OUTOFMEMORY : object->QueryInterface(iid, &p);
    if (object != nullptr) {
      object->Release();
    }
    if (SUCCEEDED(hr) && p == nullptr) {
      hr = E_NOINTERFACE;
    }
  }
  PutObject(table, reply, hr, p != nullptr ? AsUnknown(p, iid, ComRemotableInterfaces{}) : nullptr,
            iid);
  reply->PutErrorInfo(nullptr, iid);
  return COM_STUB_REPLY;
}

template <class... I>
bool IsOneOf(const IID &iid, ComInterfaces<I...>) {
  return ((iid == ComIid<I>::Get()) || ...);
}

}  // namespace

bool Com_IsRemotable(const IID &iid) { return IsOneOf(iid, ComRemotableInterfaces{}); }

ComStubResult ComStub_Handle(const ComServerClass &cls, ComObjectTable *table,
                             const uint8_t *payload, size_t size, ComFrameWriter *reply) {
  ComFrameReader in(payload, size);
  uint8_t kind = in.GetU8();
  if (!in.Ok()) {
    return COM_STUB_MALFORMED;
  }
  if (kind == COM_MSG_ACTIVATE) {
    return Activate(cls, table, &in, reply);
  }
  if (kind == COM_MSG_RELEASE) {
    uint32_t id = in.GetU32();
    if (!in.Done()) {
      return COM_STUB_MALFORMED;
    }
    // A release of an unknown id is a client's bookkeeping error, harmless here.
    table->readsFixed = table->readsFixed || id == COM_READS_FIXED;
    table->Remove(id);
    return COM_STUB_NO_REPLY;
  }
  if (kind != COM_MSG_CALL) {
    return COM_STUB_MALFORMED;
  }
  uint32_t id = in.GetU32();
  IID iid = in.GetGuid();
  uint16_t slot = in.GetU16();
  if (!in.Ok()) {
    return COM_STUB_MALFORMED;
  }
  reply->PutU8(table->readsFixed ? COM_MSG_REPLY_FIXED : COM_MSG_REPLY);
  IID entryIid;
  IUnknown *object = table->Find(id, &entryIid);
  HRESULT refused = object == nullptr                                     ? RPC_E_DISCONNECTED
                    : slot != COM_SLOT_QUERY_INTERFACE && iid != entryIid ? E_NOINTERFACE
                                                                          : S_OK;
  if (FAILED(refused)) {
    reply->PutI32(refused);
    reply->PutErrorInfo(nullptr, iid);
    return COM_STUB_REPLY;
  }
  // Keep the object alive through the call even if it releases the table's
  // entry indirectly.
  object->AddRef();
  SetErrorInfo(0, nullptr);
  Dispatcher dispatcher(table, &in, reply);
  HRESULT hr = dispatcher.Call(object, entryIid, slot);
  if (dispatcher.malformed) {
    object->Release();
    return COM_STUB_MALFORMED;
  }
  if (FAILED(hr)) {
    PutErrorInfo(object, entryIid, reply);
  } else {
    reply->PutErrorInfo(nullptr, entryIid);
  }
  object->Release();
  return COM_STUB_REPLY;
}
