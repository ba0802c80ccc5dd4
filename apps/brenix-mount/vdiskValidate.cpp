// Disk validation: the file checks, the scan of the disk's folder for virtual
// machines that use it (configuration files read as text when old, through
// the snapshot reader when version 8 or later), the stray redo-log scan, and
// the choice between the base disk and the current image.
#include "vdiskValidate.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <tuple>
#include <utility>

#include <boost/regex.hpp>

#include "brenixMount.h"
#include "configReader.h"
#include "errors.h"
#include "file/file.h"
#include "file/folderNoCase.h"
#include "host/fs.h"
#include "host/identity.h"
#include "host/lastError.h"
#include "host/lookup.h"
#include "host/process.h"
#include "host/text.h"
#include "messages.h"
#include "snapshot/snapshot.h"
#include "string/str.h"
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

bool Contains(const std::string &text, const std::string &part) {
  return memmem(text.data(), text.size(), part.data(), part.size()) != nullptr;
}

bool Search(const std::string &text, const boost::regex &pattern, boost::smatch *match = nullptr) {
  boost::smatch local;
  return boost::regex_search(text, match != nullptr ? *match : local, pattern);
}

// Lower-cases ASCII letters only, so that offsets and other bytes stay put.
std::string LowerCase(const std::string &text) {
  std::string lower(text.size(), '\0');
  const char *in = text.data();
  char *out = lower.data();
  size_t i = 0;
  for (; i + 8 <= text.size(); i += 8) {
    uint64_t x;
    std::memcpy(&x, in + i, 8);
    x = HostText_LowerAsciiWord(x);
    std::memcpy(out + i, &x, 8);
  }
  for (; i < text.size(); i++) out[i] = HostText_LowerAscii(in[i]);
  return lower;
}

// Returns the full form of path; raises ApiException when none can be made.
std::string FullPath(const std::string &path) {
  CString full(HostFs_FullPathLimited(path.c_str()));
  if (full == nullptr) throw ApiException(BRENIX_SOURCE, __LINE__);
  return full.get();
}

// Splits a host path into its folder (with a trailing "/") and its file name.
// Only "/" separates here: a backslash is part of a host file's name, and
// splitting at it would scan the wrong folder for the disk's machines.
std::pair<std::string, std::string> SplitPath(const std::string &path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return {std::string(), path};
  return {path.substr(0, slash + 1), path.substr(slash + 1)};
}

std::string FileName(const std::string &path) { return SplitPath(path).second; }

// Text for a pattern: either separator matches both "/" and "\", and every
// other pattern metacharacter stands for itself.
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

// The real path of the file a derived path names: the path itself when it
// exists, else its last component looked up in its folder without regard to
// case (through names when they are that folder's). Empty when there is none.
std::string FindNoCase(const std::string &path, FolderNoCase *names) {
  // A drive or share form written on the original platform names nothing
  // here, and must not be taken relative to the working folder.
  if (path.empty() || path[0] != '/') return std::string();
  if (HostFs_Exists(path.c_str())) return path;
  auto [folder, name] = SplitPath(path);
  CString found(FolderNoCase_Find(names, folder.c_str(), name.c_str()));
  return found == nullptr ? std::string() : folder + found.get();
}

// The disk as one scan of its folder sees it, with the search for its device
// entry, which is the same for every configuration of the scan.
struct DiskScan {
  explicit DiskScan(const std::string &diskPath) : path(diskPath), lowerPath(LowerCase(diskPath)) {
    std::tie(folder, name) = SplitPath(FullPath(path));
    names.reset(FolderNoCase_Create(folder.c_str()), FolderNoCase_Free);
    std::string lowerName = LowerCase(name);
    patternText = std::string(kDevicePrefix) + "((" + EscapeForPattern(lowerPath) + ")|(" +
                  EscapeForPattern(lowerName) + "))\"";
    pathTail = lowerPath.substr(lowerPath.rfind('/') + 1) + '"';
    nameTail = lowerName + '"';
    prefilter = (lowerPath + lowerName).find('\\') == std::string::npos;
  }

