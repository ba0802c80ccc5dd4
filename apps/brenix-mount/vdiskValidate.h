// Disk validation: the checks a disk file must pass before it is mounted or
// its volumes are listed (read-only, already mounted, compressed, suspended
// machine), and the detection of virtual machines that run the disk under an
// active snapshot or redo log, with the user's choice of mounting the current
// image instead.
//
// Names are compared on lower-cased text, as the virtual machines' own tools
// do, but the file system is always reached with the real names: folders as
// given, derived file names looked up in their folder without regard to case.
// Every refusal is a UserError; a failed host call is an ApiException.
#pragma once

#include <functional>
#include <iosfwd>
#include <string>
#include <vector>

#include "serviceClient.h"

// Snapshot mode, the command line's answer to the snapshot question.
enum SnapshotMode {
  kSnapshotAsk = 0,  // neither /y nor /n
  kSnapshotYes = 1,
  kSnapshotNo = 2,
};

// What validation needs from outside: the current mounts, and the console
// for the snapshot question. Tests replace them.
struct ValidationIo {
  std::function<std::vector<MountedVolume>()> readMounts = ReadMountedVolumes;
  std::istream *in = nullptr;   // null: standard input
  std::ostream *out = nullptr;  // null: standard output
};

// What the command line's validation uses; its tests replace the mount
// reader here so that no service is needed.
ValidationIo &DefaultValidationIo();

// Returns true, with path (a full path) replaced by the file the command is
// to use: the disk itself, or the redo image the user agreed to; or raises
// the refusal.
bool ValidateDisk(std::string &path, int snapshotMode,
                  const ValidationIo &io = DefaultValidationIo());
