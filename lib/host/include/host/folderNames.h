// The names in a folder, read in one sweep without looking at each entry:
// for code that would otherwise ask the system about thousands of paths in
// one folder one by one.
#pragma once

#include <cstddef>

// One name of a listing. plain is true when the folder itself says the entry
// is no symbolic link (a link, or an entry of unknown kind, needs its own
// look to tell whether its path leads anywhere).
struct HostFolderName {
  const char *name;
  bool plain;
};

// A listing: names[0, count) in no particular order, "." and ".." left out.
// Names and array live in one large region (host/memory.h) of the listing.
struct HostFolderNames {
  HostFolderName *names;
  size_t count;
  void *region;
  size_t regionSize;
};

// Fills *out; false, with the last error set, when the folder cannot be read.
bool HostFs_ReadFolderNames(const char *path, HostFolderNames *out);
// Gives back a listing's memory and empties it. Accepts an empty listing.
void HostFs_FreeFolderNames(HostFolderNames *list);
