// GUIDs: the 128-bit identities of classes (CLSID) and interfaces (IID),
// written "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" in upper case.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>

struct GUID {
  uint32_t Data1;
  uint16_t Data2;
  uint16_t Data3;
  uint8_t Data4[8];
};
typedef GUID IID;
typedef GUID CLSID;

inline bool operator==(const GUID &a, const GUID &b) { return memcmp(&a, &b, sizeof a) == 0; }
inline bool operator!=(const GUID &a, const GUID &b) { return !(a == b); }

extern const GUID GUID_NULL;

// Parses the braced form (hex digits in either case, braces required).
// Returns false, leaving *guid untouched, on anything else.
bool Com_GuidFromString(const char *text, GUID *guid);
// Returns the braced upper-case form.
std::string Com_GuidToString(const GUID &guid);
