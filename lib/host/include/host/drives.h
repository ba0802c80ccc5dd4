// The drive table: drive letter L exists while <prefix>/drives/l: exists as
// an entry of any kind (folder, file, symbolic link, dangling or not).
// Letters are accepted in either case and stored in lower case.
#pragma once

#include <cstdint>

// Returns the logical-drive mask: bit n set for letter 'a' + n. 0 when the
// drive table cannot be read (last error set).
uint32_t HostDrives_Mask(void);

// Returns the malloc'd path of the entry for the letter, or NULL (bad letter:
// EINVAL; no prefix).
char *HostDrives_EntryPath(char letter);

// Creates the entry for the letter as a symbolic link to target, and the
// drive table's folder again when it was removed. Returns 0 or a system error
// code (EEXIST when the letter is taken, EINVAL for a bad letter).
int HostDrives_CreateLink(char letter, const char *target);

// Removes the entry for the letter (a link or file; a folder only when it is
// empty). Returns 0 or a system error code (ENOENT when it does not exist).
int HostDrives_Remove(char letter);
