// A cgroup whose processes can open no device but one block device. The
// kernel asks it of the opens it makes itself for such a process, so a mount
// made in it reaches no other device (a journal's, or the rest of a btrfs),
// whatever the volume says by then.
#pragma once

#include <sys/types.h>

#include <string>

namespace devicefence {

struct Fence {
  std::string folder;  // the cgroup's, in the cgroup2 file system or the devices hierarchy
  int folderFd = -1;   // the folder, open: a child can start in it; -1 in the devices hierarchy
  int procs = -1;      // its cgroup.procs (tasks in the devices hierarchy), open for writing
};

// Makes a fence that lets through device (a block device's number, as stat
// gives it) and nothing else: in the cgroup2 file system, else in the first
// version's devices hierarchy. 0, or the system error code of why it cannot
// be made here: ENOMEDIUM when neither holds this process, else that of the
// step that failed (no BPF, a read-only cgroup2, ...), cgroup2's first.
int Make(dev_t device, Fence *fence);
// Moves the calling process, of one thread as a forked child is, into the
// fence, where it could not start in it (HostProcess_ForkInto; or folderFd is
// -1). System calls only: for a child forked from threads that may hold
// locks. 0 or the system error code.
int Enter(const Fence &fence);
// Removes the fence; every process in it must have ended.
void Remove(Fence *fence);

}  // namespace devicefence
