// Error information: the object a failing call leaves behind with a
// description, the source that raised it and the IID of the interface that
// failed. Each thread holds at most one; reading it hands it over and clears
// the thread's slot.
#pragma once

#include "com/bstr.h"
#include "com/guid.h"
#include "com/hresult.h"
#include "com/unknown.h"

extern const IID IID_IErrorInfo;

struct IErrorInfo : IUnknown {
  virtual HRESULT GetGUID(GUID *guid) = 0;
  // The out strings are new BSTRs the caller frees (NULL when unset).
  virtual HRESULT GetSource(BSTR *source) = 0;
  virtual HRESULT GetDescription(BSTR *description) = 0;

 protected:
  ~IErrorInfo() = default;
};

COM_DESCRIBE(IErrorInfo);

// Creates an error-information object (one reference, for the caller). NULL
// texts stay unset. E_POINTER for a NULL out pointer, E_OUTOFMEMORY.
HRESULT Com_CreateErrorInfo(const OLECHAR *description, const OLECHAR *source, const IID &iid,
                            IErrorInfo **info);

// Replaces the calling thread's error information (NULL clears it); the
// thread takes its own reference. reserved must be 0.
HRESULT SetErrorInfo(uint32_t reserved, IErrorInfo *info);
// Returns the error information of a call on object through interface iid
// that failed (a reference the caller owns), or NULL. It is taken from the
// thread only when object supports ISupportErrorInfo, answers S_OK for iid,
// and the thread holds some.
IErrorInfo *Com_TakeCallErrorInfo(IUnknown *object, const IID &iid);

// Hands the thread's error information to the caller (who then owns the
// reference) and clears the slot. S_FALSE with *info NULL when there is none.
HRESULT GetErrorInfo(uint32_t reserved, IErrorInfo **info);
