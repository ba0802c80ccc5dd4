// Disk validation: the checks a disk file must pass before it is mounted or
// its volumes are listed.
#pragma once

#include <string>

// Returns true, with path replaced by the file the command is to use, or
// raises the refusal.
bool ValidateDisk(std::string &path, int snapshotMode);
