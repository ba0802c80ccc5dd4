// Who the process is: its id and the name of the user it runs as, for the
// $PID and $USER fallbacks of path expansion; and what another user may do.
#pragma once

#include "host/disk.h"

// Returns the process id.
long HostIdentity_ProcessId(void);
// Returns the malloc'd name of the effective user, or NULL when the user
// database has no entry for it.
char *HostIdentity_UserName(void);

// A file that a disk names, to be judged for the disk's owner: path, to be
// opened for reading, or also for writing when write is true and anybody may
// write it (a read-only file system aside); file, when not NULL, the open
// file path must reach, as it is judged too.
struct HostOwnedFile {
  const char *path;
  bool write;
  const HostDisk *file;
};

// Judges files in order for the owner of the file named (links followed):
// whether they could open each, as the kernel decides for that owner's
// account and groups, access control lists included; with no account, by
// the permission bits of the file and of every folder on its real path.
// Returns the index of the first they may not (one that cannot be examined,
// that leads elsewhere, or whose answer does not come in time), or count
// when they may open all, as they may when they are the superuser or the
// effective user. The kernel is asked once for all.
size_t HostIdentity_OwnerRefuses(const char *named, const HostOwnedFile *files, size_t count);
// As HostIdentity_OwnerRefuses for the owner of the link named, when it is
// one (who placed that name there); count when it is no link.
size_t HostIdentity_LinkOwnerRefuses(const char *named, const HostOwnedFile *files, size_t count);
// Whether the file at path (links followed) belongs to the owner of the file
// named (links followed), to the owner of named itself when it is a link, or
// to the superuser; false when either cannot be looked at.
bool HostIdentity_OwnedAlike(const char *path, const char *named);
// As HostIdentity_OwnerRefuses for the owner of the open disk.
size_t HostIdentity_OwnerRefusesOpen(const HostDisk &disk, const HostOwnedFile *files,
                                     size_t count);
