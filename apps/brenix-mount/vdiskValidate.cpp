// Disk validation: the file checks, the scan of the disk's folder for virtual
// machines that use it (configuration files read as text when old, through
// the snapshot reader when version 8 or later), the stray redo-log scan, and
// the choice between the base disk and the current image.
#include "vdiskValidate.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <set>

#include <boost/regex.hpp>

#include "brenixMount.h"
#include "errors.h"
#include "host/descriptor.h"
#include "host/fs.h"
#include "host/lastError.h"
#include "host/lookup.h"
#include "host/text.h"
#include "snapshot/snapshot.h"
#include "user/msg.h"

namespace {

constexpr const char kConfigExtension[] = ".bxx";
constexpr const char kRedoSuffix[] = ".REDO";
constexpr const char kLockSuffix[] = ".lck";
constexpr const char kSuspendedExtension[] = "bxss";

// The device part of the pattern that finds a disk in an old configuration.
constexpr const char kDevicePrefix[] = R"((((scsi)|(ide))\d:\d).filename\s*=\s*")";

struct FreeDeleter {
  void operator()(void *p) const { std::free(p); }
};
using CString = std::unique_ptr<char, FreeDeleter>;

bool EndsWithNoCase(const std::string &text, const char *suffix) {
  size_t n = std::strlen(suffix);
  if (text.size() < n) return false;
  const char *tail = text.data() + text.size() - n;
  for (size_t i = 0; i < n; i++) {
    if (HostText_LowerAscii(tail[i]) != HostText_LowerAscii(suffix[i])) return false;
  }
  return true;
}

