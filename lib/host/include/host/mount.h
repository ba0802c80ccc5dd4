// File systems on block devices: what lies on a device, mounting it on a
// folder, taking it down again, and what is mounted below a folder. Only
// file systems the kernel mounts by itself are used (no mount helpers), and
// always without set-user-id programs or device files taking effect. Functions
// returning int give 0 or a system error code.
#pragma once

#include <cstdint>

// Returns the malloc'd type of the file system recognised on device (for
// example "ext4"), or NULL: last error 0 when the device holds none (or
// something that is not a file system), else the system error.
char *HostMount_FileSystemType(const char *device);

// Returns why the file system of type on device must not be mounted, its
// text malloc'd ("its btrfs file system spans 2 devices, ..."), or NULL: last
// error 0 when nothing speaks against it, else the system error of a read.
// Its owner chooses what a volume holds; mounted as root, it must not reach
// past the volume (another device of this machine, a wait without end) or
// bring a driver not kept for disks from elsewhere into play.
char *HostMount_Refusal(const char *device, const char *type);

// Mounts device (holding a file system of type) on folder, read-only when
// asked; a read-only journaled file system whose journal waits to be
// replayed is mounted without the replay, which a read-only device refuses,
// and an xfs without the check of its identity (a clone's is that of the
// file system it was copied from, which may be mounted, or be later). An NTFS goes to the kernel's
// read-write driver where it has one. The mount is made by a child that can
// open no device but device, so that a volume rewritten since it was checked
// reaches no other (where cgroup2 and BPF make that fence; otherwise without
// it, and a warning is logged once). A mount that sleeps longer than
// HostMount_Refusal lets a multi-mount wait last is ended (ETIMEDOUT).
int HostMount_Mount(const char *device, const char *type, const char *folder, bool readOnly);

// Writes out what the file system mounted on folder holds unwritten. 0, or
// the error of a write of it that failed since anybody last asked: the
// data of that write is lost, whoever wrote it. ETIMEDOUT when that takes
// longer than timeoutMs: the writing goes on, and *pending (-1: none) is
// where it will tell, to be passed to the next call, which waits for it
// first and reports what it met.
int HostMount_Flush(const char *folder, int timeoutMs, int *pending);
// As HostMount_Flush, through fd, which the caller keeps: a folder of the
// file system, or a block device (its own writes are written out then). A
// failure is told once to each descriptor, and only those since it was
// opened: one kept from the mount on misses none that others were told of.
int HostMount_FlushThrough(int fd, int timeoutMs, int *pending);
// Waits up to timeoutMs for the write-out *pending left going: 0 once it
// wrote everything (or when there is none; *pending is then -1), ETIMEDOUT
// while it goes on, or the error it met.
int HostMount_AwaitFlush(int *pending, int timeoutMs);
// Lets the write-out *pending left going end unheard; *pending is then -1.
void HostMount_LeaveFlush(int *pending);

// Unmounts what is mounted on folder. EBUSY when it is in use (files open, a
// process working in it) and lazy is false; lazy detaches it at once and
// lets it go when its last user does (a child of the caller's, when nobody
// else uses it: letting go writes the file system out, which storage that
// stops answering would make the caller wait for). EINVAL when nothing is
// mounted there.
int HostMount_Unmount(const char *folder, bool lazy);

// Opens the root of the file system mounted on folder through a copy of the
// mount that no namespace holds: an unmount of folder does not wait for it,
// no list of mounts shows it, and it keeps the file system alive until it is
// closed. A descriptor for HostMount_FlushThrough, or -1 with errno set.
// *copy receives the copy's own descriptor (-1 when there is none), for
// HostMount_PutBack; the caller closes both.
int HostMount_OpenAside(const char *folder, int *copy);
// Mounts on folder the copy HostMount_OpenAside gave (*copy), once the
// original is unmounted: the file system is reachable there again.
int HostMount_PutBack(int copy, const char *folder);
// Closes fd, the caller's, in a child when it is the last descriptor on its
// file: what the last close does (a block device writes itself out) may wait
// on storage that does not answer.
void HostMount_CloseAside(int fd);

// Returns true when a plain unmount of folder would leave the file system
// of block device `device` (a device number as stat gives it) mounted, or
// would take down something else: besides one mount of device on folder,
// device is mounted elsewhere (a bind mount of it included) or anything is
// mounted on folder (stacked on it) or below it. Only this process's mount
// namespace is seen. False otherwise, or when the mounts cannot be listed.
bool HostMount_UsedBeyond(uint64_t device, const char *folder);

// Calls visit(below, source, context) for every mount on folder or below it,
// in the order the system lists them; below is the mount point's path
// relative to folder ("" for folder itself), whatever symbolic links lead to
// folder. Returns 0 (also when folder does not exist) or a system error code.
int HostMount_ForEachBelow(const char *folder,
                           void (*visit)(const char *below, const char *source, void *context),
                           void *context);

// Calls visit(point, folder, device, context) for every FUSE mount that
// names an absolute path as its source, as one that mirrors that folder at
// point does; device is the mount's own. Returns 0 or a system error code.
int HostMount_ForEachMirror(void (*visit)(const char *point, const char *folder, uint64_t device,
                                          void *context),
                            void *context);

// Returns true when this process can serve file systems in user space: the
// FUSE device opens (mounting it then takes the superuser, or FUSE's own
// set-user-id helper for anyone else). Otherwise false, and *why (malloc'd;
// the caller frees it) says what is missing.
bool HostMount_FuseUsable(char **why);
