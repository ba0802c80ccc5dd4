// Process id and user name from the POSIX process and user database.
#include "host/identity.h"

#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

long HostIdentity_ProcessId(void) { return static_cast<long>(getpid()); }

char *HostIdentity_UserName(void) {
  long hint = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buf(hint > 0 ? static_cast<size_t>(hint) : 4096);
  struct passwd pw;
  struct passwd *found = nullptr;
  while (getpwuid_r(geteuid(), &pw, buf.data(), buf.size(), &found) == ERANGE &&
         buf.size() < (1u << 20)) {
    buf.resize(buf.size() * 2);
  }
  if (found == nullptr || found->pw_name == nullptr) {
    return nullptr;
  }
  return strdup(found->pw_name);
}