  std::string path;  // as validation received it
  std::string lowerPath;
  std::string folder;  // of the full path, with its trailing "/"
  std::string name;    // of the full path
  // The folder's names for the case-blind look-ups of all its machines,
  // which would each read a folder of many files again.
  std::shared_ptr<FolderNoCase> names;
  std::string patternText;
  mutable std::optional<boost::regex> pattern;  // compiled when a configuration needs it
  std::string pathTail;                         // the last name of the path as given, and a quote
  std::string nameTail;                         // the file name of the full path, and a quote
  bool prefilter;                               // false when a backslash makes the tails unreliable
  // The disk's identity, looked at once for all the configurations that
  // ask, on whichever thread asks first.
  mutable std::optional<HostFileId> id;
  mutable std::once_flag idLooked;

  const HostFileId *Id() const {
    std::call_once(idLooked, [this] {
      HostFileId found;
      if (HostFs_GetFileId(path.c_str(), &found)) id = found;
    });
    return id ? &*id : nullptr;
  }
};

// What one virtual machine configuration of the disk's folder does with the
// disk; the record with an empty configuration path stands for stray redo
// logs beside the disk.
struct VmUsage {
  std::string configPath;
  // Those of the configuration's folder, from its scan.
  std::shared_ptr<FolderNoCase> folderNames;
  std::string redoImagePath;  // a real path, set when hasRedo
  bool hasRedo = false;
  int snapshotError = 0;     // a SnapshotErrorCode when the reader failed
  int version = 0;           // of the configuration, 0 when it has none
  std::string originalText;  // the configuration as read
  std::string configText;    // lower-cased, same offsets; only when the text is searched
};

using VmList = std::vector<VmUsage>;

// Searches the text for the device entry that names the disk. A text that
// holds neither tail cannot match, and the plain string search is far
// cheaper than the pattern's.
bool FindDevice(const DiskScan &disk, const VmUsage &record, boost::smatch &match) {
  if (disk.prefilter && !Contains(record.configText, disk.pathTail) &&
      !Contains(record.configText, disk.nameTail)) {
    return false;
  }
  if (!disk.pattern) disk.pattern.emplace(disk.patternText);
  return Search(record.configText, *disk.pattern, &match);
}

// Searches the record's text for "<device><suffix>".
bool SearchDevice(const VmUsage &record, const std::string &device, const char *suffix,
                  boost::smatch *match = nullptr) {
  return Search(record.configText, boost::regex(device + suffix), match);
}

// The old-configuration verdict from the text alone.
bool UsesDiskByText(const DiskScan &disk, const VmUsage &record) {
  boost::smatch match;
  if (!FindDevice(disk, record, match)) return false;
  return SearchDevice(record, match[1].str(), R"(.present\s*=\s*"true")");
}

// Asks the snapshot reader whether the machine of the configuration at path,
// whose text is in hand, uses the disk.
SnapshotError QueryDiskUse(const DiskScan &disk, const std::string &path, const std::string &text,
                           bool *used) {
  SnapshotConfigText read = {text.data(), text.size()};
  return Snapshot_QueryDiskUse(path.c_str(), disk.path.c_str(), used, nullptr, nullptr, &read,
                               disk.Id(), disk.names.get());
}

// Completes a configuration just read. A version-8 one is put to the
// snapshot reader; its answer stands unless the reader said something that
// was held back.
void PrepareConfig(const DiskScan &disk, const std::string &path, ConfigFiles &files) {
  files.version = ConfigVersionOf(files.text);
  if (files.version < 8) {
    files.lower = LowerCase(files.text);
    return;
  }
  unsigned long heldBack = Msg_HeldBack();
  files.snapshotResult = QueryDiskUse(disk, path, files.text, &files.used).type;
  files.answered = Msg_HeldBack() == heldBack;
}