bool StartsWith(const std::string &text, const std::string &prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

bool Search(const std::string &text, const boost::regex &pattern, boost::smatch *match = nullptr) {
  boost::smatch local;
  return boost::regex_search(text, match != nullptr ? *match : local, pattern);
}

// The pattern that finds the device entry naming the disk, and the strings
// that any match must end with.
struct DeviceSearch {
  boost::regex pattern;
  std::string pathTail;  // the last name of the path as given, and a quote
  std::string nameTail;  // the file name of the full path, and a quote
  bool prefilter;        // false when a backslash makes the tails unreliable
};

// The search depends on the disk path alone and is the same for every
// configuration of one scan, so the last one built is kept.
const DeviceSearch &DevicePattern(const std::string &lowerDiskPath) {
  static std::string cachedFor;
  static std::unique_ptr<DeviceSearch> cached;
  if (cached == nullptr || cachedFor != lowerDiskPath) {
    PathParts parts(lowerDiskPath, true);
    std::string pattern = kDevicePrefix;
    pattern += "((";
    pattern += EscapeForPattern(lowerDiskPath);
    pattern += ")|(";
    pattern += EscapeForPattern(parts.fileName);
    pattern += "))\"";
    std::string pathTail = lowerDiskPath.substr(lowerDiskPath.rfind('/') + 1) + '"';
    bool prefilter = (lowerDiskPath + parts.fileName).find('\\') == std::string::npos;
    cached = std::make_unique<DeviceSearch>(
        DeviceSearch{boost::regex(pattern), pathTail, parts.fileName + '"', prefilter});
    cachedFor = lowerDiskPath;
  }
  return *cached;
}

bool Contains(const std::string &text, const std::string &part) {
  return memmem(text.data(), text.size(), part.data(), part.size()) != nullptr;
}

// Searches the text for the device entry that names the disk. A text that
// holds neither tail cannot match, and the plain string search is far
// cheaper than the pattern's.
bool FindDevice(const VmUsage &record, boost::smatch &match) {
  const DeviceSearch &search = DevicePattern(record.lowerDiskPath);
  if (search.prefilter && !Contains(record.configText, search.pathTail) &&
      !Contains(record.configText, search.nameTail)) {
    return false;
  }
  return Search(record.configText, search.pattern, &match);
}

// Searches the record's text for "<device><suffix>".
bool SearchDevice(const VmUsage &record, const std::string &device, const char *suffix,
                  boost::smatch *match = nullptr) {
  boost::regex pattern(device + suffix);
  return Search(record.configText, pattern, match);
}

// The old-configuration verdict from the text alone.
bool UsesDiskByText(const VmUsage &record) {
  boost::smatch match;
  if (!FindDevice(record, match)) return false;
  return SearchDevice(record, match[1].str(), R"(.present\s*=\s*"true")");
}

std::string Folder(const std::string &path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

struct FolderEntry {
  std::string name;
  bool isDirectory;
  bool operator<(const FolderEntry &other) const { return name < other.name; }
};

// The entries of a folder, sorted so that a scan does not depend on the order
// the file system happens to keep. A folder that cannot be read has none.
std::vector<FolderEntry> ListFolder(const std::string &folder) {
  std::vector<FolderEntry> entries;
  HostDir *dir = HostDir_Open(folder.c_str());
  if (dir == nullptr) return entries;
  bool isDirectory = false;
  while (const char *name = HostDir_Next(dir, &isDirectory)) {
    entries.push_back({name, isDirectory});
  }
  HostDir_Close(dir);
  std::sort(entries.begin(), entries.end());
  return entries;
}

// The redo chain's end among the folder's files.
void ScanRedoFiles(const std::string &diskPath, const std::vector<FolderEntry> &entries,
                   VmList &vms) {
  PathParts disk(diskPath, false);
  std::string current = disk.fileName;
  for (;;) {
    std::string target = LowerCase(current + kRedoSuffix);
    const std::string *next = nullptr;
    for (const FolderEntry &entry : entries) {
      if (entry.isDirectory) continue;
      // A lock file beside a redo log belongs to whoever holds the log.
      if (EndsWithNoCase(entry.name, kLockSuffix)) continue;
      if (StartsWith(LowerCase(entry.name), target)) {
        next = &entry.name;
        break;
      }
    }
    if (next == nullptr) break;
    current = *next;
  }
  if (current != disk.fileName) {
    VmUsage record("", diskPath);
    record.redoImagePath = disk.folder + current;
    record.hasRedo = true;
    vms.push_back(std::move(record));
  }
}

void CheckAttribute(const std::string &path, uint32_t bit, const char *literal) {
  uint32_t attributes = 0;
  if (!HostFs_GetAttributes(path.c_str(), &attributes)) {
    throw ApiException(BRENIX_SOURCE, __LINE__);
  }
  if ((attributes & bit) != 0) {
    throw UserError(Msg_FormatToString(literal, product::kName));
  }
}

uint32_t g_identityCounter = UINT32_MAX;

}  // namespace

std::string LowerCase(const std::string &text) {
  // Eight bytes at a time: a byte is an upper-case letter when it is below
  // 0x80 and its low seven bits lie in 'A'..'Z'; its 0x20 bit is then set.
  constexpr uint64_t kOnes = 0x0101010101010101ull;
  std::string lower(text.size(), '\0');
  const char *in = text.data();
  char *out = lower.data();
  size_t i = 0;
  for (; i + 8 <= text.size(); i += 8) {
    uint64_t x;
    std::memcpy(&x, in + i, 8);
    uint64_t low7 = x & (0x7F * kOnes);
    uint64_t atLeastA = low7 + (0x80 - 'A') * kOnes;
    uint64_t aboveZ = low7 + (0x7F - 'Z') * kOnes;
    uint64_t upper = (atLeastA ^ aboveZ) & ~x & (0x80 * kOnes);
    x |= upper >> 2;
    std::memcpy(out + i, &x, 8);
  }
  for (; i < text.size(); i++) out[i] = HostText_LowerAscii(in[i]);
  return lower;
}

// ---------------------------------------------------------------------------
// Paths

PathParts::PathParts(const std::string &path, bool lowerCase) {
  CString full(HostFs_FullPathLimited(path.c_str()));
  if (full == nullptr) {
    throw ApiException(BRENIX_SOURCE, __LINE__);
  }
  fullPath = full.get();
  size_t slash = fullPath.rfind('/');
  folder = fullPath.substr(0, slash + 1);
  fileName = fullPath.substr(slash + 1);
  size_t dot = fileName.rfind('.');
  baseName = dot == std::string::npos ? fileName : fileName.substr(0, dot);
  extension = dot == std::string::npos ? std::string() : fileName.substr(dot + 1);
  if (lowerCase) {
    for (std::string *s : {&fullPath, &folder, &fileName, &baseName, &extension}) {
      *s = LowerCase(*s);
    }
  }
}

bool IsFullPath(const std::string &text) {
  if (!text.empty() && text[0] == '/') return true;
  // Values written on the original platform: drive or UNC form.
  return text.size() >= 3 && (text[1] == ':' || (text[0] == '\\' && text[1] == '\\'));
}

std::string FindNoCase(const std::string &path) {
  // A drive or share form written on the original platform names nothing
  // here, and must not be taken relative to the working folder.
  if (path.empty() || path[0] != '/') return std::string();
  if (HostFs_Exists(path.c_str())) return path;
  std::string folder = Folder(path);
  std::string name = path.substr(folder.size());
  CString found(HostDir_FindNoCase(folder.c_str(), name.c_str()));
  return found == nullptr ? std::string() : folder + found.get();
}

std::string EscapeForPattern(const std::string &text) {
  static const char kMeta[] = ".[]{}()*+?|^$";
  std::string out;
  for (char c : text) {
    if (c == '/' || c == '\\') {
      out += R"([/\\])";
    } else {
      if (std::strchr(kMeta, c) != nullptr && c != '\0') out += '\\';
      out += c;
    }
  }
  return out;
}

std::string BaseDiskName(const std::string &path) {
  static const boost::regex child(R"((.+)-(\d){6}\.bxdk)");
  boost::smatch match;
  if (boost::regex_match(path, match, child)) return match[1].str() + ".bxdk";
  return path;
}

// ---------------------------------------------------------------------------
// Configuration files

std::string ReadWholeFile(size_t maximum, const std::string &path) {
  std::string detail = "while reading " + path;
  long long size = 0;
  HostFd fd(HostFile_OpenRegular(path.c_str(), &size));
  if (!fd.Valid()) {
    throw ApiException(detail, BRENIX_SOURCE, __LINE__);
  }
  size_t count = static_cast<size_t>(size);
  if (maximum != 0 && maximum < count) count = maximum;
  std::string bytes(count, '\0');
  size_t done = 0;
  while (done < count) {
    long n = HostFile_Read(fd.Get(), bytes.data() + done, count - done);
    if (n < 0) throw ApiException(detail, BRENIX_SOURCE, __LINE__);
    if (n == 0) break;  // the file shrank meanwhile
    done += static_cast<size_t>(n);
  }
  bytes.resize(done);
  return bytes;
}

int ReadConfigVersion(const VmUsage &record) {
  static const boost::regex version(R"re(config.version\s*=\s*"(\d+)")re");
  boost::smatch match;
  if (!Search(record.configText, version, &match)) return 0;
  long v = std::strtol(match[1].str().c_str(), nullptr, 10);
  return v > INT_MAX ? INT_MAX : static_cast<int>(v);
}

VmUsage::VmUsage(const std::string &config, const std::string &disk)
    : configPath(config), diskPath(disk) {
  if (configPath.empty()) {
    usesDisk = true;
    return;
  }
  lowerDiskPath = LowerCase(diskPath);
  originalText = ReadWholeFile(0, configPath);
  configText = LowerCase(originalText);
  usesDisk = UsesDisk(*this);
  if (usesDisk) FindRedoImage(*this);
}

bool UsesDisk(VmUsage &record) {
  if (ReadConfigVersion(record) >= 8) {
    bool used = false;
    SnapshotConfigText text = {record.originalText.data(), record.originalText.size()};
    SnapshotError err = Snapshot_QueryDiskUse(record.configPath.c_str(), record.diskPath.c_str(),
                                              &used, nullptr, nullptr, &text);
    if (err.type == SNAPSHOT_SUCCESS) return used;
    // The snapshot state is unknown. If the text says the machine uses the
    // disk, validation must refuse rather than guess.
    if (!UsesDiskByText(record)) return false;
    record.snapshotError = err.type;
    return true;
  }
  return UsesDiskByText(record);
}

void FindRedoImage(VmUsage &record) {
  if (record.snapshotError != 0) return;
  if (ReadConfigVersion(record) >= 8) {
    FindSnapshotChild(record);
    return;
  }
  boost::smatch match;
  if (!FindDevice(record, match)) return;
  std::string device = match[1].str();
  bool undoable = SearchDevice(record, device, R"(.mode\s*=\s*"undoable")");

  std::string candidate;
  boost::smatch redo;
  if (SearchDevice(record, device, R"re(.redo\s*=\s*"([^"]+)")re", &redo)) {
    // The value in its real case, from the same place in the original text.
    std::string value = record.originalText.substr(static_cast<size_t>(redo.position(1)),
                                                   static_cast<size_t>(redo.length(1)));
    if (IsFullPath(value)) {
      candidate = value;
    } else {
      PathParts config(record.configPath, false);
      candidate = PathParts(config.folder + value, false).fullPath;
    }
  } else {
    candidate = record.diskPath + kRedoSuffix;
  }
  if (!undoable) return;
  std::string found = FindNoCase(candidate);
  if (!found.empty()) {
    record.redoImagePath = found;
    record.hasRedo = true;
  }
}

void FindSnapshotChild(VmUsage &record) {
  char **disks = nullptr;
  int count = 0;
  SnapshotConfigText text = {record.originalText.data(), record.originalText.size()};
  SnapshotError err = Snapshot_GetCurrentDisks(record.configPath.c_str(), &disks, &count, &text);
  if (err.type != SNAPSHOT_SUCCESS) {
    record.snapshotError = err.type;
    return;
  }
  std::vector<std::string> current;
  for (int i = 0; i < count; i++) {
    current.emplace_back(disks[i]);
    std::free(disks[i]);
  }
  std::free(disks);

  std::string base = PathParts(BaseDiskName(record.diskPath), true).fileName;
  for (const std::string &d : current) {
    if (PathParts(BaseDiskName(d), true).fileName == base && LowerCase(d) != record.lowerDiskPath) {
      record.redoImagePath = d;
      record.hasRedo = true;
      return;
    }
  }
}

void ScanVmConfigs(const std::string &diskPath, VmList &vms) {
  vms.clear();
  PathParts disk(diskPath, false);
  // One listing serves both scans.
  std::vector<FolderEntry> entries = ListFolder(disk.folder);
  for (const FolderEntry &entry : entries) {
    if (!EndsWithNoCase(entry.name, kConfigExtension)) continue;
    VmUsage record(disk.folder + entry.name, diskPath);
    if (record.usesDisk) vms.push_back(std::move(record));
  }
  ScanRedoFiles(diskPath, entries, vms);
}

void ScanRedoFiles(const std::string &diskPath, VmList &vms) {
  ScanRedoFiles(diskPath, ListFolder(PathParts(diskPath, false).folder), vms);
}

// ---------------------------------------------------------------------------
// The choice

void ResolveRedoChoice(DiskList &disks, const VmList &vms, int snapshotMode, std::istream &in,
                       std::ostream &out) {
  for (const VmUsage &vm : vms) {
    if (vm.snapshotError != 0) {
      const char *reason = SnapshotError_Text(static_cast<SnapshotErrorCode>(vm.snapshotError));
      throw UserError(Msg_FormatToString(msg::kSnapshotUnreadable, vm.configPath.c_str(),
                                         reason != nullptr ? reason : ""));
    }
  }
  std::set<std::string> redoSet;
  const VmUsage *last = nullptr;
  for (const VmUsage &vm : vms) {
    if (!vm.hasRedo) continue;
    redoSet.insert(LowerCase(vm.redoImagePath));
    last = &vm;
  }
  if (redoSet.empty()) return;
  if (redoSet.size() > 1) throw UserError(Msg_FormatToString(msg::kMultipleRedo));
  switch (snapshotMode) {
    case kSnapshotYes:
      disks.insert(disks.begin(), last->redoImagePath);
      return;
    case kSnapshotNo:
      throw UserError(Msg_FormatToString(msg::kRedoAbortLong));
    default:
      break;
  }
  std::string yes = Msg_FormatToString(msg::kRedoAskYes);
  out << Msg_FormatToString(msg::kRedoAsk) << std::flush;
  std::string word;
  in >> word;
  if (!word.empty() && !yes.empty() &&
      LowerCase(word.substr(0, 1)) == LowerCase(yes.substr(0, 1))) {
    disks.insert(disks.begin(), last->redoImagePath);
    return;
  }
  throw UserError(Msg_FormatToString(msg::kRedoAbortShort));
}

// ---------------------------------------------------------------------------
// File checks

void CheckReadOnly(const std::string &path) {
  CheckAttribute(path, HOSTFS_ATTR_READONLY, msg::kCantMountReadOnly);
}

void CheckCompressed(const std::string &path) {
  CheckAttribute(path, HOSTFS_ATTR_COMPRESSED, msg::kNoCompressed);
}

FileIdentity::FileIdentity(const std::string &path)
    : path_(path),
      volumeSerial_(g_identityCounter),
      indexLow_(g_identityCounter - 1),
      indexHigh_(g_identityCounter - 2) {
  g_identityCounter -= 3;
  HostFileId id;
  if (HostFs_GetFileId(path.c_str(), &id)) {
    volumeSerial_ = id.volumeSerial;
    indexLow_ = id.indexLow;
    indexHigh_ = id.indexHigh;
    incomplete_ = false;
  }
}

bool FileIdentity::operator==(const FileIdentity &other) const {
  return path_ == other.path_ || (indexHigh_ == other.indexHigh_ && indexLow_ == other.indexLow_ &&
                                  volumeSerial_ == other.volumeSerial_);
}

void CheckOneVolumePerDisk(const std::string &path, const std::vector<MountedVolume> &mounts) {
  FileIdentity id(path);
  for (const MountedVolume &mount : mounts) {
    if (FileIdentity(mount.diskPath) == id) {
      throw UserError(
          Msg_FormatToString(msg::kOneVolumePerDisk, product::kName, mount.driveLetter.c_str()));
    }
  }
}

void CheckSuspended(const VmUsage &record) {
  if (!record.usesDisk || record.configPath.empty()) return;
  PathParts config(record.configPath, false);
  std::string state = config.folder + config.baseName + "." + kSuspendedExtension;
  if (!FindNoCase(state).empty()) {
    throw UserError(Msg_FormatToString(msg::kNoSuspended));
  }
}

// ---------------------------------------------------------------------------

bool ValidateDisk(std::string &path, int snapshotMode, const ValidationIo &io) {
  DiskList disks{path};
  CheckReadOnly(path);
  std::vector<MountedVolume> mounts = io.readMounts();
  CheckOneVolumePerDisk(path, mounts);
  VmList vms;
  ScanVmConfigs(path, vms);
  ResolveRedoChoice(disks, vms, snapshotMode, io.in != nullptr ? *io.in : std::cin,
                    io.out != nullptr ? *io.out : std::cout);
  // The redo image chosen in the disk's place may be mounted already: the
  // service would refuse it with a text that does not say so.
  if (disks.front() != path) CheckOneVolumePerDisk(disks.front(), mounts);
  for (const std::string &disk : disks) CheckCompressed(disk);
  for (const VmUsage &vm : vms) CheckSuspended(vm);
  path = disks.front();
  return true;
}

ValidationIo &DefaultValidationIo() {
  static ValidationIo io;
  return io;
}

bool ValidateDisk(std::string &path, int snapshotMode) {
  return ValidateDisk(path, snapshotMode, DefaultValidationIo());
}
