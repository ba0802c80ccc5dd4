// Case-blind look-ups of many names in one folder (the snapshot databases of
// a folder of many machines): the folder is read once, at the first look-up,
// and every look-up answers from that reading as HostDir_FindNoCase would
// have answered then, instead of reading the folder once per name. Look-ups
// may run on several threads at once.
#pragma once

struct FolderNoCase;

// The names of folder, not read yet. Free with FolderNoCase_Free.
FolderNoCase *FolderNoCase_Create(const char *folder);
// Accepts NULL.
void FolderNoCase_Free(FolderNoCase *names);
// HostDir_FindNoCase(folder, name), answered from names when they are those
// of folder (a trailing "/" of either aside) and the folder could be read
// whole; else, and for a NULL names, from the folder itself.
char *FolderNoCase_Find(FolderNoCase *names, const char *folder, const char *name);
