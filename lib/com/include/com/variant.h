// VARIANT: a tagged value of the types the mount service's interfaces carry.
// A VARIANT owns its BSTR and holds one reference on its interface pointer;
// VariantClear releases them.
#pragma once

#include <cstdint>

#include "com/bstr.h"
#include "com/hresult.h"
#include "com/unknown.h"

typedef uint16_t VARTYPE;
typedef int16_t VARIANT_BOOL;

#define VARIANT_TRUE static_cast<VARIANT_BOOL>(-1)
#define VARIANT_FALSE static_cast<VARIANT_BOOL>(0)

enum : VARTYPE {
  VT_EMPTY = 0,
  VT_NULL = 1,
  VT_I2 = 2,
  VT_I4 = 3,
  VT_BSTR = 8,
  VT_ERROR = 10,
  VT_BOOL = 11,
  VT_UNKNOWN = 13,
  VT_I8 = 20,
};

struct VARIANT {
  VARTYPE vt;
  union {
    int16_t iVal;
    int32_t lVal;
    int64_t llVal;
    BSTR bstrVal;
    VARIANT_BOOL boolVal;
    HRESULT scode;
    IUnknown *punkVal;
  };
};

// True for the types listed above, the ones a VARIANT may hold.
bool Com_IsVariantType(VARTYPE vt);

void VariantInit(VARIANT *v);
// Releases what the value owns and leaves VT_EMPTY. S_OK; DISP_E_BADVARTYPE
// (0x80020008, value untouched) for a type not listed above.
HRESULT VariantClear(VARIANT *v);
// Deep copy (new BSTR, one more reference on an interface) into an
// initialised destination, whose old value is cleared first.
HRESULT VariantCopy(VARIANT *dest, const VARIANT *src);
// Converts src to type vt into dest (which may be src); on failure dest is
// left as it was. Targets: VT_BSTR from VT_EMPTY (""), the integers (decimal)
// and VT_BOOL ("True"/"False"); VT_I2/VT_I4/VT_I8 from the integers, VT_BOOL,
// VT_EMPTY and decimal text; VT_BOOL from the integers, VT_EMPTY and text
// ("True"/"False" or a number); any type to itself. VT_NULL, VT_ERROR and
// VT_UNKNOWN convert to nothing else. flags are ignored. Failures:
// DISP_E_TYPEMISMATCH, DISP_E_OVERFLOW, E_OUTOFMEMORY.
HRESULT VariantChangeType(VARIANT *dest, const VARIANT *src, uint16_t flags, VARTYPE vt);
