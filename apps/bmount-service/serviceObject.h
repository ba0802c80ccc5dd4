// The common part of the service's interface objects: their own reference
// count, QueryInterface for IUnknown, IDispatch, their one interface and
// ISupportErrorInfo, the IDispatch slots no client calls, the fault plan's
// say at the start of every method, and error information on failure.
#pragma once

#include <cstdint>
#include <string>

#include "com/errorInfo.h"
#include "com/mountService.h"
#include "mountService.h"
#include "serviceLog.h"

// Leaves error information (the description, this service as its source,
// iid) for the calling thread and returns hr. An empty description leaves
// none.
HRESULT ServiceObject_Fail(const IID &iid, HRESULT hr, const std::string &description);

template <class Interface>
class ServiceObject : public Interface, public ISupportErrorInfo {
 public:
  HRESULT QueryInterface(const IID &iid, void **object) override {
    if (object == nullptr) {
      return E_POINTER;
    }
    if (iid == IID_IUnknown || iid == IID_IDispatch || iid == iid_) {
      *object = static_cast<Interface *>(this);
    } else if (iid == IID_ISupportErrorInfo) {
      *object = static_cast<ISupportErrorInfo *>(this);
    } else {
      *object = nullptr;
      return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
  }
  uint32_t AddRef() override { return ++references_; }
  uint32_t Release() override {
    uint32_t left = --references_;
    if (left == 0) {
      delete this;
    }
    return left;
  }

  HRESULT InterfaceSupportsErrorInfo(const IID &iid) override {
    return iid == iid_ ? S_OK : S_FALSE;
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

 protected:
  ServiceObject(MountService *service, const IID &iid) : service_(service), iid_(iid) {}
  virtual ~ServiceObject() = default;

  // Applies the fault plan's rule for method ("Interface.Method"): returns
  // true with *hr to return when there is one (S_OK for "null": the caller
  // has already cleared its results).
  bool Faulted(const char *method, HRESULT *hr) {
    SetErrorInfo(0, nullptr);
    const FaultRule *rule = service_->Faults().Find(method);
    if (rule == nullptr) {
      return false;
    }
    *hr = rule->null ? S_OK : Fail(rule->hr, rule->hasDescription ? rule->description : "");
    return true;
  }
  HRESULT Fail(HRESULT hr, const std::string &description) {
    return ServiceObject_Fail(iid_, hr, description);
  }
  // A refusal of the service's own (not one the fault plan made up) is
  // logged too: the client may be a script nobody watches.
  HRESULT Fail(const Outcome &outcome) {
    ServiceLog_Refused(outcome.description);
    return Fail(outcome.hr, outcome.description);
  }

  MountService *service_;

 private:
  const IID &iid_;
  uint32_t references_ = 1;
};
