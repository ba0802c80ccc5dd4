// The stub: dispatches a request on (interface id, method slot), with the
// arguments decoded and checked in full before the object is called, and
// encodes the reply as the HRESULT, the out-values when the call succeeded,
// then the error information when the object supports it for that interface.
// Objects handed out by a failed call are released here, never sent.
#include "com/stub.h"

#include "com/errorInfo.h"
#include "com/mountService.h"
#include "com/variant.h"

namespace {

// Converts an interface pointer of type iid (as a QueryInterface returns it)
// to its IUnknown base.
IUnknown *AsUnknown(void *p, const IID &iid) {
  if (iid == IID_IMountLocator) return static_cast<IMountLocator *>(p);
  if (iid == IID_IMountManager) return static_cast<IMountManager *>(p);
  if (iid == IID_IMountList) return static_cast<IMountList *>(p);
  if (iid == IID_IVirtualDisk) return static_cast<IVirtualDisk *>(p);
  if (iid == IID_IVolumeList) return static_cast<IVolumeList *>(p);
  if (iid == IID_IDiskVolume) return static_cast<IDiskVolume *>(p);
  if (iid == IID_IMount) return static_cast<IMount *>(p);
  if (iid == IID_ISupportErrorInfo) return static_cast<ISupportErrorInfo *>(p);
  return static_cast<IUnknown *>(p);
}

// Frees the BSTRs of a request whatever path the handler takes.
struct BstrArg {
  BSTR value = nullptr;
  ~BstrArg() { SysFreeString(value); }
};

class Dispatcher {
 public:
  Dispatcher(ComObjectTable *table, ComFrameReader *args, ComFrameWriter *reply)
      : table_(table), args_(args), reply_(reply) {}

  bool malformed = false;

  // Each returns the call's final HRESULT after writing it and the outs.
  HRESULT Call(IUnknown *object, const IID &iid, uint16_t slot);

 private:
  bool ArgsDone() {
    if (!args_->Done()) {
      malformed = true;
    }
    return !malformed;
  }
  bool ReadBstr(BstrArg *arg, HRESULT *hr) {
    bool noMemory = false;
    if (!args_->GetBstr(&arg->value, &noMemory) && noMemory) {
      *hr = E_OUTOFMEMORY;
    }
    return args_->Ok();
  }

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
  // Registers an interface pointer the call handed out; a failed call's is
  // released (it should have been NULL).
  HRESULT ReplyObject(HRESULT hr, IUnknown *object, const IID &iid) {
    uint32_t id = 0;
    if (object != nullptr) {
      if (SUCCEEDED(hr)) {
        id = table_->Add(object, iid);
      }
      if (id == 0) {
        object->Release();
        if (SUCCEEDED(hr)) {
          hr = E_OUTOFMEMORY;
        }
      }
    }
    reply_->PutI32(hr);
    if (SUCCEEDED(hr)) {
      reply_->PutU32(id);
    }
    return hr;
  }
  HRESULT ReplyVariant(HRESULT hr, VARIANT *v);

  HRESULT QueryInterface(IUnknown *object);
  HRESULT SupportErrorInfo(ISupportErrorInfo *object, uint16_t slot);
  HRESULT Locator(IMountLocator *object, uint16_t slot);
  HRESULT Manager(IMountManager *object, uint16_t slot);
  HRESULT MountList(IMountList *object, uint16_t slot);
  HRESULT Disk(IVirtualDisk *object, uint16_t slot);
  HRESULT VolumeList(IVolumeList *object, uint16_t slot);
  HRESULT Volume(IDiskVolume *object, uint16_t slot);
  HRESULT Mount(IMount *object, uint16_t slot);

