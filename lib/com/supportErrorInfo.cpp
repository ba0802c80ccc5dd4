// Which error information belongs to a failed call: the thread's, but only
// when the object vouches for it by supporting ISupportErrorInfo for the
// interface that failed. Otherwise what sits in the slot came from elsewhere
// and is left alone.
#include "com/errorInfo.h"
#include "com/mountService.h"

IErrorInfo *Com_TakeCallErrorInfo(IUnknown *object, const IID &iid) {
  ISupportErrorInfo *support = object != nullptr ? Com_Query<ISupportErrorInfo>(object) : nullptr;
  if (support == nullptr) {
    return nullptr;
  }
  HRESULT supported = support->InterfaceSupportsErrorInfo(iid);
  support->Release();
  IErrorInfo *info = nullptr;
  if (supported != S_OK || GetErrorInfo(0, &info) != S_OK) {
    return nullptr;
  }
  return info;
}
