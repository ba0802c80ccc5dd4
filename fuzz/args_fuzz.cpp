// Fuzzes the command line: the input is an argument vector (words separated
// by NUL bytes, the program name added in front). Parsing must end, keep
// every word, set each flag exactly when its letter was scanned, and the
// option check must agree with a plain set comparison. Lines whose paths stay
// inside a private empty folder (no "/", no leading ".") are also validated
// there, with the mount listing stubbed, so no service and no outside file
// is ever reached; a refusal must come as an error text or a known error.
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "args.h"
#include "brenixMount.h"
#include "errors.h"
#include "user/msg.h"
#include "vdiskValidate.h"

namespace {

void IgnorePost(int, const char *, const char *) {}

// A private working folder holding one disk file that the stubbed listing
// reports as mounted on E: when asked to.
bool g_diskMounted = false;

const bool kSetUp = [] {
  char folder[] = "/tmp/args_fuzz.XXXXXX";
  if (mkdtemp(folder) == nullptr || chdir(folder) != 0) abort();
  static std::string made = folder;
  atexit([] {
    unlink((made + "/disk.bxdk").c_str());
    rmdir(made.c_str());
  });
  FILE *f = fopen("disk.bxdk", "wb");
  if (f == nullptr || fputs("# Disk DescriptorFile\n", f) < 0 || fclose(f) != 0) abort();
  static std::string full = std::string(folder) + "/disk.bxdk";
  DefaultValidationIo().readMounts = [] {
    std::vector<MountedVolume> mounts;
    if (g_diskMounted) mounts.push_back({"E", full});
    return mounts;
  };
  static std::istringstream no("N\n");
  static std::ostringstream sink;
  DefaultValidationIo().in = &no;
  DefaultValidationIo().out = &sink;
  Msg_SetPostCallback(IgnorePost);
  return true;
}();

bool Has(const std::string &letters, char c) { return letters.find(c) != std::string::npos; }

bool ReferenceCheck(const std::string &given, const std::string &required,
                    const std::string &allowed) {
  for (char r : required) {
    if (!Has(given, r)) return false;
  }
  for (char g : given) {
    if (!Has(required, g) && !Has(allowed, g)) return false;
  }
  return true;
}

bool StaysInside(const std::string &word) {
  return word.find('/') == std::string::npos && (word.empty() || word[0] != '.');
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size > 4096) return 0;
  std::vector<std::string> words{"brenix-mount"};
  if (size > 0) {
    std::string text(reinterpret_cast<const char *>(data + 1), size - 1);
    g_diskMounted = (data[0] & 1) != 0;
    size_t start = 0;
    for (;;) {
      size_t end = text.find('\0', start);
      words.push_back(text.substr(start, end - start));
      if (end == std::string::npos) break;
      start = end + 1;
    }
    if (words.size() > 64) return 0;
  }
  std::vector<char *> argv;
  for (std::string &w : words) argv.push_back(w.data());

  Args args(static_cast<int>(argv.size()), argv.data());
  bool parsed = args.Parse();

  // Reordering only moves words.
  std::vector<std::string> before(words.begin() + 1, words.end());
  std::vector<std::string> after(args.words.begin() + 1, args.words.end());
  std::sort(before.begin(), before.end());
  std::sort(after.begin(), after.end());
  if (before != after || std::string(args.words[0]) != "brenix-mount") abort();

  const std::string &letters = args.optionLetters;
  // An unknown letter only asks for help; it is not kept among the options.
  if (letters.find_first_not_of("dfpynv") != std::string::npos) abort();
  if (args.deleteFlag != Has(letters, 'd') || args.forceFlag != Has(letters, 'f') ||
      args.partitionsFlag != Has(letters, 'p')) {
    abort();
  }
  size_t lastChoice = letters.find_last_of("yn");
  int expectedMode = lastChoice == std::string::npos ? 0 : letters[lastChoice] == 'y' ? 1 : 2;
  if (args.snapshotMode != expectedMode) abort();
  if (!Has(letters, 'v') && args.volumeNumber != 1) abort();
  for (const std::string &p : args.positionalArgs) {
    if (std::find(words.begin() + 1, words.end(), p) == words.end()) abort();
  }
  if (parsed && args.positionalArgs.size() > 2) abort();

  static const char *const kSets[] = {"", "d", "f", "p", "vyn", "yn", "df"};
  for (const char *required : kSets) {
    for (const char *allowed : kSets) {
      if (args.CheckOptions(required, allowed) != ReferenceCheck(letters, required, allowed)) {
        abort();
      }
    }
  }

  if (!parsed ||
      !std::all_of(args.positionalArgs.begin(), args.positionalArgs.end(), StaysInside)) {
    return 0;
  }
  std::string errorText;
  try {
    if (args.Validate(errorText)) {
      if (args.command == kCommandNone || !errorText.empty()) abort();
      if (args.command == kCommandMount && !IsDriveLetter(args.driveLetter)) abort();
      if (args.command == kCommandDismount && !IsDriveLetter(args.driveLetter)) abort();
    } else if (errorText.empty()) {
      abort();
    }
  } catch (const UserError &) {
  } catch (const ApiException &) {
  }
  Msg_Reset(false);
  return 0;
}
