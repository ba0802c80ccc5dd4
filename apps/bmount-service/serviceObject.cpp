// Error information for the service's objects.
#include "serviceObject.h"

#include <string>

HRESULT ServiceObject_Fail(const IID &iid, HRESULT hr, const std::string &description) {
  if (description.empty()) {
    SetErrorInfo(0, nullptr);
    return hr;
  }
  std::u16string text;
  if (!Com_Utf8ToUtf16(description.data(), description.size(), &text)) {
    // A path in another encoding: keep what is plain ASCII.
    text.clear();
    for (unsigned char c : description) {
      text.push_back(c < 0x80 ? static_cast<char16_t>(c) : u'?');
    }
  }
  IErrorInfo *info = nullptr;
  if (SUCCEEDED(Com_CreateErrorInfo(text.c_str(), u"bmount-service", iid, &info))) {
    SetErrorInfo(0, info);
    info->Release();
  }
  return hr;
}
