// Choosing a backend by name.
#include "backend.h"

std::unique_ptr<Backend> Backend_Make(const std::string &name, std::string *error) {
  // The loop backend needs root and loop devices; until it exists the
  // default is the record backend everywhere.
  if (name.empty() || name == "record") {
    return Backend_MakeRecord();
  }
  if (name == "loop") {
    *error = "the loop backend is not available in this version; use --backend record";
  } else {
    *error = "unknown backend \"" + name + "\" (expected loop or record)";
  }
  return nullptr;
}
