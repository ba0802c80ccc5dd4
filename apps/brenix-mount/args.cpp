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
#include "string/str.h"
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

}  // namespace

bool IsSwitch(const char *argument) {
  if (argument[0] == '-') return true;
  return argument[0] == '/' && std::strchr(argument + 1, '/') == nullptr;
}

bool IsDriveLetter(const std::string &text) {
  static const boost::regex pattern("[A-Za-z]:");
  return boost::regex_match(text, pattern);
}

int OptionScanner::Next(const std::vector<const char *> &words, const char *optionString) {
  if (nextChar_ == nullptr || nextChar_[1] == '\0') {
    if (index_ >= words.size()) {
      nextChar_ = nullptr;
      return -1;
    }
    const char *arg = words[index_++];
    if (!IsSwitch(arg)) {
      index_--;
      value_ = nullptr;
      nextChar_ = nullptr;
      return -1;
    }
    if (std::strcmp(arg, "-") == 0 || std::strcmp(arg, "--") == 0) {
      value_ = nullptr;
      nextChar_ = nullptr;
      return -1;
    }
    nextChar_ = arg + 1;
  } else {
    nextChar_++;
  }

  char c = *nextChar_;
  if (c == '\0') {  // a lone "/": no letter at all
    nextChar_ = nullptr;
    return 0;
  }
  if (c == ':') return '?';
  const char *entry = std::strchr(optionString, c);
  if (entry == nullptr) {
    nextChar_ = nullptr;
    value_ = nullptr;
    return '?';
  }
  if (entry[1] != ':') {
    value_ = nullptr;
    return c;
  }
  if (nextChar_[1] != '\0') {
    value_ = nextChar_ + 1;
    nextChar_ = nullptr;
    return c;
  }
  if (index_ < words.size()) {
    value_ = words[index_++];
    nextChar_ = nullptr;
    return c;
  }
  value_ = nullptr;
  return '?';
}

Args::Args(int argc, char **argv) : words(argv, argv + (argc > 0 ? argc : 0)) {
  if (words.size() >= 2) {
    std::stable_partition(words.begin() + 1, words.end(),
                          [](const char *a) { return IsSwitch(a); });
  }
}

bool Args::Parse() {
  OptionScanner scanner;
  for (;;) {
    int c = scanner.Next(words, kOptionString);
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
        snapshotMode = kSnapshotYes;
        break;
      case 'n':
        snapshotMode = kSnapshotNo;
        break;
      case 'v': {
        const char *value = scanner.value();
        if (*value == ':') value++;
        volumeNumber = SaturatedAtoi(value);
        break;
      }
    }
    optionLetters.push_back(static_cast<char>(c));
  }
  for (size_t i = scanner.index(); i < words.size(); i++) positionalArgs.emplace_back(words[i]);
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

  // Whatever its length: the service refuses a relative path with a text
  // that blames a disk in use.
  if (!diskPath.empty()) {
    char *full = HostFs_FullPath(diskPath.c_str());
    if (full != nullptr) diskPath = full;
    std::free(full);
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
    case kCommandNone:
      break;
  }
  if (valid) return true;

  if ((command == kCommandMount || command == kCommandListDiskVolumes) && !FileExists(diskPath)) {
    errorText = Msg_FormatToString(msg::kBadPath, Str_Printable(diskPath, STR_SHOWN_NAME).c_str());
  } else {
    errorText = Msg_FormatToString(msg::kBadArg);
  }
  return false;
}
