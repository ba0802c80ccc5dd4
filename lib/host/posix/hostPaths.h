// Helpers shared by the host's prefix, drive, registry and event-log code:
// joining paths and walking the registry below a given HKLM folder, so the
// prefix can be populated under its temporary name before it goes live.
#pragma once

#include <cstdint>
#include <string>

#include "host/registry.h"

namespace hostpaths {

// Returns the prefix path as a std::string; false (errno set) when none.
bool PrefixPath(std::string *path);

// Returns "" when the prefix can be trusted by the running user (or does
// not exist yet), else why not (see HostPrefix_TrustProblem).
std::string TrustProblem(const std::string &prefix);
// PrefixPath, refused with EPERM when the prefix cannot be trusted.
bool TrustedPrefix(std::string *path);
// Whether nobody but the running user and root can change the program at
// the absolute path: the file (links followed) and every folder on the way,
// judged as the way to the prefix is.
bool TrustedProgram(const std::string &path);

// Registry operations relative to an HKLM folder; same results as the public
// functions.
int RegCreateKeyAt(const std::string &hklm, const char *subKey);
int RegSetStringAt(const std::string &hklm, const char *subKey, const char *name, HostRegType type,
                   const char *text);
int RegSetDwordAt(const std::string &hklm, const char *subKey, const char *name, uint32_t value);

}  // namespace hostpaths
