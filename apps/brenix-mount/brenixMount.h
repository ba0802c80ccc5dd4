// The front end of brenix-mount: product constants, the command values, the
// exit-code contract, and the four commands that main dispatches to.
#pragma once

#include <ostream>
#include <string>

#include "misc/panic.h"

struct Args;

namespace product {
inline constexpr const char *kName = "Brenix-mount";
inline constexpr const char *kTitle = "Brenix Drivelink Utility";
inline constexpr const char *kVersion = "1.5.1 build-23733";
}  // namespace product

enum Command {
  kCommandNone = 0,
  kCommandMount = 1,
  kCommandDismount = 2,
  kCommandListDiskVolumes = 3,
  kCommandListMounted = 4,
};

// The whole exit-code contract of the program.
enum ExitCode {
  kExitSuccess = 0,                // a command ran to its end, or /?
  kExitUserError = 1,              // usage, invalid arguments, refusals
  kExitServiceError = 2,           // the mount service failed
  kExitApiError = kPanicExitCode,  // 3: a host call failed, or a fatal stop
};

// Runs one invocation of the program; returns the exit code.
int BrenixMain(int argc, char **argv);
void PrintUsage();
// Writes text to standard output, control characters a terminal acts on as
// "?": what the user reads may hold names of somebody else's making.
void Print(const std::string &text);
// What a run that lost its output says happened, with the system's error.
inline constexpr char kWritingOutput[] = "while writing standard output";

int MountCommand(Args &args);
int DismountCommand(Args &args);
int ListDiskVolumesCommand(Args &args);
int ListMountedCommand(std::ostream &out);
