// Opening only files of the kind asked for, shared by the file and lookup
// code: opening a device or a FIFO can block, or act (a watchdog starts its
// count when opened), so what is not a regular file is never opened.
#pragma once

#include <sys/stat.h>

namespace openkind {

// Opens path (links followed) with flags when it is a regular file, or a
// folder when folders is true. Returns a descriptor (close-on-exec), or -1
// with errno set: EISDIR for a folder not asked for, EINVAL for another kind.
// When st is not NULL it receives what the file was when looked at.
int Open(const char *path, int flags, bool folders, struct stat *st = nullptr);

}  // namespace openkind