// The lower-cased file name of the disk a disk name is a child of, or of the
// name itself when it is no child's.
std::string BaseFileName(const std::string &path) {
  return LowerCase(FileName(BaseDiskName(path)));
}

// Whether path names a child of the disk (base: BaseFileName of the disk):
// the file name its base reduces to is the disk's, in any folder, or its base
// is the disk's very file, a relative one taken from folder. Names decide as
// they always did; the file decides as well, so that the disk reached
// through a link, a hard link or a linked folder keeps its children.
bool NamesChildOf(const DiskScan &disk, const std::string &base, const std::string &path,
                  const std::string &folder) {
  if (BaseFileName(path) == base) return true;
  std::string parent = BaseDiskName(path);
  if (parent == path) return false;
  if (!parent.starts_with("/")) parent = folder + parent;
  return File_IsSameFile(parent.c_str(), disk.path.c_str());
}

// Whether a present device of the text runs on a child of the disk. A
// path written on the original platform (with a backslash) cannot be looked
// up here: the file name it ends in decides, for the disk itself as well.
bool RunsOnChildByText(const DiskScan &disk, const VmUsage &record) {
  static const boost::regex device(std::string(kDevicePrefix) + R"re(([^"]*)")re");
  std::string base = BaseFileName(disk.folder + disk.name);
  std::string folder = SplitPath(record.configPath).first;
  const std::string &text = record.configText;
  for (boost::sregex_iterator it(text.begin(), text.end(), device), end; it != end; ++it) {
    // The value in its real case: a child's name is recognised in that case.
    std::string value = record.originalText.substr(static_cast<size_t>(it->position(5)),
                                                   static_cast<size_t>(it->length(5)));
    size_t backslash = value.rfind('\\');
    bool named = backslash != std::string::npos
                     ? BaseFileName(value.substr(backslash + 1)) == base
                     : BaseDiskName(value) != value && NamesChildOf(disk, base, value, folder);
    if (named && SearchDevice(record, (*it)[1].str(), R"(.present\s*=\s*"true")")) {
      return true;
    }
  }
  return false;
}

bool UsesDisk(const DiskScan &disk, VmUsage &record, const ConfigFiles &files) {
  if (record.version < 8) return UsesDiskByText(disk, record);
  bool used = files.used;
  SnapshotError err = {static_cast<SnapshotErrorCode>(files.snapshotResult), 0};
  if (!files.answered) err = QueryDiskUse(disk, record.configPath, record.originalText, &used);
  if (err.type == SNAPSHOT_SUCCESS) return used;
  // The snapshot state is unknown. If the text says the machine uses the
  // disk, or runs on a child of it, validation must refuse rather than guess.
  record.configText = LowerCase(record.originalText);
  if (!UsesDiskByText(disk, record) && !RunsOnChildByText(disk, record)) return false;
  record.snapshotError = err.type;
  return true;
}

void FindSnapshotChild(const DiskScan &disk, VmUsage &record) {
  char **disks = nullptr;
  int count = 0;
  SnapshotConfigText text = {record.originalText.data(), record.originalText.size()};
  SnapshotError err =
      Snapshot_GetCurrentDisks(record.configPath.c_str(), &disks, &count, &text, disk.names.get());
  if (err.type != SNAPSHOT_SUCCESS) {
    record.snapshotError = err.type;
    return;
  }
  std::vector<std::string> current(disks, disks + count);
  for (int i = 0; i < count; i++) std::free(disks[i]);
  std::free(disks);

  // The disk reached by another name is this disk: a machine running it has
  // no snapshot on it.
  std::string base = BaseFileName(disk.folder + disk.name);
  for (const std::string &d : current) {
    if (LowerCase(d) == disk.lowerPath || File_IsSameFile(d.c_str(), disk.path.c_str())) continue;
    if (NamesChildOf(disk, base, d, disk.folder)) {
      record.redoImagePath = d;
      record.hasRedo = true;
      return;
    }
  }
}

