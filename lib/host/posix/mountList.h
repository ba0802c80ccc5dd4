// Which file system holds a file, told from the mount list alone, shared by
// the mount and loop code. Looking at a file on a file system that a process
// or the network serves (FUSE, NFS, SMB, ...) waits for that server, for
// ever once it has stopped; code that merely surveys the machine must not.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace mountlist {

struct Mount {
  std::string point;
  uint64_t device = 0;  // as stat gives it for the files of the mount
  bool served = false;  // by a process or over the network
};

// The mounts this process sees, in the system's order; empty when the list
// cannot be read.
std::vector<Mount> Read();

// The mount holding path, a path as the kernel names a file (links
// resolved), or nullptr when none does (a file out of this process's reach).
const Mount *Holding(const std::vector<Mount> &mounts, const std::string &path);

}  // namespace mountlist
