// Writing and removing the service's class registration.
#include "registration.h"

#include <string>

#include "com/mountService.h"
#include "host/lastError.h"
#include "host/registry.h"

namespace {

std::string ClassKey() {
  return "Software\\Classes\\CLSID\\" + Com_GuidToString(CLSID_MountLocator);
}

bool Missing(int rc) { return Host_ErrorKind(rc) == HOST_ERROR_NOT_FOUND; }

}  // namespace

int ServiceRegistration_Register(const char *executable) {
  std::string key = ClassKey() + "\\LocalServer32";
  int rc = HostRegistry_CreateKey(key.c_str());
  if (rc == 0) {
    rc = HostRegistry_SetString(key.c_str(), "@", HOSTREG_SZ, executable);
  }
  return rc;
}

int ServiceRegistration_Unregister(void) {
  std::string classKey = ClassKey();
  std::string key = classKey + "\\LocalServer32";
  int rc = HostRegistry_DeleteValue(key.c_str(), "@");
  if (rc != 0 && !Missing(rc)) {
    return rc;
  }
  rc = HostRegistry_DeleteKey(key.c_str());
  if (rc != 0 && !Missing(rc)) {
    return rc;
  }
  // The class key goes too unless someone keeps other sub-keys there.
  HostRegistry_DeleteKey(classKey.c_str());
  return 0;
}
