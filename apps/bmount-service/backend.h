// How attached volumes become reachable: a backend turns a mount record
// into a drive entry and takes it away again. "record" describes the volume
// in a file and links the drive to it; "loop" (not available yet) will set
// the volume up on a loop device and mount its file system.
#pragma once

#include <memory>
#include <string>

#include "mountTable.h"

class Backend {
 public:
  virtual ~Backend() = default;
  virtual const char *Name() const = 0;
  // Makes the volume of record reachable as drive record.letter. Returns 0
  // or a system error code (EEXIST when the drive entry exists already);
  // on failure nothing is left behind.
  virtual int Attach(const MountRecord &record) = 0;
  // Takes the drive away. force detaches even a volume in use. Returns 0 or
  // a system error code; a drive entry removed by hand meanwhile is no error.
  virtual int Detach(const MountRecord &record, bool force) = 0;
};

// Returns the backend of that name ("" picks the default), or NULL with
// *error saying why it cannot be used.
std::unique_ptr<Backend> Backend_Make(const std::string &name, std::string *error);
std::unique_ptr<Backend> Backend_MakeRecord(void);