  ComObjectTable *table_;
  ComFrameReader *args_;
  ComFrameWriter *reply_;
};

HRESULT Dispatcher::ReplyVariant(HRESULT hr, VARIANT *v) {
  uint32_t id = 0;
  if (SUCCEEDED(hr)) {
    switch (v->vt) {
      case VT_EMPTY:
      case VT_NULL:
      case VT_I2:
      case VT_I4:
      case VT_I8:
      case VT_BOOL:
      case VT_ERROR:
      case VT_BSTR:
        break;
      case VT_UNKNOWN:
        if (v->punkVal != nullptr) {
          id = table_->Add(v->punkVal, IID_IUnknown);
          if (id == 0) {
            hr = E_OUTOFMEMORY;
          } else {
            v->punkVal = nullptr;  // the table has its reference now
          }
        }
        break;
      default:
        hr = COM_HRESULT(0x80020008u);  // a type the wire does not carry
        break;
    }
  }
  reply_->PutI32(hr);
  if (SUCCEEDED(hr)) {
    reply_->PutU16(v->vt);
    switch (v->vt) {
      case VT_I2:
        reply_->PutU16(static_cast<uint16_t>(v->iVal));
        break;
      case VT_BOOL:
        reply_->PutU16(static_cast<uint16_t>(v->boolVal));
        break;
      case VT_I4:
        reply_->PutI32(v->lVal);
        break;
      case VT_ERROR:
        reply_->PutI32(v->scode);
        break;
      case VT_I8:
        reply_->PutI64(v->llVal);
        break;
      case VT_BSTR:
        reply_->PutBstr(v->bstrVal);
        break;
      case VT_UNKNOWN:
        reply_->PutU32(id);
        break;
      default:
        break;
    }
  }
  if (v->vt == VT_UNKNOWN && v->punkVal == nullptr) {
    v->vt = VT_EMPTY;
  }
  VariantClear(v);
  return hr;
}

HRESULT Dispatcher::QueryInterface(IUnknown *object) {
  IID iid = args_->GetGuid();
  if (!ArgsDone()) {
    return E_FAIL;
  }
  if (!Com_IsRemotable(iid)) {
    return ReplyNone(E_NOINTERFACE);
  }
  void *p = nullptr;
  HRESULT hr = object->QueryInterface(iid, &p);
  return ReplyObject(hr, p != nullptr ? AsUnknown(p, iid) : nullptr, iid);
}

HRESULT Dispatcher::SupportErrorInfo(ISupportErrorInfo *object, uint16_t slot) {
  if (slot != 3) {
    return ReplyNone(E_NOTIMPL);
  }
  IID iid = args_->GetGuid();
  if (!ArgsDone()) {
    return E_FAIL;
  }
  return ReplyNone(object->InterfaceSupportsErrorInfo(iid));
}

HRESULT Dispatcher::Locator(IMountLocator *object, uint16_t slot) {
  if (slot != 7) {
    return ReplyNone(E_NOTIMPL);
  }
  HRESULT hr = S_OK;
  BstrArg host, user;
  ReadBstr(&host, &hr);
  ReadBstr(&user, &hr);
  int32_t flags = args_->GetI32();
  if (!ArgsDone()) {
    return E_FAIL;
  }
  if (FAILED(hr)) {
    return ReplyNone(hr);
  }
  IMountManager *manager = nullptr;
  hr = object->Connect(host.value, user.value, flags, &manager);
  return ReplyObject(hr, manager, IID_IMountManager);
}

HRESULT Dispatcher::Manager(IMountManager *object, uint16_t slot) {
  if (slot == 8) {
    int32_t id = args_->GetI32();
    if (!ArgsDone()) {
      return E_FAIL;
    }
    IMount *mount = nullptr;
    HRESULT hr = object->GetMount(id, &mount);
    return ReplyObject(hr, mount, IID_IMount);
  }
  if (slot == 9) {
    if (!ArgsDone()) {
      return E_FAIL;
    }
    IMountList *list = nullptr;
    HRESULT hr = object->GetMounts(&list);
    return ReplyObject(hr, list, IID_IMountList);
  }
  if (slot == 14) {
    HRESULT hr = S_OK;
    BstrArg path;
    ReadBstr(&path, &hr);
    int32_t flags = args_->GetI32();
    int32_t mode = args_->GetI32();
    int32_t options = args_->GetI32();
    if (!ArgsDone()) {
      return E_FAIL;
    }
    if (FAILED(hr)) {
      return ReplyNone(hr);
    }
    IVirtualDisk *disk = nullptr;
    hr = object->OpenDisk(path.value, flags, mode, options, &disk);
    return ReplyObject(hr, disk, IID_IVirtualDisk);
  }
  return ReplyNone(E_NOTIMPL);
}

HRESULT Dispatcher::MountList(IMountList *object, uint16_t slot) {
  if (slot == 8) {
    int32_t index = args_->GetI32();
    if (!ArgsDone()) {
      return E_FAIL;
    }
    VARIANT item;
    VariantInit(&item);
    HRESULT hr = object->Item(index, &item);
    return ReplyVariant(hr, &item);
  }
  if (slot == 9) {
    if (!ArgsDone()) {
      return E_FAIL;
    }
    int32_t count = 0;
    HRESULT hr = object->Count(&count);
    return ReplyI32(hr, count);
  }
  return ReplyNone(E_NOTIMPL);
}

HRESULT Dispatcher::Disk(IVirtualDisk *object, uint16_t slot) {
  if (slot == 10) {
    if (!ArgsDone()) {
      return E_FAIL;
    }
    IVolumeList *volumes = nullptr;
    HRESULT hr = object->GetVolumes(&volumes);
    return ReplyObject(hr, volumes, IID_IVolumeList);
  }
  if (slot == 12) {
    int32_t flags = args_->GetI32();
    uint32_t volumeId = args_->GetU32();
    int32_t options = args_->GetI32();
    if (!ArgsDone()) {
      return E_FAIL;
    }
    IDiskVolume *volume = nullptr;
    if (volumeId != 0) {
      IID iid;
      IUnknown *found = table_->Find(volumeId, &iid);
      if (found == nullptr || iid != IID_IDiskVolume) {
        return ReplyNone(E_INVALIDARG);
      }
      volume = static_cast<IDiskVolume *>(found);
    }
    IMount *mount = nullptr;
    HRESULT hr = object->CreateMount(flags, volume, options, &mount);
    return ReplyObject(hr, mount, IID_IMount);
  }
  if (slot == 13) {
    if (!ArgsDone()) {
      return E_FAIL;
    }
    int32_t bytes = 0;
    HRESULT hr = object->SectorSize(&bytes);
    return ReplyI32(hr, bytes);
  }
  return ReplyNone(E_NOTIMPL);
}

HRESULT Dispatcher::VolumeList(IVolumeList *object, uint16_t slot) {
  if (slot == 8) {
    int32_t index = args_->GetI32();
    if (!ArgsDone()) {
      return E_FAIL;
    }
    IDiskVolume *volume = nullptr;
    HRESULT hr = object->Item(index, &volume);
    return ReplyObject(hr, volume, IID_IDiskVolume);
  }
  if (slot == 9) {
    if (!ArgsDone()) {
      return E_FAIL;
    }
    int32_t count = 0;
    HRESULT hr = object->Count(&count);
    return ReplyI32(hr, count);
  }
  return ReplyNone(E_NOTIMPL);
}

HRESULT Dispatcher::Volume(IDiskVolume *object, uint16_t slot) {
  if (slot != 11) {
    return ReplyNone(E_NOTIMPL);
  }
  if (!ArgsDone()) {
    return E_FAIL;
  }
  int32_t count = 0;
  HRESULT hr = object->SectorCount(&count);
  return ReplyI32(hr, count);
}

HRESULT Dispatcher::Mount(IMount *object, uint16_t slot) {
  if (slot == 8) {
    auto force = static_cast<VARIANT_BOOL>(args_->GetU16());
    int32_t options = args_->GetI32();
    if (!ArgsDone()) {
      return E_FAIL;
    }
    return ReplyNone(object->Unmount(force, options));
  }
  if (slot == 18) {
    int32_t mask = args_->GetI32();
    int32_t flags = args_->GetI32();
    int32_t options = args_->GetI32();
    if (!ArgsDone()) {
      return E_FAIL;
    }
    return ReplyNone(object->MountAs(mask, flags, options));
  }
  return ReplyNone(E_NOTIMPL);
}

HRESULT Dispatcher::Call(IUnknown *object, const IID &iid, uint16_t slot) {
  if (slot == 0) {
    return QueryInterface(object);
  }
  if (iid == IID_ISupportErrorInfo) {
    return SupportErrorInfo(static_cast<ISupportErrorInfo *>(object), slot);
  }
  if (iid == IID_IMountLocator) return Locator(static_cast<IMountLocator *>(object), slot);
  if (iid == IID_IMountManager) return Manager(static_cast<IMountManager *>(object), slot);
  if (iid == IID_IMountList) return MountList(static_cast<IMountList *>(object), slot);
  if (iid == IID_IVirtualDisk) return Disk(static_cast<IVirtualDisk *>(object), slot);
  if (iid == IID_IVolumeList) return VolumeList(static_cast<IVolumeList *>(object), slot);
  if (iid == IID_IDiskVolume) return Volume(static_cast<IDiskVolume *>(object), slot);
  if (iid == IID_IMount) return Mount(static_cast<IMount *>(object), slot);
  return ReplyNone(E_NOTIMPL);
}

// Appends the error-information trailer: present only when the object says
// it supports error information for iid and the call left some behind.
void PutErrorInfo(IUnknown *object, const IID &iid, ComFrameWriter *reply) {
  IErrorInfo *info = nullptr;
  ISupportErrorInfo *support = nullptr;
  if (SUCCEEDED(
          object->QueryInterface(IID_ISupportErrorInfo, reinterpret_cast<void **>(&support))) &&
      support != nullptr) {
    if (support->InterfaceSupportsErrorInfo(iid) == S_OK && GetErrorInfo(0, &info) != S_OK) {
      info = nullptr;
    }
    support->Release();
  }
  // Whatever is left in the slot belongs to no one now.
  SetErrorInfo(0, nullptr);
  if (info == nullptr) {
    reply->PutU8(0);
    return;
  }
  BSTR description = nullptr;
  BSTR source = nullptr;
  GUID guid = iid;
  if (FAILED(info->GetDescription(&description))) description = nullptr;
  if (FAILED(info->GetSource(&source))) source = nullptr;
  if (FAILED(info->GetGUID(&guid))) guid = iid;
  info->Release();
  reply->PutU8(1);
  reply->PutBstr(description);
  reply->PutBstr(source);
  reply->PutGuid(guid);
  SysFreeString(description);
  SysFreeString(source);
}

ComStubResult Activate(const ComServerClass &cls, ComObjectTable *table, ComFrameReader *in,
                       ComFrameWriter *reply) {
  CLSID clsid = in->GetGuid();
  IID iid = in->GetGuid();
  if (!in->Done()) {
    return COM_STUB_MALFORMED;
  }
  reply->PutU8(COM_MSG_REPLY);
  HRESULT hr = S_OK;
  uint32_t id = 0;
  if (clsid != cls.clsid) {
    hr = REGDB_E_CLASSNOTREG;
  } else if (!Com_IsRemotable(iid)) {
    hr = E_NOINTERFACE;
  } else {
    IUnknown *object = cls.createInstance != nullptr ? cls.createInstance() : nullptr;
    void *p = nullptr;
    hr = object == nullptr ? E_OUTOFMEMORY : object->QueryInterface(iid, &p);
    if (object != nullptr) {
      object->Release();
    }
    if (SUCCEEDED(hr) && p == nullptr) {
      hr = E_NOINTERFACE;
    }
    if (p != nullptr) {
      IUnknown *unknown = AsUnknown(p, iid);
      id = SUCCEEDED(hr) ? table->Add(unknown, iid) : 0;
      if (id == 0) {
        unknown->Release();
        if (SUCCEEDED(hr)) {
          hr = E_OUTOFMEMORY;
        }
      }
    }
  }
  reply->PutI32(hr);
  if (SUCCEEDED(hr)) {
    reply->PutU32(id);
  }
  reply->PutU8(0);
  return COM_STUB_REPLY;
}

}  // namespace

