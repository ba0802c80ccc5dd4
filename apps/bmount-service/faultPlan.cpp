// Reading and re-reading the fault plan.
#include "faultPlan.h"

#include <charconv>
#include <cstdlib>

#include "host/lastError.h"
#include "host/process.h"
#include "serviceLog.h"
#include "string/str.h"

namespace {

constexpr size_t kMaxPlanBytes = 1 << 20;

const char *const kMethods[] = {
    "IMountLocator.Connect",   "IMountManager.GetMount",   "IMountManager.GetMounts",
    "IMountManager.OpenDisk",  "IMountList.Item",          "IMountList.Count",
    "IVirtualDisk.GetVolumes", "IVirtualDisk.CreateMount", "IVirtualDisk.SectorSize",
    "IVolumeList.Item",        "IVolumeList.Count",        "IDiskVolume.SectorCount",
    "IMount.Unmount",          "IMount.MountAs",
};

// The steps of a mount and a dismount, in the order they are taken; what
// each has just done is in its name. Some belong to one backend only.
const char *const kSteps[] = {
    "CreateMount.made",  // the mount has its id, the table is not yet saved
    "CreateMount.saved",
    "MountAs.locked",    // the disk's lock is held
    "MountAs.daemon",    // loop, disk not raw: its qemu-storage-daemon runs
    "MountAs.exported",  // loop, disk not raw: the disk is exported onto a file
    "MountAs.device",    // loop: the loop device is set up
    "MountAs.checked",   // loop: its file system is checked, not yet mounted
    "MountAs.mounted",   // loop: its file system is mounted
    "MountAs.written",   // record: the volume file is written
    "MountAs.linked",    // the drive entry is made
    "MountAs.saved",
    "Unmount.flushed",     // plain: the volume's writes are written out
    "Unmount.unmounted",   // loop: the file system is unmounted
    "Unmount.unlinked",    // the drive entry is removed
    "Unmount.freed",       // loop: the loop device is freed
    "Unmount.unexported",  // disk not raw: the export is gone
    "Unmount.stopped",     // disk not raw: the daemon has ended
    "Unmount.removed",     // record: the volume folder is removed
    "Unmount.saved",       // the table without the mount is saved
    "Unmount.unlocked",    // the disk's lock is let go
};

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// Parses "0x" and up to eight hex digits, or a decimal number that fits in
// 32 bits (negative ones taken as signed).
bool ParseHResult(const std::string &word, HRESULT *hr) {
  bool hex = word.size() > 2 && word[0] == '0' && (word[1] == 'x' || word[1] == 'X');
  const char *first = word.data() + (hex ? 2 : 0), *last = word.data() + word.size();
  int64_t value = 0;
  auto [stop, error] = std::from_chars(first, last, value, hex ? 16 : 10);
  if (error != std::errc() || stop != last || (hex && (last - first > 8 || *first == '-')) ||
      value < INT32_MIN || value > static_cast<int64_t>(UINT32_MAX)) {
    return false;
  }
  *hr = value < 0 ? static_cast<HRESULT>(value) : COM_HRESULT(static_cast<uint32_t>(value));
  return true;
}

// Returns false with *why set when the line is not a rule.
bool ParseLine(const std::string &line, FaultPlanContent *content, std::string *why) {
  size_t pos = 0;
  while (pos < line.size() && IsBlank(line[pos])) {
    pos++;
  }
  if (pos == line.size() || line[pos] == '#') {
    return true;
  }
  static const char kCrash[] = "crash ", kStop[] = "stop ";
  bool crash = line.compare(pos, sizeof kCrash - 1, kCrash) == 0;
  if (crash || line.compare(pos, sizeof kStop - 1, kStop) == 0) {
    size_t start = pos + (crash ? sizeof kCrash : sizeof kStop) - 1;
    size_t end = line.size();
    while (start < end && IsBlank(line[start])) {
      start++;
    }
    while (end > start && IsBlank(line[end - 1])) {
      end--;
    }
    std::string step = line.substr(start, end - start);
    if (!FaultPlan_IsKnownStep(step)) {
      *why = "unknown step \"" + step + "\"";
      return false;
    }
    (crash ? content->crashes : content->stops).insert(step);
    return true;
  }
  static const char kListing[] = "listing";
  const size_t listingLen = sizeof kListing - 1;
  if (line.compare(pos, listingLen, kListing) == 0 &&
      (pos + listingLen == line.size() || IsBlank(line[pos + listingLen]))) {
    size_t start = pos + listingLen + 1;
    content->listings.push_back(start <= line.size() ? line.substr(start) : std::string());
    return true;
  }
  size_t nameEnd = pos;
  while (nameEnd < line.size() && !IsBlank(line[nameEnd])) {
    nameEnd++;
  }
  std::string name = line.substr(pos, nameEnd - pos);
  if (!FaultPlan_IsKnownMethod(name)) {
    *why = "unknown method \"" + name + "\"";
    return false;
  }
  size_t valuePos = nameEnd;
  while (valuePos < line.size() && IsBlank(line[valuePos])) {
    valuePos++;
  }
  size_t valueEnd = valuePos;
  while (valueEnd < line.size() && !IsBlank(line[valueEnd])) {
    valueEnd++;
  }
  std::string value = line.substr(valuePos, valueEnd - valuePos);
  size_t restPos = valueEnd;
  while (restPos < line.size() && IsBlank(line[restPos])) {
    restPos++;
  }
  size_t restEnd = line.size();
  while (restEnd > restPos && IsBlank(line[restEnd - 1])) {
    restEnd--;
  }
  std::string rest = line.substr(restPos, restEnd - restPos);

  FaultRule rule;
  if (value == "null") {
    if (!rest.empty()) {
      *why = "text after \"null\"";
      return false;
    }
    rule.null = true;
  } else if (ParseHResult(value, &rule.hr)) {
    rule.hasDescription = !rest.empty();
    rule.description = rest;
  } else {
    *why = value.empty() ? "missing result" : "bad result \"" + value + "\"";
    return false;
  }
  content->rules[name] = rule;
  return true;
}

}  // namespace

