// Choosing a backend: by name from the command line, else from the
// environment, else the best one this process can use.
#include "backend.h"

#include <cstdlib>

#include "host/drives.h"
#include "host/fs.h"
#include "host/stateFile.h"

std::string Backend_DriveTarget(char letter) {
  char *entry = HostDrives_EntryPath(letter);
  char *target = nullptr;
  std::string result;
  if (entry != nullptr && HostState_ReadLink(entry, &target) == 0) {
    result = target;
  }
  free(target);
  free(entry);
  return result;
}

std::string Backend_KernelName(const std::string &view) {
  size_t slash = view.rfind('/');
  if (slash == std::string::npos) {
    return "";
  }
  char *folder = HostFs_RealPath(view.substr(0, slash).c_str());
  std::string name = folder != nullptr ? folder + view.substr(slash) : "";
  free(folder);
  return name;
}

std::unique_ptr<Backend> Backend_Make(const std::string &name, std::string *error) {
  std::string chosen = name;
  if (chosen.empty()) {
    const char *value = getenv(kBackendVariable);
    chosen = value != nullptr ? value : "";
  }
  if (chosen.empty()) {
    std::string unused;
    std::unique_ptr<Backend> loop = Backend_MakeLoop(&unused);
    return loop != nullptr ? std::move(loop) : Backend_MakeRecord();
  }
  if (chosen == "record") {
    return Backend_MakeRecord();
  }
  if (chosen == "loop") {
    return Backend_MakeLoop(error);
  }
  *error = "unknown backend \"" + chosen + "\" (expected loop or record)";
  if (name.empty()) {
    *error += std::string(" in ") + kBackendVariable;
  }
  return nullptr;
}