bool Com_IsRemotable(const IID &iid) {
  return iid == IID_IUnknown || iid == IID_ISupportErrorInfo || iid == IID_IMountLocator ||
         iid == IID_IMountManager || iid == IID_IMountList || iid == IID_IVirtualDisk ||
         iid == IID_IVolumeList || iid == IID_IDiskVolume || iid == IID_IMount;
}

uint32_t ComObjectTable::Add(IUnknown *object, const IID &iid) {
  if (entries_.size() >= kMaxObjects) {
    return 0;
  }
  while (nextId_ == 0 || entries_.count(nextId_) != 0) {
    nextId_++;
  }
  uint32_t id = nextId_++;
  entries_[id] = Entry{object, iid};
  return id;
}

IUnknown *ComObjectTable::Find(uint32_t id, IID *iid) const {
  auto it = entries_.find(id);
  if (it == entries_.end()) {
    return nullptr;
  }
  *iid = it->second.iid;
  return it->second.object;
}

bool ComObjectTable::Remove(uint32_t id) {
  auto it = entries_.find(id);
  if (it == entries_.end()) {
    return false;
  }
  IUnknown *object = it->second.object;
  entries_.erase(it);
  object->Release();
  return true;
}

void ComObjectTable::Clear() {
  // Releasing may run arbitrary destructors: take the entries out first.
  std::unordered_map<uint32_t, Entry> old;
  old.swap(entries_);
  for (auto &e : old) {
    e.second.object->Release();
  }
}

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
  reply->PutU8(COM_MSG_REPLY);
  IID entryIid;
  IUnknown *object = table->Find(id, &entryIid);
  if (object == nullptr) {
    reply->PutI32(RPC_E_DISCONNECTED);
    reply->PutU8(0);
    return COM_STUB_REPLY;
  }
  if (slot != 0 && iid != entryIid) {
    reply->PutI32(E_NOINTERFACE);
    reply->PutU8(0);
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
    reply->PutU8(0);
  }
  object->Release();
  return COM_STUB_REPLY;
}
