// The common part of the service's interface objects: their IUnknown (with
// ISupportErrorInfo, for their one interface), the opening every method
// shares (its out-pointer checked and cleared, then the fault plan's say),
// and error information on failure.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <type_traits>

#include "com/errorInfo.h"
#include "com/mountService.h"
#include "com/object.h"
#include "mountService.h"
#include "serviceLog.h"

// Leaves error information (the description, this service as its source,
// iid) for the calling thread and returns hr. An empty description leaves
// none.
HRESULT ServiceObject_Fail(const IID &iid, HRESULT hr, const std::string &description);

template <class Interface>
class ServiceObject : public ComObject<Interface, ISupportErrorInfo> {
 public:
  HRESULT InterfaceSupportsErrorInfo(const IID &iid) override {
    return iid == ComIid<Interface>::Get() ? S_OK : S_FALSE;
  }

 protected:
  explicit ServiceObject(MountService *service) : service_(service) {}

  // The opening of a method ("Interface.Method") that hands out *out:
  // returns what the method must return at once (E_POINTER for a NULL out,
  // the fault plan's result), or nothing when it goes on. *out is cleared
  // first; a "null" rule returns S_OK with it cleared (a VARIANT VT_NULL).
  template <class Out>
  std::optional<HRESULT> Open(const char *method, Out *out) {
    if (out == nullptr) {
      return E_POINTER;
    }
    if constexpr (std::is_same_v<Out, VARIANT>) {
      VariantInit(out);
    } else {
      *out = Out{};
    }
    std::optional<HRESULT> hr = Open(method);
    if constexpr (std::is_same_v<Out, VARIANT>) {
      if (hr && SUCCEEDED(*hr)) {
        out->vt = VT_NULL;
      }
    }
    return hr;
  }
  // The same for a method without an out-value.
  std::optional<HRESULT> Open(const char *method) {
    SetErrorInfo(0, nullptr);
    std::optional<FaultRule> rule = service_->Faults().Find(method);
    if (!rule) {
      return std::nullopt;
    }
    return rule->null ? S_OK : Fail(rule->hr, rule->hasDescription ? rule->description : "");
  }

  // The whole of a method whose result is a number known beforehand.
  HRESULT Answer(const char *method, int32_t *out, int32_t value) {
    if (auto refused = Open(method, out)) {
      return *refused;
    }
    *out = value;
    return S_OK;
  }

  HRESULT Fail(HRESULT hr, const std::string &description) {
    return ServiceObject_Fail(ComIid<Interface>::Get(), hr, description);
  }
  // A refusal of the service's own (not one the fault plan made up) is
  // logged too: the client may be a script nobody watches.
  HRESULT Fail(const Outcome &outcome) {
    ServiceLog_Refused(outcome.description);
    return Fail(outcome.hr, outcome.description);
  }

  MountService *service_;
};
