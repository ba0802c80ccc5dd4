// Paths and files: full paths, splitting, existence, same-file and
// writable-folder tests, search-path lookup and the temporary folder.
// Strings returned are malloc'd and belong to the caller.
#pragma once

#include "host/fs.h"

struct FolderCache;

// Returns the absolute form of path (native, "/" separated) or NULL after
// Warning("File_FullPath: Couldn't _fullpath\n").
char *File_FullPath(const char *path);
// True for a host full path (leading "/"), and for the original platform's
// forms: a leading "\" or a letter, ":" and "\".
bool File_IsFullPath(const char *path);
// True when the path exists.
bool File_Exists(const char *path);
// Splits into volume ("C:", "\\server\share", or ""), directory (keeps its
// trailing separator) and base; either separator counts. Outputs optional.
void File_SplitName(const char *path, char **volume, char **directory, char **base);
// directory = volume + directory with one trailing separator removed.
void File_GetPathName(const char *path, char **directory, char **base);
// True when both paths name the same file (identical text, or same device
// and inode; both must exist and both be folders or both not).
bool File_IsSameFile(const char *path1, const char *path2);
// True when the folder exists and the caller may create files in it.
bool File_IsWritableDir(const char *directory);
// Looks fileName up as the snapshot reader does: the name itself when full,
// else baseDir + "/" + name; then each ";"-separated element of searchPath.
// On success stores the malloc'd full path in *result (when given). With a
// cache (file/folderCache.h), existence is asked of it. With id given,
// *idKnown tells whether the look that found the file also gave its identity
// (in *id), for callers that compare it with another file's next.
bool File_FindFileInSearchPath(const char *fileName, const char *searchPath, const char *baseDir,
                               char **result, FolderCache *cache = nullptr,
                               HostFileId *id = nullptr, bool *idKnown = nullptr);
// The temporary folder: the "tmpDirectory" preference, then TMPDIR, then
// /tmp, after $NAME expansion; NULL when none is usable.
char *File_GetTmpDir(void);