bool FaultPlan_IsKnownMethod(const std::string &name) {
  for (const char *m : kMethods) {
    if (name == m) {
      return true;
    }
  }
  return false;
}

bool FaultPlan_IsKnownStep(const std::string &name) {
  for (const char *s : kSteps) {
    if (name == s) {
      return true;
    }
  }
  return false;
}

void FaultPlan_Parse(const std::string &text, FaultPlanContent *content,
                     std::vector<std::string> *problems) {
  content->rules.clear();
  content->listings.clear();
  content->crashes.clear();
  content->stops.clear();
  int lineNumber = 0;
  for (std::string_view view : Str_SplitLines(text)) {
    std::string line(view);
    if (!line.empty() && line.back() == '\r') {
      line.pop_back();  // written on a system with CR LF line ends
    }
    lineNumber++;
    std::string why;
    if (!ParseLine(line, content, &why) && problems != nullptr) {
      problems->push_back("line " + std::to_string(lineNumber) + ": " + why);
    }
  }
}

FaultPlan::FaultPlan(std::string path) : path_(std::move(path)) {}

void FaultPlan::Refresh() {
  if (path_.empty()) {
    return;
  }
  HostFileStamp stamp;
  if (!HostState_Stamp(path_.c_str(), &stamp)) {
    stamp = HostFileStamp{};  // unreadable: as if missing
  }
  if (loaded_ && HostState_SameStamp(stamp, stamp_)) {
    return;
  }
  loaded_ = true;
  stamp_ = stamp;
  content_ = FaultPlanContent{};
  if (!stamp.exists) {
    return;
  }
  char *data = nullptr;
  size_t length = 0;
  int rc = HostState_ReadFile(path_.c_str(), kMaxPlanBytes, &data, &length);
  if (rc != 0) {
    char text[128];
    Host_ErrorText(rc, text, sizeof text);
    ServiceLog(HOSTLOG_WARNING, "fault plan %s cannot be read: %s", path_.c_str(), text);
    return;
  }
  std::vector<std::string> problems;
  FaultPlan_Parse(std::string(data, length), &content_, &problems);
  free(data);
  for (const std::string &p : problems) {
    ServiceLog(HOSTLOG_WARNING, "fault plan %s: %s (ignored)", path_.c_str(), p.c_str());
  }
}

std::optional<FaultRule> FaultPlan::Find(const char *method) {
  std::lock_guard<std::mutex> hold(lock_);
  Refresh();
  auto it = content_.rules.find(method);
  return it == content_.rules.end() ? std::nullopt : std::optional<FaultRule>(it->second);
}

std::vector<std::string> FaultPlan::Listings() {
  std::lock_guard<std::mutex> hold(lock_);
  Refresh();
  return content_.listings;
}

void FaultPlan::Reach(const char *step) {
  std::lock_guard<std::mutex> hold(lock_);
  Refresh();
  if (content_.crashes.count(step) != 0) {
    ServiceLog(HOSTLOG_WARNING, "fault plan %s: crash at %s", path_.c_str(), step);
    HostProcess_KillSelf();
  }
  if (content_.stops.count(step) != 0) {
    ServiceLog(HOSTLOG_WARNING, "fault plan %s: stop at %s", path_.c_str(), step);
    HostProcess_StopSelf();
  }
}
