// The host registry (HKEY_LOCAL_MACHINE only) kept as files below
// <prefix>/registry/HKLM: a key is a folder, the sub-key path "A\B\C" is the
// folder A/B/C; a value is a file in its key's folder named after the value
// ("@" for the default value) holding the type name on its first line and the
// data after it (strings as text, DWORDs in decimal), followed by one line
// feed. Key and value names keep the spelling they were first written with
// and are looked up without regard to ASCII case. Values are replaced
// atomically. Names may not contain "/", be "." or "..", or start with ".#"
// (reserved for temporary files).
//
// Every function returns 0 or a system error code (ENOTDIR when a path
// component is a file, EACCES, ENOSPC, ENOENT for a missing key or value,
// EINVAL for a bad name or a damaged value file); callers decide what it
// means. Nothing above registry/HKLM is ever created.
#pragma once

#include <cstdint>

enum HostRegType {
  HOSTREG_SZ = 1,
  HOSTREG_EXPAND_SZ = 2,
  HOSTREG_DWORD = 4,
};

// Creates the key and its missing parents, or finds it when it exists.
int HostRegistry_CreateKey(const char *subKey);
// Returns 0 when the key exists.
int HostRegistry_KeyExists(const char *subKey);
// Writes a string value (HOSTREG_SZ or HOSTREG_EXPAND_SZ) in an existing key.
int HostRegistry_SetString(const char *subKey, const char *name, HostRegType type,
                           const char *text);
// Writes a HOSTREG_DWORD value in an existing key.
int HostRegistry_SetDword(const char *subKey, const char *name, uint32_t value);
// Reads a value. *type receives its type; a string's text goes to *text
// (malloc'd, the caller frees it; may be NULL when not wanted), a DWORD to
// *dword (may be NULL).
int HostRegistry_QueryValue(const char *subKey, const char *name, HostRegType *type, char **text,
                            uint32_t *dword);
int HostRegistry_DeleteValue(const char *subKey, const char *name);
// Deletes a key with its values; ENOTEMPTY when it still has sub-keys.
int HostRegistry_DeleteKey(const char *subKey);
