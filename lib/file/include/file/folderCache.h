// Answers "does this path exist" for code that asks about thousands of paths
// in a few folders (the disks of a large snapshot database). Once a folder
// has been asked about often enough its names are read in one sweep, and a
// name listed there under exactly that spelling, as no symbolic link, exists
// without asking further; every other answer stays the system's. The cache
// holds no state the caller sees: it may be dropped at any time.
#pragma once

#include "host/fs.h"

struct FolderCache;

FolderCache *FolderCache_Create(void);
// Accepts NULL.
void FolderCache_Free(FolderCache *cache);
// File_Exists(path), through the cache; a NULL cache asks the system.
// With id given, *idKnown tells whether the system was asked, and *id then
// holds the file's identity.
bool FolderCache_Exists(FolderCache *cache, const char *path, HostFileId *id = nullptr,
                        bool *idKnown = nullptr);
