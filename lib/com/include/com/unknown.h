// IUnknown: the base of every interface of the component runtime. Objects
// count their references; the last Release destroys them.
#pragma once

#include <cstdint>

#include "com/guid.h"
#include "com/hresult.h"

extern const IID IID_IUnknown;

struct IUnknown {
  virtual HRESULT QueryInterface(const IID &iid, void **object) = 0;
  virtual uint32_t AddRef() = 0;
  virtual uint32_t Release() = 0;

 protected:
  ~IUnknown() = default;
};
