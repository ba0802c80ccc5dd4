// ComObject<I, More...>: the IUnknown of an object of this process that
// implements interface I and the further interfaces More. It counts its own
// references (the last Release deletes it) and answers QueryInterface for
// IUnknown, IDispatch when I derives from it, I and each of More, from their
// descriptions. Derived classes may widen QueryInterface.
#pragma once

#include <atomic>
#include <cstdint>
#include <type_traits>

#include "com/mountService.h"

template <class I, class... More>
class ComObject : public I, public More... {
 public:
  HRESULT QueryInterface(const IID &iid, void **object) override {
    if (object == nullptr) {
      return E_POINTER;
    }
    *object = nullptr;
    if (iid == IID_IUnknown || iid == ComIid<I>::Get() ||
        (std::is_base_of_v<IDispatch, I> && iid == IID_IDispatch)) {
      *object = static_cast<I *>(this);
    } else {
      ((iid == ComIid<More>::Get() ? (*object = static_cast<More *>(this)) : nullptr), ...);
    }
    if (*object == nullptr) {
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

 protected:
  ComObject() = default;
  virtual ~ComObject() = default;

 private:
  std::atomic<uint32_t> references_{1};
};
