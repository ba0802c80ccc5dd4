// The command line: switch reordering, the one-pass switch scanner and the
// validation table that picks the command.
#include "args.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>

#include <boost/regex.hpp>

#include "brenixMount.h"
#include "host/fs.h"
#include "messages.h"
#include "user/msg.h"
#include "vdiskValidate.h"

namespace {

constexpr const char kOptionString[] = "dfpyn?v:";

// A number read the way the original platform's atoi reads it: saturated at
// the int range, where this C library's would wrap "4294967298" round to 2.
int SaturatedAtoi(const char *text) {
  long value = std::strtol(text, nullptr, 10);
  return static_cast<int>(std::clamp<long>(value, INT_MIN, INT_MAX));
}
constexpr size_t kFullPathBuffer = 2048;

const char *g_nextChar = nullptr;

}  // namespace

int g_optind = 1;
const char *g_optarg = nullptr;

void GetOptReset() {
  g_optind = 1;
  g_optarg = nullptr;
  g_nextChar = nullptr;
}

bool IsSwitch(const char *argument) {
  if (argument[0] == '-') return true;
  return argument[0] == '/' && std::strchr(argument + 1, '/') == nullptr;
}

bool IsDriveLetter(const std::string &text) {
  static const boost::regex pattern("[A-Za-z]:");
  return boost::regex_match(text, pattern);
}

int GetOpt(int argc, char *const *argv, const char *optionString) {
  if (g_nextChar == nullptr || g_nextChar[1] == '\0') {
    if (g_optind >= argc) {
      g_nextChar = nullptr;
      return -1;
    }
    const char *arg = argv[g_optind++];
    if (!IsSwitch(arg)) {
      g_optind--;
      g_optarg = nullptr;
      g_nextChar = nullptr;
      return -1;
    }
    if (std::strcmp(arg, "-") == 0 || std::strcmp(arg, "--") == 0) {
      g_optarg = nullptr;
      g_nextChar = nullptr;
      return -1;
    }
    g_nextChar = arg + 1;
  } else {
    g_nextChar++;
  }

  char c = *g_nextChar;
  if (c == '\0') {  // a lone "/": no letter at all
    g_nextChar = nullptr;
    return 0;
  }
  if (c == ':') return '?';
  const char *entry = std::strchr(optionString, c);
  if (entry == nullptr) {
    g_nextChar = nullptr;
    g_optarg = nullptr;
    return '?';
  }
  if (entry[1] != ':') {
    g_optarg = nullptr;
    return c;
  }
  if (g_nextChar[1] != '\0') {
    g_optarg = g_nextChar + 1;
    g_nextChar = nullptr;
    return c;
  }
  if (g_optind < argc) {
    g_optarg = argv[g_optind++];
    g_nextChar = nullptr;
    return c;
  }
  g_optarg = nullptr;
  return '?';
}

GetOptWrapper::GetOptWrapper(int argc, char **argv)
    : argCount(argc), argvCopy(new char *[argc > 0 ? argc : 1]) {
  std::copy(argv, argv + argc, argvCopy);
  if (argc >= 2) {
    std::stable_partition(argvCopy + 1, argvCopy + argc, [](const char *a) { return IsSwitch(a); });
  }
}

GetOptWrapper::~GetOptWrapper() { delete[] argvCopy; }

Args::Args(int argc, char **argv) : GetOptWrapper(argc, argv) {}

bool Args::Parse() {
  for (;;) {
    int c = GetOpt(argCount, argvCopy, kOptionString);
    if (c == -1) break;
    switch (c) {
      case 0:
        return false;
      case '?':
        helpFlag = true;
        continue;
      case 'd':
        deleteFlag = true;
        break;
      case 'f':
        forceFlag = true;
        break;
      case 'p':
        partitionsFlag = true;
        break;
      case 'y':
        snapshotMode = 1;
        break;
      case 'n':
        snapshotMode = 2;
        break;
      case 'v': {
        const char *value = g_optarg;
        if (*value == ':') value++;
        volumeNumber = SaturatedAtoi(value);
        break;
      }
    }
    optionLetters.push_back(static_cast<char>(c));
  }
  for (int i = g_optind; i < argCount; i++) positionalArgs.emplace_back(argvCopy[i]);
  return positionalArgs.size() <= 2;
}

bool Args::CheckOptions(const std::string &required, const std::string &allowed) const {
  for (char r : required) {
    if (optionLetters.find(r) == std::string::npos) return false;
  }
  for (char o : optionLetters) {
    if (required.find(o) == std::string::npos && allowed.find(o) == std::string::npos) {
      return false;
    }
  }
  return true;
}

static bool FileExists(const std::string &path) { return HostFs_Exists(path.c_str()); }

bool Args::Validate(std::string &errorText) {
  switch (positionalArgs.size()) {
    case 0:
      command = kCommandListMounted;
      break;
    case 1:
      if (IsDriveLetter(positionalArgs[0])) {
        driveLetter = positionalArgs[0];
        command = kCommandDismount;
      } else {
        diskPath = positionalArgs[0];
        command = kCommandListDiskVolumes;
      }
      break;
    default:
      driveLetter = positionalArgs[0];
      diskPath = positionalArgs[1];
      command = kCommandMount;
      break;
  }

  if (!diskPath.empty()) {
    char *full = HostFs_FullPath(diskPath.c_str());
    if (full != nullptr) {
      size_t length = std::strlen(full);
      if (length > 0 && length < kFullPathBuffer) diskPath = full;
      std::free(full);
    }
  }

  bool valid = false;
  switch (command) {
    case kCommandMount:
      valid = CheckOptions("", "vyn") && IsDriveLetter(driveLetter) && FileExists(diskPath) &&
              ValidateDisk(diskPath, snapshotMode);
      break;
    case kCommandDismount:
      valid = CheckOptions("d", "f") || CheckOptions("f", "d");
      break;
    case kCommandListDiskVolumes:
      valid =
          CheckOptions("p", "yn") && FileExists(diskPath) && ValidateDisk(diskPath, snapshotMode);
      break;
    case kCommandListMounted:
      valid = CheckOptions("", "");
      break;
  }
  if (valid) return true;

  if ((command == kCommandMount || command == kCommandListDiskVolumes) && !FileExists(diskPath)) {
    errorText = Msg_FormatToString(msg::kBadPath, diskPath.c_str());
  } else {
    errorText = Msg_FormatToString(msg::kBadArg);
  }
  return false;
}
