// What the process learns about itself and the system: the version the host
// reports, the process's command line and the path of its executable.
#pragma once

#include <cstdint>

struct HostVersion {
  uint32_t platformId;  // 2 for the NT family
  uint32_t major;
  uint32_t minor;
};

// Fills *version: platform 2, version 10.0, unless BRENIX_HOST_OSVERSION holds
// "<platformId>.<major>.<minor>" in decimal (a malformed value is ignored).
void HostSystem_GetVersion(HostVersion *version);

// Parses "<platformId>.<major>.<minor>"; false (and *version untouched) when
// the text is malformed: anything but three decimal numbers of 32 bits with
// single dots between them.
bool HostSystem_ParseVersion(const char *text, HostVersion *version);

// Records the argument vector for HostSystem_CommandLine. Call it first thing
// in main; without it the command line is read from /proc/self/cmdline.
void HostSystem_SetArgs(int argc, const char *const *argv);

// Returns the process command line, built once: the arguments joined by
// single blanks, an argument that is empty or holds a blank or tab enclosed
// in double quotes. Valid for the life of the process; never NULL.
const char *HostSystem_CommandLine(void);

// Returns the joined command line of an argument vector (malloc'd).
char *HostSystem_JoinArgs(int argc, const char *const *argv);

// Returns the malloc'd absolute path of the running executable, or NULL.
char *HostSystem_ModulePath(void);

// The number of processors the process may run on (at least 1).
int HostSystem_ProcessorCount(void);

// A random number drawn once for this process: the same at every call, and
// unknown outside it.
uint64_t HostSystem_RandomSeed(void);