void FindRedoImage(const DiskScan &disk, VmUsage &record) {
  if (record.snapshotError != 0) return;
  if (record.version >= 8) {
    FindSnapshotChild(disk, record);
    return;
  }
  boost::smatch match;
  if (!FindDevice(disk, record, match)) return;
  std::string device = match[1].str();
  // Only an undoable disk has a redo log: what another names is not looked
  // at, so a name too long to be a path does not stop the run.
  if (!SearchDevice(record, device, R"(.mode\s*=\s*"undoable")")) return;

  std::string candidate = disk.path + kRedoSuffix;
  boost::smatch redo;
  if (SearchDevice(record, device, R"re(.redo\s*=\s*"([^"]+)")re", &redo)) {
    // The value in its real case, from the same place in the original text.
    candidate = record.originalText.substr(static_cast<size_t>(redo.position(1)),
                                           static_cast<size_t>(redo.length(1)));
    if (!File_IsFullPath(candidate.c_str())) candidate = FullPath(disk.folder + candidate);
  }
  std::string found = FindNoCase(candidate, disk.names.get());
  if (!found.empty()) {
    record.redoImagePath = found;
    record.hasRedo = true;
  }
}

struct FolderEntry {
  std::string name;
  bool isDirectory;
};

// The entries of a folder, in the order the file system keeps. A folder that
// cannot be read has none.
std::vector<FolderEntry> ListFolder(const std::string &folder) {
  std::vector<FolderEntry> entries;
  HostDir *dir = HostDir_Open(folder.c_str());
  if (dir == nullptr) return entries;
  bool isDirectory = false;
  while (const char *name = HostDir_Next(dir, &isDirectory)) entries.push_back({name, isDirectory});
  HostDir_Close(dir);
  return entries;
}

// target is lower-case.
bool StartsWithNoCase(const std::string &text, const std::string &target) {
  if (text.size() < target.size()) return false;
  for (size_t i = 0; i < target.size(); i++) {
    if (HostText_LowerAscii(text[i]) != target[i]) return false;
  }
  return true;
}

// The record of the redo chain's end among the folder's files, if any. Of
// several names that continue the chain the first in name order does, so
// that the answer does not depend on the order the file system keeps.
void ScanRedoFiles(const DiskScan &disk, const std::vector<FolderEntry> &entries, VmList &vms) {
  std::string current = disk.name;
  for (;;) {
    std::string target = LowerCase(current + kRedoSuffix);
    const std::string *next = nullptr;
    for (const FolderEntry &entry : entries) {
      if (entry.isDirectory) continue;
      // A lock file beside a redo log belongs to whoever holds the log.
      if (EndsWithNoCase(entry.name, kLockSuffix)) continue;
      if (StartsWithNoCase(entry.name, target) && (next == nullptr || entry.name < *next)) {
        next = &entry.name;
      }
    }
    if (next == nullptr) break;
    current = *next;
  }
  if (current != disk.name) {
    VmUsage record;
    record.redoImagePath = disk.folder + current;
    record.hasRedo = true;
    vms.push_back(std::move(record));
  }
}

// The machines of the disk's folder that use the disk, in the name order of
// their configurations, then the stray redo record. One listing serves both
// scans; only the configurations are sorted, as a folder of many machines
// holds several other files for each.
VmList ScanFolder(const DiskScan &disk) {
  VmList vms;
  std::vector<FolderEntry> entries = ListFolder(disk.folder);
  std::vector<const std::string *> configs;
  for (const FolderEntry &entry : entries) {
    if (EndsWithNoCase(entry.name, kConfigExtension)) configs.push_back(&entry.name);
  }
  std::sort(configs.begin(), configs.end(),
            [](const std::string *a, const std::string *b) { return *a < *b; });
  std::vector<std::string> paths;
  paths.reserve(configs.size());
  for (const std::string *name : configs) paths.push_back(disk.folder + *name);
  ConfigReader reader(std::move(paths), [&disk](const std::string &path, ConfigFiles &files) {
    PrepareConfig(disk, path, files);
  });
  for (size_t i = 0; i < reader.Count(); i++) {
    ConfigFiles files;
    if (int error = reader.Take(i, &files); error != 0) {
      Host_SetLastError(error);
      throw ApiException("while reading " + reader.Path(i), BRENIX_SOURCE, __LINE__);
    }
    VmUsage record;
    record.configPath = reader.Path(i);
    record.folderNames = disk.names;
    record.version = files.version;
    record.originalText = std::move(files.text);
    record.configText = std::move(files.lower);
    if (!UsesDisk(disk, record, files)) continue;
    FindRedoImage(disk, record);
    vms.push_back(std::move(record));
  }
  ScanRedoFiles(disk, entries, vms);
  return vms;
}

// The disk reached through symbolic links is used by the machines beside the
// file itself as well: their folder is scanned too, under the name the file
// has there. A folder that is only spelt otherwise keeps the spelling of the
// path, so that one redo log is not taken for two. Machines found already
// are not added again.
void ScanTargetFolder(const std::string &path, VmList &vms) {
  CString real(HostFs_RealPath(path.c_str()));
  std::string full = FullPath(path);
  if (real == nullptr || full == real.get()) return;
  auto [folder, name] = SplitPath(full);
  auto [realFolder, realName] = SplitPath(real.get());
  if (File_IsSameFile(folder.c_str(), realFolder.c_str())) realFolder = folder;
  if (realFolder == folder && realName == name) return;
  for (VmUsage &vm : ScanFolder(DiskScan(realFolder + realName))) {
    bool known = !vm.configPath.empty() &&
                 std::any_of(vms.begin(), vms.end(),
                             [&](const VmUsage &v) { return v.configPath == vm.configPath; });
    if (!known) vms.push_back(std::move(vm));
  }
}

// Puts the redo image first in disks when the user chooses it; raises the
// refusal otherwise.
void ResolveRedoChoice(std::vector<std::string> &disks, const VmList &vms, int snapshotMode,
                       std::istream &in, std::ostream &out) {
  for (const VmUsage &vm : vms) {
    if (vm.snapshotError != 0) {
      const char *reason = SnapshotError_Text(static_cast<SnapshotErrorCode>(vm.snapshotError));
      throw UserError(Msg_FormatToString(msg::kSnapshotUnreadable,
                                         Str_Printable(vm.configPath, STR_SHOWN_NAME).c_str(),
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
  if (snapshotMode == kSnapshotNo) {
    throw UserError(Msg_FormatToString(msg::kRedoAbortLong));
  }
  // Whoever wrote its name must be able to write the image themselves: the
  // superuser would otherwise attach, for them, a file or device of someone
  // else's that their configuration (or link) names. A redo log found beside
  // the disk (the list's last record) is named by the disk's owner, and by
  // the owner of a link given as the disk, beside it or its target alike: the
  // service would not take the disk through that link either. A link to
  // another's configuration names it for its own owner too: the names in
  // that file are taken from the link's folder.
  HostOwnedFile image = {last->redoImagePath.c_str(), true, nullptr};
  for (const VmUsage &vm : vms) {
    if (!vm.hasRedo) continue;
    const std::string &namer = vm.configPath.empty() ? disks.back() : vm.configPath;
    const char *who = HostIdentity_OwnerRefuses(namer.c_str(), &image, 1) == 0       ? "file"
                      : HostIdentity_LinkOwnerRefuses(namer.c_str(), &image, 1) == 0 ? "link"
                                                                                     : nullptr;
    const std::string shown =
        "its current disk '" + Str_Printable(last->redoImagePath, STR_SHOWN_NAME) + "'";
    std::string reason;
    if (who != nullptr) {
      reason = std::string("the owner of that ") + who + " may not write " + shown;
    } else if (vm.configPath.empty() && !HostIdentity_OwnedAlike(image.path, namer.c_str())) {
      // Nobody named a redo log found beside the disk: whoever put it there
      // did. Another user's, there, would have the superuser write into and
      // mount what that user reads and controls, on a yes to a question that
      // does not name it (a folder all may write, such as /tmp).
      reason = shown + " belongs to another user than the disk";
    }
    if (!reason.empty()) {
      throw UserError(Msg_FormatToString(
          msg::kSnapshotUnreadable, Str_Printable(namer, STR_SHOWN_NAME).c_str(), reason.c_str()));
    }
  }
  if (snapshotMode == kSnapshotYes) {
    disks.insert(disks.begin(), last->redoImagePath);
    return;
  }
  std::string yes = Msg_FormatToString(msg::kRedoAskYes);
  // The answer may take hours: a connection kept meanwhile would hold the
  // service from its idle exit.
  LetGoOfService();
  // An answer to a question nobody could read is no answer: the run fails
  // as any lost output does, before the image is used.
  if (!(out << Msg_FormatToString(msg::kRedoAsk) << std::flush)) {
    throw ApiException(kWritingOutput, BRENIX_SOURCE, __LINE__);
  }
  // Only the first letter of the answer counts: the rest is left unread,
  // however long (an endless stream of bytes, say).
  char first = '\0';
  if (in >> first && !yes.empty() &&
      LowerCase(std::string(1, first)) == LowerCase(yes.substr(0, 1))) {
    disks.insert(disks.begin(), last->redoImagePath);
    return;
  }
  throw UserError(Msg_FormatToString(msg::kRedoAbortShort));
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

// Another attached disk whose storage stops answering would hold the look at
// it, and so the attach of every disk: one that does not answer in time is
// left to the service, which knows its disks by what it holds open.
constexpr int kLookMs = 2000;

void CheckOneVolumePerDisk(const std::string &path, const std::vector<MountedVolume> &mounts) {
  for (const MountedVolume &mount : mounts) {
    auto same = std::make_shared<std::atomic<bool>>(false);
    HostProcess_RunInTime(
        [same, path, other = mount.diskPath] {
          *same = File_IsSameFile(path.c_str(), other.c_str());
        },
        kLookMs);
    if (*same) {
      throw UserError(
          Msg_FormatToString(msg::kOneVolumePerDisk, product::kName, mount.driveLetter.c_str()));
    }
  }
}

void CheckSuspended(const VmUsage &record) {
  if (record.configPath.empty()) return;
  // The configuration's name ends in kConfigExtension: its base name is the
  // rest.
  std::string state =
      record.configPath.substr(0, record.configPath.size() - 3) + kSuspendedExtension;
  if (!FindNoCase(state, record.folderNames.get()).empty()) {
    throw UserError(Msg_FormatToString(msg::kNoSuspended));
  }
}

}  // namespace

// ---------------------------------------------------------------------------

bool ValidateDisk(std::string &path, int snapshotMode, const ValidationIo &io) {
  std::vector<std::string> disks{path};
  CheckAttribute(path, HOSTFS_ATTR_READONLY, msg::kCantMountReadOnly);
  std::vector<MountedVolume> mounts = io.readMounts();
  CheckOneVolumePerDisk(path, mounts);
  VmList vms = ScanFolder(DiskScan(path));
  ScanTargetFolder(path, vms);
  ResolveRedoChoice(disks, vms, snapshotMode, io.in != nullptr ? *io.in : std::cin,
                    io.out != nullptr ? *io.out : std::cout);
  // The redo image chosen in the disk's place may be mounted already: the
  // service would refuse it with a text that does not say so.
  if (disks.front() != path) CheckOneVolumePerDisk(disks.front(), mounts);
  for (const std::string &disk : disks) {
    CheckAttribute(disk, HOSTFS_ATTR_COMPRESSED, msg::kNoCompressed);
  }
  for (const VmUsage &vm : vms) CheckSuspended(vm);
  path = disks.front();
  return true;
}

ValidationIo &DefaultValidationIo() {
  static ValidationIo io;
  return io;
}
