// Disk images as the mount service opens them: a regular file, or a block
// device that nothing else uses. Opening never waits: anything that could
// block (a FIFO, a character device) is refused before it is opened. Disks
// are told apart by identity, never by name: a file is its device and inode
// number, and a loop device also stands for the file behind it. While a disk
// is attached its opener keeps it claimed (an exclusive flock on a file, an
// exclusive open of a block device), which every other opener on the
// machine sees whatever name it came by. A file that is only read, such as
// the parent of a child image, is claimed shared: readers may share it, and
// nobody claims it exclusively meanwhile.
#pragma once

#include <cstddef>
#include <cstdint>

// A file's identity as stat gives it.
struct HostDiskKey {
  uint64_t device = 0;
  uint64_t inode = 0;
};

struct HostDisk {
  int fd = -1;
  bool claimed = false;  // false where the file system has no such locks
  bool blockDevice = false;
  uint64_t deviceNumber = 0;  // of a block device
  // True when the read-only attribute is set (no write permission bit, or
  // user.DOSATTRIB 0x1), the device is read-only, or writing was refused.
  bool readOnly = false;
  uint64_t size = 0;  // bytes
  // The file itself and, for a loop device, the file behind it; for a
  // file claimed, the same file on the other side of every FUSE mirror of
  // a folder (HostDisk_Open).
  HostDiskKey keys[8];
  size_t keyCount = 0;
};

enum class HostDiskOpen {
  Opened,
  Folder,
  NotADisk,  // neither a regular file nor a block device
  // Claimed by another opener, or a block device in use (mounted, held by
  // another device, or opened exclusively).
  InUse,
  // Reached through a symbolic link of another user's (not the superuser's
  // nor the caller's) to a file that is not theirs: they could have swapped
  // the disk for somebody else's. See HostDisk_ThroughOthersLink.
  OthersLink,
  Failed,  // *error holds the system error code
};

// Whether the absolute path reaches its file through a symbolic link owned
// by a user other than the superuser and the caller that leads to a file not
// that user's, or leads elsewhere while it is walked.
bool HostDisk_ThroughOthersLink(const char *path);

// Opens the disk at path (links followed) without waiting. With claim it is
// opened for writing where it can be and claimed exclusively; without, it is
// opened for reading only. Anything but Opened leaves disk closed. A file
// claimed (here or shared) also stands for itself as a FUSE file system
// that mirrors a folder shows it, in front of it or behind it: such a
// mirror keeps the inode numbers, and the locks taken through it, to itself.
HostDiskOpen HostDisk_Open(const char *path, bool claim, HostDisk *disk, int *error);
// Opens the disk at path for reading only and claims it shared: InUse while
// another opener holds it exclusively.
HostDiskOpen HostDisk_OpenShared(const char *path, HostDisk *disk, int *error);

// Takes over the descriptor of a disk that another process of ours opened,
// with the claim and read-only state it had there (host/keeper.h), from what
// the kernel knows of its file (a server that stopped answering is not
// asked). False, with fd left to the caller, when it is no longer a disk.
bool HostDisk_Adopt(int fd, bool claimed, bool readOnly, HostDisk *disk);

// Writes to name (size bytes; 32 suffice) a name by which another process of
// this user opens the very file disk holds open, whatever becomes of the
// file's names meanwhile. False for a closed disk or too small a buffer.
bool HostDisk_OpenedName(const HostDisk &disk, char *name, size_t size);

// Lets go of the disk and its claim. Accepts a closed one.
void HostDisk_Close(HostDisk *disk);

// True when a and b are one disk, or one lies behind the other.
bool HostDisk_Overlap(const HostDisk &a, const HostDisk &b);
// True when path (links followed) names the very file disk holds open,
// told from what was learnt at its opening: the disk's own storage is not
// asked, and may not answer.
bool HostDisk_IsNamedBy(const HostDisk &disk, const char *path);

// Returns the number of a loop device, other than the disk itself, that is
// set up on a file of the disk, or -1 when there is none. Devices of every
// owner count, including those freed by force that still have a user.
int HostDisk_CoveringLoop(const HostDisk &disk);

// True when another opener holds a record lock anywhere on the file (or on
// it as a mirror shows it), as the block layer of a machine emulator does on
// every image file it has open. False for a block device, or where the file
// system keeps no such locks.
bool HostDisk_LockedElsewhere(const HostDisk &disk);

// Keeps machine emulators from writing or resizing the file for as long as
// this description of it stays open, in their block layer's own terms: it
// holds the record locks that deny those permissions to others. False, with
// nothing held, when another opener holds them already (writes or resizes
// the file) or denies them to us, and, for a loop device, when another
// opener holds any lock on the file behind it, or that file cannot be told.
// Where the file system keeps no such locks there is nothing to hold or
// see, and it is true.
bool HostDisk_DenyWriters(const HostDisk &disk);

// Tells machine emulators, in their block layer's own terms, that this
// description of the file is read and, with writing, written by somebody
// who takes none of their locks (a loop device set up on it): it holds the
// record locks of a consistent read, and of writes, for as long as it stays
// open, so that an emulator that must not share them is kept out. False
// when another opener denies one of them to others; what was taken stays
// held all the same (closing the disk lets go). True where the file system
// keeps no such locks.
bool HostDisk_ShowUse(const HostDisk &disk, bool writing);

// Reads the first and the last sector (of sectorSize bytes) of an open disk,
// where partition tables lie: 0, or the system error code of the read that
// failed (EIO when a disk of no whole sector gives nothing).
int HostDisk_ReadEnds(const HostDisk &disk, size_t sectorSize);
