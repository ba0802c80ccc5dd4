// What /proc tells of processes, shared by the host's system and process code.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace procfs {

// The argument vector of process pid (0: the calling process), as the kernel
// keeps it; empty when it cannot be read (the process is gone).
std::vector<std::string> Arguments(long pid);

// The fields of process pid's stat (0: the calling process) after its name,
// which is in parentheses and may itself hold any character: [0] is the
// state (field 3). Empty when it cannot be read.
std::vector<std::string> StatFields(long pid);

// Whether process pid (its number as text) has an open descriptor for which
// match holds; match gets the descriptor's /proc/<pid>/fd/<n> path. False
// when the descriptors cannot be listed (the process is gone).
bool HasDescriptor(const std::string &pid, const std::function<bool(const std::string &)> &match);

}  // namespace procfs
