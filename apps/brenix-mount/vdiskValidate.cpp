// Disk validation. The checks against read-only, compressed, mounted and
// snapshot-bound disks arrive with the validation work; until then every
// disk passes unchanged.
#include "vdiskValidate.h"

bool ValidateDisk(std::string &path, int snapshotMode) {
  (void)path;
  (void)snapshotMode;
  return true;
}
