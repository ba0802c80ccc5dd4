// IUnknown: the base of every interface of the component runtime. Objects
// count their references; the last Release destroys them.
#pragma once

#include <cstdint>

#include "com/guid.h"
#include "com/hresult.h"
#include "com/interface.h"

extern const IID IID_IUnknown;

struct IUnknown {
  virtual HRESULT QueryInterface(const IID &iid, void **object) = 0;
  virtual uint32_t AddRef() = 0;
  virtual uint32_t Release() = 0;

 protected:
  ~IUnknown() = default;
};

COM_DESCRIBE(IUnknown);

// Returns object's interface T (one reference, for the caller), or NULL when
// it has none.
template <class T>
T *Com_Query(IUnknown *object) {
  void *p = nullptr;
  return SUCCEEDED(object->QueryInterface(ComIid<T>::Get(), &p)) ? static_cast<T *>(p) : nullptr;
}
