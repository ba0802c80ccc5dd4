// The four commands. They reach the mount service through the client
// operations; until that runtime is in place each stops as not implemented.
#include "args.h"
#include "brenixMount.h"
#include "misc/panic.h"

int MountCommand(Args &) { NOT_IMPLEMENTED(); }
int DismountCommand(Args &) { NOT_IMPLEMENTED(); }
int ListDiskVolumesCommand(Args &) { NOT_IMPLEMENTED(); }
int ListMountedCommand(std::ostream &) { NOT_IMPLEMENTED(); }
