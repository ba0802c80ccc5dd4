// Fuzzes the text parsers of the host and the component runtime: UTF-8 to
// UTF-16 accepts exactly the well-formed input the host's own check accepts
// and round-trips it, UTF-16 that converts comes back unchanged, a parsed
// GUID prints as its upper-case text, and the version parser never reads past
// the text.
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "com/bstr.h"
#include "com/guid.h"
#include "host/system.h"
#include "host/text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const char *bytes = reinterpret_cast<const char *>(data);
  std::u16string wide;
  bool ok = Com_Utf8ToUtf16(bytes, size, &wide);
  if (ok != HostText_IsValidUtf8(bytes, size)) abort();
  if (ok) {
    std::string back;
    if (!Com_Utf16ToUtf8(wide.data(), wide.size(), &back)) abort();
    if (back != std::string(bytes, size)) abort();
  }

  std::u16string units(size / 2, u'\0');
  memcpy(units.data(), data, units.size() * 2);
  std::string utf8;
  if (Com_Utf16ToUtf8(units.data(), units.size(), &utf8)) {
    std::u16string again;
    if (!Com_Utf8ToUtf16(utf8.data(), utf8.size(), &again) || again != units) abort();
  }

  std::string text(bytes, size);  // stops at the first NUL for the C parsers
  GUID guid;
  if (Com_GuidFromString(text.c_str(), &guid)) {
    std::string upper(text.c_str());
    for (char &c : upper) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    if (Com_GuidToString(guid) != upper) abort();
  }
  HostVersion version;
  HostSystem_ParseVersion(text.c_str(), &version);
  return 0;
}
