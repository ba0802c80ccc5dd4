// The error-information object and the per-thread slot that carries it from
// the failing call to whoever asks. The slot holds its own reference, which
// the reader takes over: reading empties the slot, as callers rely on to
// tell a fresh error from a stale one.
#include "com/errorInfo.h"

#include <new>

#include "com/object.h"

const IID IID_IUnknown = {0x00000000, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
const IID IID_IErrorInfo = {
    0x1CF2B120, 0x547D, 0x101B, {0x8E, 0x65, 0x08, 0x00, 0x2B, 0x2B, 0xD1, 0x19}};

namespace {

class ErrorInfoObject final : public ComObject<IErrorInfo> {
 public:
  ErrorInfoObject(BSTR description, BSTR source, const IID &iid)
      : description_(description), source_(source), iid_(iid) {}

  HRESULT GetGUID(GUID *guid) override {
    if (guid == nullptr) {
      return E_POINTER;
    }
    *guid = iid_;
    return S_OK;
  }
  HRESULT GetSource(BSTR *source) override { return CopyOut(source_, source); }
  HRESULT GetDescription(BSTR *description) override { return CopyOut(description_, description); }

 private:
  ~ErrorInfoObject() override {
    SysFreeString(description_);
    SysFreeString(source_);
  }

  static HRESULT CopyOut(BSTR from, BSTR *to) {
    if (to == nullptr) {
      return E_POINTER;
    }
    *to = nullptr;
    if (from != nullptr) {
      *to = SysAllocStringLen(from, SysStringLen(from));
      if (*to == nullptr) {
        return E_OUTOFMEMORY;
      }
    }
    return S_OK;
  }

  BSTR description_;
  BSTR source_;
  IID iid_;
};

// Releases whatever a thread leaves behind when it ends.
struct Slot {
  IErrorInfo *info = nullptr;
  ~Slot() {
    if (info != nullptr) {
      info->Release();
    }
  }
};

thread_local Slot tSlot;

}  // namespace

HRESULT Com_CreateErrorInfo(const OLECHAR *description, const OLECHAR *source, const IID &iid,
                            IErrorInfo **info) {
  if (info == nullptr) {
    return E_POINTER;
  }
  *info = nullptr;
  BSTR d = SysAllocString(description);
  BSTR s = SysAllocString(source);
  if ((description != nullptr && d == nullptr) || (source != nullptr && s == nullptr)) {
    SysFreeString(d);
    SysFreeString(s);
    return E_OUTOFMEMORY;
  }
  auto *object = new (std::nothrow) ErrorInfoObject(d, s, iid);
  if (object == nullptr) {
    SysFreeString(d);
    SysFreeString(s);
    return E_OUTOFMEMORY;
  }
  *info = object;
  return S_OK;
}

HRESULT SetErrorInfo(uint32_t reserved, IErrorInfo *info) {
  if (reserved != 0) {
    return E_INVALIDARG;
  }
  if (info != nullptr) {
    info->AddRef();
  }
  IErrorInfo *old = tSlot.info;
  tSlot.info = info;
  if (old != nullptr) {
    old->Release();
  }
  return S_OK;
}

HRESULT GetErrorInfo(uint32_t reserved, IErrorInfo **info) {
  if (info == nullptr) {
    return E_POINTER;
  }
  *info = nullptr;
  if (reserved != 0) {
    return E_INVALIDARG;
  }
  *info = tSlot.info;
  tSlot.info = nullptr;
  return *info != nullptr ? S_OK : S_FALSE;
}
