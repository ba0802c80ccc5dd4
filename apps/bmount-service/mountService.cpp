// The operations behind the service's interfaces. Every change to the mount
// table is saved before it is reported; when saving fails the change is
// undone, so the table on disk and the drives never disagree.
#include "mountService.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <future>
#include <memory>
#include <set>
#include <system_error>
#include <thread>
#include <utility>

#include "com/server.h"
#include "file/file.h"
#include "file/fileLock.h"
#include "host/drives.h"
#include "host/fs.h"
#include "host/identity.h"
#include "host/keeper.h"
#include "host/lastError.h"
#include "host/lookup.h"
#include "host/loop.h"
#include "host/mount.h"
#include "host/prefix.h"
#include "host/process.h"
#include "host/stateFile.h"
#include "serviceLog.h"

namespace {

constexpr size_t kMaxTableCopy = 16 << 20;
// A loop device let go of a moment ago may still be on its way out (a
// probe of the device manager can hold it briefly): how long to wait for
// that before a disk it covers counts as in use.
constexpr int kCoverChecks = 20;
constexpr auto kCoverPause = std::chrono::milliseconds(50);
// How long the reading of an image's volumes waits for a look daemon, when
// others have them all: as long as a daemon's commands may take.
constexpr auto kLookWait = std::chrono::seconds(30);
// How long a freed loop device may take to let go of its backing file.
constexpr int kLetGoChecks = 100;
// How long a loop device kept from punching holes stays for the next attach
// of an image once freed; on the machine's next loop user, it would pass on
// to that user.
constexpr int kKeptFreeMs = 5000;
// The ids of a disk and its one export in a mount's own daemon.
const char kMountDisk[] = "disk";

HRESULT SystemFailure(int code) {
  return HRESULT_FROM_ERRNO(code != 0 ? code : Host_ErrorCode(HOST_ERROR_OTHER));
}

HRESULT KindFailure(HostErrorKind kind) { return HRESULT_FROM_ERRNO(Host_ErrorCode(kind)); }

// The refusal of a disk or file (subject names it) that was not opened.
Outcome CannotOpen(const std::string &start, HostDiskOpen status, int code) {
  switch (status) {
    case HostDiskOpen::Folder:
      return Outcome::Fail(KindFailure(HOST_ERROR_INVALID),
                           start + " cannot be opened: it is a folder.");
    case HostDiskOpen::NotADisk:
      return Outcome::Fail(
          KindFailure(HOST_ERROR_INVALID),
          start + " cannot be opened: it is neither a regular file nor a block device.");
    case HostDiskOpen::InUse:
      return Outcome::Fail(KindFailure(HOST_ERROR_BUSY), start + " is in use by another program.");
    case HostDiskOpen::OthersLink:
      return Outcome::Fail(KindFailure(HOST_ERROR_ACCESS),
                           start +
                               " cannot be opened: it is reached through a symbolic link of "
                               "another user's, to a file that is not theirs.");
    default:
      return Outcome::Fail(SystemFailure(code),
                           start + " cannot be opened: " + ServiceErrorText(code) + ".");
  }
}

// The refusal of a further file of disk that its owner may not use so.
Outcome OwnerMayNot(const std::string &disk, const std::string &file, bool write) {
  return Outcome::Fail(KindFailure(HOST_ERROR_ACCESS),
                       "The file " + DiskImage_Quoted(file) + " of the disk " +
                           DiskImage_Quoted(disk) + " is one the disk's owner may not " +
                           (write ? "read and write" : "read") + ".");
}

// The refusal of the first of the open files claims[1, count) that the
// owner of the disk claims[0] may not use so: read, or also written where
// writable and not shared. Judged for all at once: a child per file would
// cost, for a disk of thousands of files, minutes.
Outcome OwnerMayNotOpen(const std::string &disk, const std::vector<DiskClaim> &claims, size_t count,
                        bool writable) {
  std::vector<HostOwnedFile> files;
  for (size_t i = 1; i < count; i++) {
    files.push_back({claims[i].file.c_str(), writable && !claims[i].shared, &claims[i].disk});
  }
  size_t refused =
      files.empty() ? 0 : HostIdentity_OwnerRefusesOpen(claims[0].disk, files.data(), files.size());
  return refused < files.size() ? OwnerMayNot(disk, files[refused].path, files[refused].write)
                                : Outcome{};
}

// The refusal of a disk one of whose names led a daemon to stray, a file
// other than those checked.
Outcome LedElsewhere(const std::string &disk, const std::string &stray) {
  return Outcome::Fail(KindFailure(HOST_ERROR_ACCESS),
                       "The disk " + DiskImage_Quoted(disk) +
                           " cannot be opened: a name of its files led to " +
                           DiskImage_Quoted(stray) + " once checked.");
}

// The folder of the daemon that reads the volumes of disks not raw.
constexpr char kLook[] = "look";
// Images whose volumes are read at once, a look daemon each.
constexpr size_t kLooks = 4;
// The most a look daemon's log may hold before the daemon is replaced.
constexpr uint64_t kMaxLookLog = 64 * 1024;

// Files of a disk kept open for as long as it lives.
struct HeldClaims {
  std::vector<DiskClaim> claims;
  ~HeldClaims() {
    for (DiskClaim &c : claims) {
      HostDisk_Close(&c.disk);
    }
  }
};

// How texts name a file of disk: the disk itself (the top), or one of its
// further files.
std::string FileOfDisk(const std::string &disk, const std::string &file, bool top) {
  return top ? "The disk " + DiskImage_Quoted(disk)
             : "The file " + DiskImage_Quoted(file) + " of the disk " + DiskImage_Quoted(disk);
}

// The files held for image, the top by its path as the image names it.
HeldFiles OpenedNames(const std::vector<DiskClaim> &held, const DiskImage &image) {
  HeldFiles names;
  for (const DiskClaim &c : held) {
    char name[32];
    if (HostDisk_OpenedName(c.disk, name, sizeof name)) {
      names[&c == &held.front() ? image.layers[0].path : c.file] = name;
    }
  }
  return names;
}

// The files of a disk to claim, the named one first: what may be written
// (the top layer's files) exclusively, the parents' shared.
std::vector<DiskClaim> ClaimsOf(const std::string &disk, const DiskImage &image) {
  std::vector<DiskClaim> claims{{disk, false, {}}};
  for (size_t i = 0; i < image.layers.size(); i++) {
    if (i > 0) {
      claims.push_back({image.layers[i].path, true, {}});
    }
    for (const std::string &extent : image.layers[i].extents) {
      claims.push_back({extent, i > 0, {}});
    }
  }
  return claims;
}

// Whether file is one of claims, by identity.
bool NamedBefore(const std::vector<DiskClaim> &claims, const std::string &file) {
  HostDisk seen;
  int code = 0;
  bool found = false;
  if (HostDisk_Open(file.c_str(), false, &seen, &code) == HostDiskOpen::Opened) {
    for (const DiskClaim &c : claims) {
      found = found || HostDisk_Overlap(c.disk, seen);
    }
    HostDisk_Close(&seen);
  }
  return found;
}

// Whether emulators are to be kept from writing an open claimed file: a
// parent, which they may share; and a raw disk (rawTop: the claim is the top
// of one, a file or a block device), which its loop device writes without
// taking the locks they heed.
bool DeniesWriters(const DiskClaim &claim, bool rawTop) { return claim.shared || rawTop; }

// Takes the lock bytes emulators heed on an open claimed file: the denials
// DeniesWriters asks for and, on a raw disk, whose loop device takes none,
// a writer's (a reader's when read-only). False when another program writes
// the file or keeps it from being written or read.
bool GuardClaim(const DiskClaim &claim, bool rawTop) {
  if (!DeniesWriters(claim, rawTop)) {
    return true;
  }
  return HostDisk_DenyWriters(claim.disk) &&
         (!rawTop || HostDisk_ShowUse(claim.disk, !claim.disk.readOnly));
}

// GuardClaim for a claim held since before a start, which is kept either
// way: the log says when another program got in meanwhile.
void GuardAgain(const DiskClaim &claim, bool rawTop) {
  if (!GuardClaim(claim, rawTop)) {
    ServiceLog(HOSTLOG_WARNING, "%s: another program may write it meanwhile", claim.file.c_str());
  }
}

HostDiskOpen OpenClaim(DiskClaim *claim, int *code) {
  return claim->shared ? HostDisk_OpenShared(claim->file.c_str(), &claim->disk, code)
                       : HostDisk_Open(claim->file.c_str(), true, &claim->disk, code);
}

// Lets go of claims, of the lock file of lockedDisk ("": none) and of the
// open lock file lock (-1: none). Letting go of files on storage that stops
// answering waits for it beyond any signal, which would hold every client:
// where it may (HostFile_MayWaitToClose), it is done on a thread of its own,
// waited for 2 s at most.
constexpr int kLetGoMs = 2000;
void LetGoInTime(std::vector<DiskClaim> claims, const std::string &lockedDisk, int lock) {
  bool mayWait = claims.empty() ? !lockedDisk.empty() || lock >= 0
                                : HostFile_MayWaitToClose(claims[0].disk.fd);
  auto letGo = [claims = std::move(claims), lockedDisk, lock]() mutable {
    if (!lockedDisk.empty()) {
      FileLock_Unlock(lockedDisk.c_str(), false);
    }
    if (lock >= 0) {
      HostFile_Close(lock);
    }
    for (DiskClaim &c : claims) {
      HostDisk_Close(&c.disk);
    }
  };
  if (!mayWait) {
    letGo();
    return;
  }
  HostProcess_RunInTime(std::move(letGo), kLetGoMs);
}

}  // namespace

std::string ServiceErrorText(int code) {
  char text[256];
  if (Host_ErrorText(code, text, sizeof text)) {
    return text;
  }
  return "error " + std::to_string(code);
}

MountService::MountService(std::unique_ptr<Backend> backend, std::string faultPlanPath)
    : backend_(std::move(backend)), faults_(std::move(faultPlanPath)) {
  backend_->SetStepHook([this](const char *step) { faults_.Reach(step); });
}

MountService::~MountService() {
  StopLooks();
  DropKept();
  LetGoOfDisks();
}

bool MountService::Start(std::string *error) {
  char *folder = HostPrefix_Join("bmount");
  if (folder == nullptr) {
    *error = "no host prefix: " + ServiceErrorText(Host_GetLastError());
    return false;
  }
  std::string bmount = folder;
  free(folder);
  int rc = HostState_MakeDir(bmount.c_str());
  if (rc != 0) {
    *error = "cannot create " + bmount + ": " + ServiceErrorText(rc);
    return false;
  }
  // What a save cut short by a crash left; only this instance saves here.
  HostState_RemoveLeftovers(bmount.c_str());
  tablePath_ = bmount + "/mounts";
  daemonBase_ = bmount + "/qemu";
  if (char *run = HostPrefix_Join("run"); run != nullptr) {
    runFolder_ = run;
    free(run);
  }
  std::vector<std::string> problems;
  rc = table_.Load(tablePath_, &problems);
  bool missing = Host_ErrorKind(rc) == HOST_ERROR_NOT_FOUND;
  // What stands in the table's place is no table at all (a folder, a link, a
  // device, or far too large): it goes aside as a damaged one would, or the
  // service could never start again.
  bool notATable = rc == EISDIR || rc == EINVAL || rc == ELOOP || rc == EFBIG;
  if (notATable) {
    std::string aside = tablePath_ + ".damaged";
    int moved = HostState_MoveAside(tablePath_.c_str(), aside.c_str());
    if (moved != 0) {
      *error = "cannot read the mount table " + tablePath_ + ": " + ServiceErrorText(rc) +
               "; nor put it aside: " + ServiceErrorText(moved);
      return false;
    }
    ServiceLog(HOSTLOG_WARNING, "mount table %s: %s; it is put aside as %s", tablePath_.c_str(),
               ServiceErrorText(rc).c_str(), aside.c_str());
  } else if (rc != 0 && !missing) {
    *error = "cannot read the mount table " + tablePath_ + ": " + ServiceErrorText(rc);
    return false;
  }
  for (const std::string &p : problems) {
    ServiceLog(HOSTLOG_WARNING, "mount table %s: %s", tablePath_.c_str(), p.c_str());
  }
  if (!problems.empty()) {
    // The next save replaces it: keep it for a person to look at.
    KeepDamagedTable();
  }
  TakeKeptDisks();
  bool changed = false;
  if (missing || notATable || !problems.empty()) {
    // Whatever of ours is attached without a trustworthy record is still
    // somebody's live volume: find it again instead of clearing it away.
    changed = Rebuild() || !missing;
  } else {
    changed = AdoptMounts();
  }
  AdoptDaemons();
  if (changed) {
    Outcome saved = Save(true);
    if (!saved.Ok()) {
      ServiceLog(HOSTLOG_ERROR, "%s", saved.description.c_str());
      unsaved_ = true;
    }
  }
  for (MountRecord *r : table_.Attached()) {
    std::vector<DiskClaim> claims = ClaimKeptOrAgain(r->id, r->disk, r);
    if (!claims.empty()) {
      KeepClaim(r, std::move(claims));
    }
    if (LockKeptOrAgain(r->id, r->disk, r->diskHandle)) {
      r->diskLocked = true;
    } else {
      ServiceLog(HOSTLOG_WARNING, "mount %d: cannot lock the disk %s again", r->id,
                 r->disk.c_str());
    }
  }
  DropKept();
  for (MountRecord *r : table_.Attached()) {
    if (Backend *backend = BackendFor(*r); backend != nullptr) {
      backend->Watch(*r);  // a failure nobody was told of yet is told all the same
    }
  }
  ServiceLog(HOSTLOG_INFO, "restored %zu mount(s), next id %d; attaching with the %s backend",
             table_.Attached().size(), table_.NextId(), backend_->Name());
  return true;
}

void MountService::Stop() {
  StopLooks();
  AwaitLingering();  // what has begun to end ends, as it would have in Busy
  // Every change was saved when it was made, unless saving at start failed.
  if (!tablePath_.empty() && unsaved_) {
    Outcome saved = Save(true);
    if (!saved.Ok()) {
      ServiceLog(HOSTLOG_ERROR, "%s", saved.description.c_str());
    }
  }
  KeepDisks();
  LetGoOfDisks();
}

namespace {

const char kKeeperEndpoint[] = "bmount-keeper";

// A kept descriptor's label: "<id> lock <disk>" for the disk's lock file,
// "<id> file <flags> <file>" for a claimed file, flags being those of s
// (shared), c (claimed) and r (read-only) that hold, or "-".
std::string ClaimLabel(int32_t id, const DiskClaim &c) {
  std::string flags =
      std::string(c.shared ? "s" : "") + (c.disk.claimed ? "c" : "") + (c.disk.readOnly ? "r" : "");
  return std::to_string(id) + " file " + (flags.empty() ? "-" : flags) + " " + c.file;
}

// Splits off the word before the first blank of *rest.
std::string Word(std::string *rest) {
  size_t blank = rest->find(' ');
  std::string word = rest->substr(0, blank);
  rest->erase(0, blank == std::string::npos ? rest->size() : blank + 1);
  return word;
}

}  // namespace

void MountService::KeepDisks() {
  std::vector<int> fds;
  std::vector<std::string> labels;
  std::vector<std::string> lockFiles;
  auto hand = [&](int32_t id, const std::string &lockedDisk, const std::vector<DiskClaim> &claims) {
    int handle = lockedDisk.empty() ? -1 : FileLock_Handle(lockedDisk.c_str());
    if (handle >= 0) {
      fds.push_back(handle);
      labels.push_back(std::to_string(id) + " lock " + lockedDisk);
      lockFiles.push_back(lockedDisk);
    }
    for (const DiskClaim &c : claims) {
      if (c.disk.fd >= 0) {
        fds.push_back(c.disk.fd);
        labels.push_back(ClaimLabel(id, c));
      }
    }
  };
  for (MountRecord *r : table_.Attached()) {
    auto held = claims_.find(r->id);
    hand(r->id, r->diskLocked ? r->disk : "",
         held != claims_.end() ? held->second : std::vector<DiskClaim>{});
  }
  for (const Lingering &l : lingering_) {
    hand(l.id, l.lockedDisk, l.claims);
  }
  if (fds.empty() || runFolder_.empty()) {
    return;
  }
  std::vector<const char *> texts;
  for (const std::string &l : labels) {
    texts.push_back(l.c_str());
  }
  long pid = 0;
  int rc = HostKeeper_Start(runFolder_.c_str(), kKeeperEndpoint, "bmount-keeper", fds.data(),
                            texts.data(), fds.size(), &pid);
  if (rc != 0) {
    ServiceLog(HOSTLOG_WARNING,
               "cannot keep the attached disks locked while no service runs: %s; other "
               "programs may open them meanwhile",
               ServiceErrorText(rc).c_str());
    return;
  }
  ServiceLog(HOSTLOG_INFO,
             "process %ld keeps %zu file(s) of the attached disks locked until the service "
             "starts again",
             pid, fds.size());
  // Unlocking would take the keeper's locks too: they are one open file's.
  for (const std::string &disk : lockFiles) {
    FileLock_Forget(disk.c_str());
  }
  for (MountRecord *r : table_.Attached()) {
    r->diskLocked = false;
  }
  for (Lingering &l : lingering_) {
    l.lockedDisk.clear();
  }
}

void MountService::TakeKeptDisks() {
  using Taken = std::vector<std::pair<std::string, int>>;
  Taken taken;
  auto found = [](void *context, const char *label, int fd) {
    static_cast<Taken *>(context)->emplace_back(label, fd);
  };
  int rc =
      runFolder_.empty() ? 0 : HostKeeper_Take(runFolder_.c_str(), kKeeperEndpoint, found, &taken);
  if (rc != 0) {
    ServiceLog(HOSTLOG_WARNING,
               "cannot take over the attached disks' locks from the process that keeps them: "
               "%s; they are taken anew",
               ServiceErrorText(rc).c_str());
  }
  for (auto &[label, fd] : taken) {
    std::string rest = label;
    Kept &k = kept_[std::atoi(Word(&rest).c_str())];
    std::string kind = Word(&rest);
    bool kept = false;
    if (kind == "lock" && k.lock < 0) {
      k.lockedDisk = rest;
      k.lock = fd;
      kept = true;
    } else if (kind == "file") {
      std::string flags = Word(&rest);
      DiskClaim c{rest, flags.find('s') != std::string::npos, {}};
      kept = HostDisk_Adopt(fd, flags.find('c') != std::string::npos,
                            flags.find('r') != std::string::npos, &c.disk);
      if (kept) {
        k.claims.push_back(std::move(c));
      }
    }
    if (!kept) {
      HostFile_Close(fd);
    }
  }
  if (!taken.empty()) {
    ServiceLog(HOSTLOG_INFO, "took over %zu file(s) of the attached disks, kept locked meanwhile",
               taken.size());
  }
}

std::vector<DiskClaim> MountService::ClaimKeptOrAgain(int32_t id, const std::string &disk,
                                                      const MountRecord *record) {
  auto k = kept_.find(id);
  if (k != kept_.end()) {
    std::vector<DiskClaim> claims = std::exchange(k->second.claims, {});
    if (!claims.empty() && claims[0].file == disk) {
      // The keeper of an earlier version may hand over descriptions without
      // the lock bytes emulators heed; taking them again where held is moot.
      bool raw = record != nullptr && IsRaw(*record);
      for (size_t i = 0; i < claims.size(); i++) {
        GuardAgain(claims[i], i == 0 && raw);
      }
      return claims;
    }
    LetGoInTime(std::move(claims), "", -1);  // another disk's now: they would stand in the way
  }
  return ClaimAgain(disk, record != nullptr ? record->loop : -1);
}

bool MountService::IsRaw(const MountRecord &record) {
  Backend *backend = BackendFor(record);
  if (backend == nullptr || backend->ReadsDisk()) {
    return record.daemon.empty();  // any other disk is read through its daemon
  }
  DiskImage image;
  std::string why;
  images_.Probe(record.disk, &image, &why);
  return image.Raw();
}

bool MountService::LockKeptOrAgain(int32_t id, const std::string &disk, int diskHandle) {
  auto k = kept_.find(id);
  if (k != kept_.end() && k->second.lock >= 0) {
    int handle = std::exchange(k->second.lock, -1);
    if (diskHandle >= 0 && k->second.lockedDisk == disk &&
        FileLock_Adopt(disk.c_str(), false, handle, diskHandle)) {
      return true;
    }
    HostFile_Close(handle);
  }
  if (diskHandle >= 0) {
    return FileLock_Lock(disk.c_str(), false, diskHandle) == 1;
  }
  // Its files could not be taken again (after a crash, a loop device still
  // holds the claim): the lock file goes only beside a disk that its name
  // leads to now, not into a folder swapped in for the disk's.
  HostDisk seen;
  int code = 0;
  bool locked = HostDisk_Open(disk.c_str(), false, &seen, &code) == HostDiskOpen::Opened &&
                FileLock_Lock(disk.c_str(), false, seen.fd) == 1;
  HostDisk_Close(&seen);
  return locked;
}

void MountService::DropKept() {
  for (auto &[id, k] : kept_) {
    LetGoInTime(std::move(k.claims), "", k.lock);
  }
  kept_.clear();
}

void MountService::LetGoOfDisks() {
  for (MountRecord *r : table_.Attached()) {
    UnlockDisk(r);
  }
  // Lingering daemons keep serving; the next start finds them again.
  for (Lingering &l : lingering_) {
    Unclaim(&l);
  }
  lingering_.clear();
}

bool MountService::Busy() {
  // Children left to end (a forced detach's last close) would otherwise
  // stay until the next attach or detach, which may never come.
  HostProcess_ReapLater(0);
  HostLoop_RemoveKept(kKeptFreeMs);
  EndLingering();
  return !table_.Attached().empty() || !lingering_.empty();
}

Outcome MountService::CheckDisk(const std::string &path) {
  if (path.empty()) {
    return Outcome::Fail(E_INVALIDARG, "No disk path was given.");
  }
  if (path.size() >= HOSTFS_PATH_MAX) {
    // Not quoted: a reply holding it could pass the largest frame a client
    // takes, which would cost the client its connection.
    return Outcome::Fail(E_INVALIDARG, "A disk path of " + std::to_string(path.size()) +
                                           " bytes cannot be opened: the system takes no path of " +
                                           std::to_string(HOSTFS_PATH_MAX) + " bytes or more.");
  }
  if (path[0] != '/') {
    return Outcome::Fail(E_INVALIDARG, "The disk " + DiskImage_Quoted(path) +
                                           " cannot be opened: the path is not absolute.");
  }
  // Such a name leads each process to files of its own: this service would
  // open another file than the one the program looked at.
  const std::string normal = std::filesystem::path(path).lexically_normal().string();
  for (const char *own : {"/proc/self/", "/proc/thread-self/", "/dev/fd/", "/dev/stdin",
                          "/dev/stdout", "/dev/stderr"}) {
    if (normal.compare(0, strlen(own), own) == 0) {
      return Outcome::Fail(E_INVALIDARG,
                           "The disk " + DiskImage_Quoted(path) +
                               " cannot be opened: the path leads each process to its own files.");
    }
  }
  for (unsigned char c : path) {
    if (c < 0x20 || c == 0x7F || c == '"') {
      // The listing could not show such a path, so no client could find the
      // mount again.
      return Outcome::Fail(E_INVALIDARG,
                           "The disk " + DiskImage_Quoted(path) +
                               " cannot be opened: the path holds a double quote or a control "
                               "character.");
    }
  }
  // The disk's storage may take long to answer, or never: other clients
  // are served meanwhile.
  Outcome usable;
  ComServer_Aside([&] { usable = OpenDiskAside(path); });
  return usable;
}

Outcome MountService::OpenDiskAside(const std::string &path) {
  HostDisk disk;
  int code = 0;
  HostDiskOpen status = HostDisk_Open(path.c_str(), false, &disk, &code);
  if (status != HostDiskOpen::Opened) {
    return CannotOpen("The disk " + DiskImage_Quoted(path), status, code);
  }
  HostDisk_Close(&disk);
  DiskImage image;
  Outcome opened = OpenImage(path, &image);
  if (opened.Ok() && !image.Raw()) {
    // Its volumes can only be read through FUSE.
    char *missing = nullptr;
    if (!HostMount_FuseUsable(&missing)) {
      std::string text = missing != nullptr ? missing : "FUSE cannot be used";
      free(missing);
      return Outcome::Fail(
          KindFailure(HOST_ERROR_ACCESS),
          "The disk " + DiskImage_Quoted(path) + " is in the format " + image.layers[0].format +
              ", which is read through FUSE, and FUSE is missing here: " + text + ".");
    }
  }
  return opened;
}

Outcome MountService::OpenImage(const std::string &path, DiskImage *image,
                                DiskImageCache::Seen *seen) {
  std::string why;
  switch (images_.Probe(path, image, &why, seen)) {
    case ImageProblem::None:
      return OwnerMayUse(path, *image, false);
    case ImageProblem::Missing:
      return Outcome::Fail(KindFailure(HOST_ERROR_NOT_FOUND), why);
    case ImageProblem::Unsupported:
    case ImageProblem::Damaged:
      return Outcome::Fail(KindFailure(HOST_ERROR_INVALID), why);
    case ImageProblem::Tool:
      break;
  }
  return Outcome::Fail(E_FAIL, why);
}

Outcome MountService::CheckBeforeWriting(const MountRecord &record, const DiskImage &image) {
  std::string why;
  if (record.diskReadOnly || !image.writable) {
    return {};
  }
  // The very file claimed, not what its name leads to by now.
  auto held = claims_.find(record.id);
  HeldFiles names = held != claims_.end() ? OpenedNames(held->second, image) : HeldFiles{};
  auto found = names.find(image.layers[0].path);
  const std::string opened = found != names.end() ? found->second : "";
  // It may take many seconds: detaches of other mounts go on meanwhile. It
  // reads only the files this mount holds, and the mount stays as it is:
  // its detach, and any other attach, wait for it. Then this attach waits
  // for the detaches that began.
  ComServer_InTurn([this] { checking_ = true; });
  ImageProblem problem = DiskImage_CheckTop(image, opened, &why);
  ComServer_InTurn([this] {
    checking_ = false;
    ComServer_WaitUntil([this] { return detaching_ == 0; });
  });
  // A check that could not end is no pass: a user can have it run out of
  // its limits on purpose, with a damaged image.
  if (problem != ImageProblem::None) {
    return Outcome::Fail(KindFailure(HOST_ERROR_INVALID), why);
  }
  return {};
}

Outcome MountService::OwnerMayUse(const std::string &path, const DiskImage &image, bool writing) {
  // A disk names its other files itself: they are opened as this service's
  // user only when the disk's owner could have opened them too, so that a
  // disk cannot have another user's files read or written. Judged here by
  // name, and again on the files as they were opened (OwnerMayNotOpen).
  // Writing adds only the top layer's extents to what the open of the disk
  // asked.
  size_t layers = writing ? std::min<size_t>(image.layers.size(), 1) : image.layers.size();
  std::vector<HostOwnedFile> files;
  for (size_t i = 0; i < layers; i++) {
    bool write = writing && i == 0 && image.layers[i].writable;
    if (i > 0) {
      files.push_back({image.layers[i].path.c_str(), write, nullptr});
    }
    for (const std::string &extent : image.layers[i].extents) {
      files.push_back({extent.c_str(), write, nullptr});
    }
  }
  size_t refused =
      files.empty() ? 0 : HostIdentity_OwnerRefuses(path.c_str(), files.data(), files.size());
  return refused < files.size() ? OwnerMayNot(path, files[refused].path, files[refused].write)
                                : Outcome{};
}

Outcome MountService::ReadDiskVolumes(const std::string &path, std::vector<VolumeExtent> *volumes) {
  // As long as the disk's storage takes, or a look daemon: other clients
  // are served meanwhile.
  Outcome read;
  looking_++;
  ComServer_Aside([&] { read = ReadVolumesAside(path, volumes); });
  looking_--;
  return read;
}

Outcome MountService::ReadVolumesAside(const std::string &path,
                                       std::vector<VolumeExtent> *volumes) {
  DiskImage image;
  DiskImageCache::Seen seen;
  Outcome opened = OpenImage(path, &image, &seen);
  if (!opened.Ok()) {
    return opened;
  }
  if (images_.Volumes(path, seen, volumes)) {
    return {};  // the files are as they were when their volumes were read
  }
  std::string file = path;
  std::string id;
  // A look daemon is this call's until its volumes are read.
  std::unique_ptr<Look, std::function<void(Look *)>> look(nullptr,
                                                          [this](Look *l) { GiveBackLook(l); });
  if (!image.Raw()) {
    // The daemon opens the files as this service opened and judged them,
    // not what their names lead to by then (a FIFO there would hold it, and
    // this service, until the call's time is up). Extents named outside
    // their descriptor's folder it opens by their names: what it opened is
    // checked before anything is read.
    HeldClaims held{ClaimsOf(path, image)};
    size_t opened = 0;
    Outcome failed;
    for (DiskClaim &c : held.claims) {
      int code = 0;
      HostDiskOpen status = HostDisk_Open(c.file.c_str(), false, &c.disk, &code);
      if (status != HostDiskOpen::Opened) {
        failed = CannotOpen(FileOfDisk(path, c.file, opened == 0), status, code);
        break;
      }
      opened++;
    }
    // A file refused is named before one that could not be opened after it.
    Outcome refused = OwnerMayNotOpen(path, held.claims, opened, false);
    if (!refused.Ok() || !failed.Ok()) {
      return !refused.Ok() ? refused : failed;
    }
    std::string why;
    // Not for good: looks stuck in storage that never answers would keep
    // every other image's caller, its thread and its connection.
    look.reset(TakeLook());
    if (look == nullptr) {
      return Outcome::Fail(KindFailure(HOST_ERROR_TIMED_OUT),
                           "The disk " + DiskImage_Quoted(path) +
                               " cannot be read: the daemons that read partition tables have been "
                               "reading other disks for " +
                               std::to_string(kLookWait.count()) + " seconds.");
    }
    std::unique_ptr<StorageDaemon> &daemon = look->daemon;
    if (daemon == nullptr || !daemon->Alive()) {
      StopLook(look.get());
      daemon = std::make_unique<StorageDaemon>(daemonBase_);
      if (!daemon->Launch(look->name, &why)) {
        StopLook(look.get());
        return Outcome::Fail(E_FAIL,
                             "The disk " + DiskImage_Quoted(path) + " cannot be read: " + why);
      }
    }
    id = "d" + std::to_string(++lookIds_);
    if (!daemon->Open(id, image, true, &why, OpenedNames(held.claims, image)) ||
        !daemon->Export(id, id, false, &why)) {
      daemon->Close(id, &why);
      StopLook(look.get());
      return Outcome::Fail(E_FAIL,
                           "The disk " + DiskImage_Quoted(path) + " cannot be read: " + why);
    }
    std::string stray = OpenedUnchecked(daemon->Record().pid, held.claims, look->name);
    if (!stray.empty()) {
      if (!daemon->Close(id, &why)) {
        StopLook(look.get());
      }
      return LedElsewhere(path, stray);
    }
    file = daemon->ExportFile(id);
  }
  int error = 0;
  VolumeScan scan = ReadVolumes(file, volumes, &error);
  if (!id.empty()) {
    std::string why;
    HostFileStamp log;
    if (!look->daemon->Close(id, &why)) {
      ServiceLog(HOSTLOG_WARNING, "%s: %s", path.c_str(), why.c_str());
      StopLook(look.get());
    } else if (HostState_Stamp((look->daemon->Folder() + "/log").c_str(), &log) &&
               log.size > kMaxLookLog) {
      // What a disk makes it say at every look would fill its log for as
      // long as it is kept: a new one starts with an empty one.
      StopLook(look.get());
    }
  }
  look.reset();
  switch (scan) {
    case VolumeScan::Found:
      images_.Remember(path, seen, *volumes);
      return {};
    case VolumeScan::NoVolumes:
      return Outcome::Fail(BMOUNT_E_NO_VOLUMES, "The disk " + DiskImage_Quoted(path) +
                                                    " has no partition table or no partitions.");
    case VolumeScan::Unreadable:
      break;
  }
  return Outcome::Fail(
      SystemFailure(error),
      "The disk " + DiskImage_Quoted(path) + " cannot be read: " + ServiceErrorText(error) + ".");
}

MountService::Look *MountService::TakeLook() {
  std::unique_lock<std::mutex> hold(looksLock_);
  Look *taken = nullptr;
  auto found = [&] {
    for (std::unique_ptr<Look> &l : looks_) {
      if (!l->busy) {
        taken = l.get();
        return true;
      }
    }
    if (looks_.size() >= kLooks) {
      return false;
    }
    looks_.push_back(std::make_unique<Look>());
    taken = looks_.back().get();
    taken->kept = looks_.size() == 1;
    taken->name = kLook + (taken->kept ? "" : std::to_string(looks_.size()));
    return true;
  };
  if (!lookFree_.wait_for(hold, kLookWait, found)) {
    return nullptr;
  }
  taken->busy = true;
  return taken;
}

void MountService::GiveBackLook(Look *look) {
  if (look == nullptr) {
    return;
  }
  // One daemon kept ready will do: the others served looks at once. Ended
  // before another call may start one in its folder.
  if (!look->kept) {
    StopLook(look);
  }
  {
    std::lock_guard<std::mutex> hold(looksLock_);
    look->busy = false;
  }
  lookFree_.notify_one();
}

void MountService::StopLook(Look *look) {
  if (look->daemon == nullptr) {
    return;
  }
  std::string why;
  if (!look->daemon->Stop(&why)) {
    ServiceLog(HOSTLOG_WARNING, "the daemon that reads partition tables: %s", why.c_str());
  }
  look->daemon.reset();
}

void MountService::StopLooks() {
  for (std::unique_ptr<Look> &l : looks_) {
    StopLook(l.get());
  }
}

Outcome MountService::CreateMount(const std::string &disk, int32_t volume,
                                  const VolumeExtent &extent, int32_t *id) {
  // What a crash left in use at the start is taken down once let go, before
  // it keeps this mount from its letter or disk; not while an attach sets up
  // what no record owns yet (each attach does it first).
  if (attaching_ == 0) {
    RemoveStrays(true);
  }
  MountRecord record;
  record.disk = disk;
  record.volume = volume;
  record.offset = extent.offset;
  record.length = extent.length;
  record.backend = backend_->Name();
  if (!table_.Create(&record)) {
    return Outcome::Fail(E_FAIL, "No mount id is left in the mount table.");
  }
  faults_.Reach("CreateMount.made");
  // The next id is saved at once so that it is never handed out again. Not
  // flushed: a crash of the machine takes every client that knew the id
  // along, and the id of a mount that got attached is flushed with it.
  Outcome saved = Save(false);
  if (!saved.Ok()) {
    table_.Erase(record.id);
    return saved;
  }
  faults_.Reach("CreateMount.saved");
  *id = record.id;
  return {};
}

bool MountService::HasMount(int32_t id) { return table_.Find(id) != nullptr; }

Outcome MountService::UnknownMount(int32_t id) const {
  return Outcome::Fail(E_INVALIDARG, "There is no mount with id " + std::to_string(id) + ".");
}

Outcome MountService::Attach(int32_t id, uint32_t driveMask) {
  // Attaches go one at a time, from start to end: each decides by what is
  // attached so far. Detaches wait for them, but while an image is checked.
  ComServer_WaitUntil([this] { return attaching_ == 0 && detaching_ == 0; });
  attaching_ = id;
  // A disk whose forced volume was let go of just now is free again once
  // its daemon has ended (waited for aside), and so is what a crash left in
  // use, once let go (see CreateMount).
  EndLingering();
  AwaitLingering();
  RemoveStrays(true);
  HostProcess_ReapLater(0);  // children left to end (write-outs) that have ended since
  // The disk's storage may take long to answer, or never: other clients are
  // served meanwhile. What they may touch too is touched in turn.
  Outcome done;
  ComServer_Aside([&] { done = AttachAside(id, driveMask); });
  attaching_ = 0;
  return done;
}

Outcome MountService::AttachAside(int32_t id, uint32_t driveMask) {
  // The mount is worked on as staged, and shown to others once attached.
  // Attached records stay as they are meanwhile: no detach runs.
  MountRecord *record = nullptr;
  MountRecord staged;
  std::vector<const MountRecord *> others;
  ComServer_InTurn([&] {
    record = table_.Find(id);
    if (record != nullptr) {
      staged = *record;
      others = static_cast<const MountTable &>(table_).Attached();
    }
  });
  if (record == nullptr) {
    return UnknownMount(id);
  }
  if (driveMask == 0 || (driveMask & (driveMask - 1)) != 0) {
    char text[128];
    snprintf(text, sizeof text, "The drive mask 0x%X must have exactly one bit set.", driveMask);
    return Outcome::Fail(E_INVALIDARG, text);
  }
  int bit = __builtin_ctz(driveMask);
  if (bit >= 26) {
    char text[128];
    snprintf(text, sizeof text, "The drive mask 0x%X names no drive letter.", driveMask);
    return Outcome::Fail(E_INVALIDARG, text);
  }
  char letter = static_cast<char>('a' + bit);
  std::string drive = std::string(1, static_cast<char>('A' + bit)) + ":";
  if (staged.letter != 0) {
    return Outcome::Fail(KindFailure(HOST_ERROR_BUSY), "Mount " + std::to_string(id) +
                                                           " is already attached as " +
                                                           std::string(1, staged.letter) + ":.");
  }
  const Outcome letterInUse = Outcome::Fail(KindFailure(HOST_ERROR_EXISTS),
                                            "The drive letter " + drive + " is already in use.");
  if ((HostDrives_Mask() & driveMask) != 0) {
    return letterInUse;
  }
  for (const MountRecord *other : others) {
    // A drive entry removed by hand leaves its mount attached.
    if (other->letter == letter) {
      return letterInUse;
    }
    if (IsDiskOf(*other, staged.disk)) {
      return Outcome::Fail(KindFailure(HOST_ERROR_BUSY),
                           "A volume of the disk " + DiskImage_Quoted(staged.disk) +
                               " is already mounted as " + std::string(1, other->letter) + ":.");
    }
  }
  DiskImage image;
  Outcome opened = OpenImage(staged.disk, &image);
  if (!opened.Ok()) {
    return opened;
  }
  std::vector<DiskClaim> claims;
  Outcome claimed = ClaimDisk(staged, image, &claims);
  if (!claimed.Ok()) {
    return claimed;
  }
  KeepClaim(&staged, std::move(claims));
  // Made beside the very disk claimed: a folder on the way swapped since
  // fails the attach, as any lock file that cannot be made does.
  int locked = FileLock_Lock(staged.disk.c_str(), false, staged.diskHandle);
  int code = locked == 1 ? 0 : Host_GetLastError();
  // No lock file can be made on a read-only file system, and none is needed
  // there: nobody can write the disk, and it is attached read-only.
  bool lockless = locked == -1 && code == EROFS && staged.diskReadOnly;
  if (locked != 1 && !lockless) {
    UnlockDisk(&staged);
    return Outcome::Fail(locked == 0 ? KindFailure(HOST_ERROR_BUSY) : SystemFailure(code),
                         "The disk " + DiskImage_Quoted(staged.disk) +
                             (locked == 0 ? " is in use by another program."
                                          : " cannot be locked: " + ServiceErrorText(code) + "."));
  }
  staged.diskLocked = !lockless;
  faults_.Reach("MountAs.locked");
  std::unique_ptr<StorageDaemon> daemon;
  if (!image.Raw() && backend_->ReadsDisk()) {
    Outcome checked = CheckBeforeWriting(staged, image);
    if (!checked.Ok()) {
      UnlockDisk(&staged);
      return checked;
    }
    Outcome started = StartDaemon(&staged, image, &daemon);
    if (!started.Ok()) {
      UnlockDisk(&staged);
      return started;
    }
  }
  // Let go of in order when the attach fails.
  auto giveUp = [&] {
    if (!staged.daemon.empty()) {
      FinishDaemon(staged, daemon.get());
      staged.daemon.clear();
      staged.view.clear();
    }
    UnlockDisk(&staged);
  };
  staged.letter = letter;
  staged.backend = backend_->Name();
  std::string why;
  int rc = backend_->Attach(&staged, &why);
  if (rc != 0) {
    giveUp();
    if (Host_ErrorKind(rc) == HOST_ERROR_EXISTS) {
      return letterInUse;
    }
    return Outcome::Fail(SystemFailure(rc), "The volume cannot be attached as " + drive + " (" +
                                                (why.empty() ? ServiceErrorText(rc) : why) + ").");
  }
  Outcome saved;
  const MountRecord unattached = *record;  // only this attach changes it
  auto show = [&] {
    *record = staged;
    if (daemon != nullptr) {
      daemons_[id] = std::move(daemon);
    }
  };
  ComServer_InTurn([&] {
    show();
    saved = Save(true);
    if (!saved.Ok()) {
      daemon = std::move(daemons_[id]);
      daemons_.erase(id);
      *record = unattached;
    }
  });
  if (!saved.Ok()) {
    if (backend_->Detach(staged, true) != 0) {
      // Attached it stays, as the table in memory says; the saved one is
      // mended by the next save that succeeds.
      ServiceLog(HOSTLOG_ERROR,
                 "mount %d: cannot detach %c: after a failed save; it stays attached", id, letter);
      ComServer_InTurn([&] {
        show();
        unsaved_ = true;
      });
      saved.description += " The volume is attached all the same.";
      return saved;
    }
    staged.letter = 0;
    staged.loop = -1;
    staged.mounted = false;
    giveUp();
    return saved;
  }
  faults_.Reach("MountAs.saved");
  ServiceLog(HOSTLOG_INFO, "mount %d: volume %d of %s attached as %c:", id, staged.volume,
             staged.disk.c_str(), letter);
  return {};
}

Outcome MountService::Detach(int32_t id, bool force) {
  // An attach has the attached mounts and the backend to itself, but while
  // its image is checked; so has a detach.
  ComServer_WaitUntil(
      [this, id] { return attaching_ != id && (attaching_ == 0 || checking_) && detaching_ == 0; });
  detaching_++;
  Outcome done = DetachNow(id, force);
  detaching_--;
  return done;
}

Outcome MountService::DetachNow(int32_t id, bool force) {
  HostProcess_ReapLater(0);  // children left to end (write-outs) that have ended since
  MountRecord *record = table_.Find(id);
  if (record == nullptr) {
    return UnknownMount(id);
  }
  if (record->letter == 0) {
    table_.Erase(id);
    return {};
  }
  Backend *backend = BackendFor(*record);
  if (backend == nullptr) {
    return Outcome::Fail(E_FAIL, "The volume of mount " + std::to_string(id) +
                                     " was attached by the " + record->backend +
                                     " backend, which this service cannot use.");
  }
  // The kernel drops what it failed to write (the disk's file system full,
  // its daemon killed, say) and unmounts all the same: a plain detach is
  // where to say so, also of what was written while it wrote out. The
  // kernel says it once; every plain detach after that says it again.
  auto lost = lost_.find(id);
  auto flushing = flushing_.find(id);
  int pending = flushing != flushing_.end() ? flushing->second : -1;
  int written = 0;  // what became of the volume's writes
  if (!force && lost != lost_.end()) {
    written = lost->second;
  } else if (!force) {
    // Storage that is slow or stuck takes up to the backend's 10 s: others
    // are served meanwhile. The backend is left to this write-out alone:
    // attaches and detaches wait for it.
    ComServer_Aside([&] { written = backend->Flush(*record, &pending); });
  }
  int rc = written;
  if (force) {
    rc = backend->Detach(*record, true);
  } else if (written == 0) {
    faults_.Reach("Unmount.flushed");
    rc = backend->DetachWrittenOut(*record, &pending, &written);
  }
  if (pending >= 0) {
    flushing_[id] = pending;
  } else {
    flushing_.erase(id);
  }
  if (Host_ErrorKind(written) == HOST_ERROR_TIMED_OUT) {
    return Outcome::Fail(SystemFailure(written),
                         "The volume of mount " + std::to_string(id) + " (" +
                             std::string(1, record->letter) +
                             ":) is still being written to the disk: the storage that holds the "
                             "disk's files is slow or does not answer. Try again later, or "
                             "dismount with force to take the volume away as it is.");
  }
  if (written != 0) {
    lost_[id] = written;
    return Outcome::Fail(SystemFailure(written),
                         "Data written to the volume of mount " + std::to_string(id) + " (" +
                             std::string(1, record->letter) +
                             ":) was lost: it could not be written to the disk (" +
                             ServiceErrorText(written) +
                             "). Check the file system that holds the disk's files (it may be "
                             "full) and the volume's files, or dismount with force to take the "
                             "volume away as it is.");
  }
  if (rc != 0 && !force && Host_ErrorKind(rc) == HOST_ERROR_BUSY) {
    return Outcome::Fail(SystemFailure(rc), "The volume of mount " + std::to_string(id) + " (" +
                                                std::string(1, record->letter) +
                                                ":) is in use: files on it are open or a process "
                                                "works in one of its folders. Close them, or "
                                                "dismount with force.");
  }
  if (rc != 0) {
    return Outcome::Fail(SystemFailure(rc),
                         "The volume of mount " + std::to_string(id) + " cannot be detached from " +
                             std::string(1, record->letter) + ": (" + ServiceErrorText(rc) + ").");
  }
  lost_.erase(id);
  HostMount_LeaveFlush(&pending);  // a write-out that goes on ends with the daemon
  flushing_.erase(id);
  std::string daemon = record->daemon;
  // The device may keep users for as long as they like (forced, or readers
  // of the device itself), and frees itself when they go: the daemon serves
  // them until then.
  bool linger = false;
  if (!daemon.empty()) {
    if (record->loop >= 0) {
      // Up to 5 s for a plain detach: others are served meanwhile. The wait
      // reads copies only; the mount stays as it is, and attaches and
      // detaches wait for this one.
      const int32_t loop = record->loop;
      const std::string view = record->view;
      const int checks = force ? kLetGoChecks / 10 : kLetGoChecks;
      ComServer_Aside([&] { linger = !WaitLoopLetGo(loop, view, checks); });
    }
    if (!linger) {
      EndDaemon(record);
    }
  }
  char letter = record->letter;
  record->letter = 0;
  // Not flushed: should a crash of the machine lose this save, the next start
  // finds the volume detached and its drive entry gone, and drops the record.
  Outcome saved = Save(false);
  if (!saved.Ok()) {
    record->letter = letter;
    auto restart = [&] {
      DiskImage image;
      std::unique_ptr<StorageDaemon> restarted;
      if (!OpenImage(record->disk, &image).Ok() || !StartDaemon(record, image, &restarted).Ok()) {
        return false;
      }
      daemons_[id] = std::move(restarted);
      return true;
    };
    bool again = !linger && (daemon.empty() || restart()) && backend->Attach(record, nullptr) == 0;
    if (again) {
      return saved;
    }
    // Detached it stays, and the table in memory says so: the saved one is
    // mended by the next save that succeeds, or by the next start, which
    // finds the volume gone.
    ServiceLog(HOSTLOG_ERROR,
               "mount %d: cannot attach %c: again after a failed save; it stays "
               "detached",
               id, letter);
    record->letter = 0;
    if (linger) {
      Linger(record);
    } else {
      EndDaemon(record);
      UnlockDisk(record);
    }
    table_.Erase(id);
    unsaved_ = true;
    saved.description += " The volume is detached all the same.";
    return saved;
  }
  faults_.Reach("Unmount.saved");
  if (linger) {
    Linger(record);
  } else {
    UnlockDisk(record);
  }
  faults_.Reach("Unmount.unlocked");
  table_.Erase(id);
  ServiceLog(HOSTLOG_INFO, "mount %d: %c: detached%s", id, letter, force ? " (forced)" : "");
  return {};
}

void MountService::HoldMount(int32_t id) { holds_[id]++; }

void MountService::DropMount(int32_t id) {
  auto it = holds_.find(id);
  if (it == holds_.end() || --it->second > 0) {
    return;
  }
  holds_.erase(it);
  MountRecord *record = table_.Find(id);
  if (record != nullptr && record->letter == 0) {
    table_.Erase(id);
  }
}

std::vector<std::string> MountService::Listing() {
  std::vector<std::string> texts;
  for (auto it = daemons_.begin(); it != daemons_.end();) {
    const MountRecord *r = table_.Find(it->first);
    if (r != nullptr && !it->second->Alive()) {
      // Its drive stays listed: dismounting it takes away what is left.
      ServiceLog(HOSTLOG_ERROR,
                 "mount %d: %c: the qemu-storage-daemon of %s has ended; the volume gives I/O "
                 "errors until it is dismounted",
                 r->id, r->letter, r->disk.c_str());
      it = daemons_.erase(it);
    } else {
      ++it;
    }
  }
  for (const MountRecord *r : table_.Attached()) {
    texts.push_back("id=" + std::to_string(r->id) + " file=" + DiskImage_Quoted(r->disk) +
                    " driveLetter=\"" + std::string(1, r->letter) + ":\"");
  }
  for (std::string &extra : faults_.Listings()) {
    texts.push_back(std::move(extra));
  }
  return texts;
}

Outcome MountService::Save(bool flush) {
  int rc = table_.Save(tablePath_, flush);
  if (rc != 0) {
    return Outcome::Fail(SystemFailure(rc),
                         "The mount table cannot be saved: " + ServiceErrorText(rc) + ".");
  }
  unsaved_ = false;
  return {};
}

void MountService::KeepDamagedTable() {
  std::string copy = tablePath_ + ".damaged";
  char *data = nullptr;
  size_t length = 0;
  int rc = HostState_ReadFile(tablePath_.c_str(), kMaxTableCopy, &data, &length);
  if (rc == 0) {
    rc = HostState_WriteFile(copy.c_str(), data, length);
    free(data);
  }
  if (rc == 0) {
    ServiceLog(HOSTLOG_WARNING, "mount table %s: the damaged table is kept as %s",
               tablePath_.c_str(), copy.c_str());
  } else {
    ServiceLog(HOSTLOG_ERROR, "mount table %s: cannot keep a copy: %s", tablePath_.c_str(),
               ServiceErrorText(rc).c_str());
  }
}

Backend *MountService::BackendFor(const MountRecord &record) {
  if (record.backend == backend_->Name()) {
    return backend_.get();
  }
  auto it = otherBackends_.find(record.backend);
  if (it == otherBackends_.end()) {
    std::string error;
    std::unique_ptr<Backend> made = Backend_Make(record.backend, &error);
    if (made == nullptr) {
      ServiceLog(HOSTLOG_WARNING, "mount %d: %s", record.id, error.c_str());
    } else {
      made->SetStepHook([this](const char *step) { faults_.Reach(step); });
    }
    it = otherBackends_.emplace(record.backend, std::move(made)).first;
  }
  return it->second.get();
}

bool MountService::Rebuild() {
  MountTable read = table_;
  std::vector<MountRecord> found;
  int32_t highest = 0;
  for (const char *name : {"loop", "record"}) {
    Backend *backend = backend_.get();
    if (name != std::string(backend_->Name())) {
      std::string unused;
      std::unique_ptr<Backend> other = Backend_Make(name, &unused);
      if (other == nullptr) {
        continue;  // not usable by this process: nothing of it can be here
      }
      other->SetStepHook([this](const char *step) { faults_.Reach(step); });
      backend = other.get();
      otherBackends_[name] = std::move(other);
    }
    backend->Recover(&found, &highest);
  }
  table_ = MountTable();
  table_.KeepNextIdAbove(std::max(read.NextId() - 1, highest));
  for (MountRecord &r : found) {
    // Lines of a damaged table that could still be read know the disk by
    // the path the client gave.
    const MountRecord *before = read.Find(r.id);
    if (before != nullptr && before->letter == r.letter && before->backend == r.backend &&
        before->loop == r.loop) {
      r.disk = before->disk;
      r.volume = before->volume;
      r.daemon = before->daemon;
    } else {
      r.daemon = DaemonOfExport(r.disk);
      // The loop device presents a daemon's export: the daemon names the disk.
      DaemonRecord daemon;
      if (DaemonRecord_Parse(r.daemon, &daemon)) {
        std::string label = StorageDaemon_Label(daemonBase_, daemon.name);
        if (!label.empty()) {
          r.disk = label;
        }
      }
    }
    if (table_.Restore(r)) {
      ServiceLog(HOSTLOG_WARNING, "mount %d: %c: volume %d of %s found attached by the %s backend",
                 r.id, r.letter, r.volume, r.disk.c_str(), r.backend.c_str());
    } else {
      ServiceLog(HOSTLOG_WARNING, "mount %d: %c: its id or letter is taken twice; left as it is",
                 r.id, r.letter);
    }
  }
  KnowExports();
  if (!found.empty() || highest > 0 || read.NextId() > 1) {
    ServiceLog(HOSTLOG_WARNING,
               "mount table %s rebuilt from the loop devices, mounts, volume folders and drive "
               "entries: %zu mount(s), next id %d",
               tablePath_.c_str(), table_.Attached().size(), table_.NextId());
    return true;
  }
  return false;
}

void MountService::KnowExports() {
  for (MountRecord *r : table_.Attached()) {
    DaemonRecord daemon;
    if (!r->daemon.empty() && DaemonRecord_Parse(r->daemon, &daemon)) {
      r->view = MountExport(daemon);
    }
  }
}

bool MountService::AdoptMounts() {
  KnowExports();
  bool changed = false;
  for (MountRecord *r : table_.Attached()) {
    Backend *backend = BackendFor(*r);
    if (backend != nullptr && !backend->Adopt(*r)) {
      ServiceLog(HOSTLOG_WARNING, "mount %d: %c: no longer exists and is forgotten", r->id,
                 r->letter);
      table_.Erase(r->id);
      changed = true;
    }
  }
  RemoveStrays(false);
  return changed;
}

void MountService::RemoveStrays(bool onlyWhereKept) {
  std::vector<Backend *> inUse{backend_.get()};
  for (auto &other : otherBackends_) {
    if (other.second != nullptr) {
      inUse.push_back(other.second.get());
    }
  }
  for (Backend *backend : inUse) {
    if (onlyWhereKept && !backend->KeptStrays()) {
      continue;
    }
    std::vector<const MountRecord *> owned;
    for (const MountRecord *r : static_cast<const MountTable &>(table_).Attached()) {
      if (r->backend == backend->Name()) {
        owned.push_back(r);
      }
    }
    backend->RemoveStrays(owned);
  }
}

Outcome MountService::ClaimDisk(const MountRecord &record, const DiskImage &image,
                                std::vector<DiskClaim> *claims) {
  const std::string name = DiskImage_Quoted(record.disk);
  Outcome refused = OwnerMayUse(record.disk, image, true);
  if (!refused.Ok()) {
    return refused;
  }
  for (DiskClaim &claim : ClaimsOf(record.disk, image)) {
    bool top = claims->empty();
    refused =
        ClaimFile(record, FileOfDisk(record.disk, claim.file, top), &claim, top && image.Raw());
    if (!refused.Ok() && !top && NamedBefore(*claims, claim.file)) {
      // Its own earlier claim holds it: no other program to look for.
      refused = Outcome::Fail(KindFailure(HOST_ERROR_INVALID),
                              "The disk " + name + " names the file " +
                                  DiskImage_Quoted(claim.file) + " more than once.");
    }
    if (!refused.Ok()) {
      break;
    }
    claims->push_back(claim);
    // An image is as large as it says, however large its file.
    uint64_t size = image.Raw() ? claim.disk.size : image.virtualSize;
    if (top && (record.offset > size || record.length > size - record.offset)) {
      refused = Outcome::Fail(KindFailure(HOST_ERROR_INVALID),
                              "Volume " + std::to_string(record.volume) + " of the disk " + name +
                                  " lies outside it: the volume ends at byte " +
                                  std::to_string(record.offset + record.length) +
                                  ", the disk has " + std::to_string(size) + " bytes.");
      break;
    }
  }
  // The top layer's files are written through the volume; parents only read.
  // A file refused is named before a later one that could not be claimed.
  Outcome denied = OwnerMayNotOpen(record.disk, *claims, claims->size(), image.layers[0].writable);
  if (!denied.Ok()) {
    refused = denied;
  }
  if (!refused.Ok()) {
    for (DiskClaim &c : *claims) {
      HostDisk_Close(&c.disk);
    }
    claims->clear();
  }
  return refused;
}

Outcome MountService::ClaimFile(const MountRecord &record, const std::string &subject,
                                DiskClaim *claim, bool rawTop) {
  int code = 0;
  HostDiskOpen status = OpenClaim(claim, &code);
  if (status == HostDiskOpen::InUse) {
    // A loop device keeps the claim of the descriptor it was set up on, also
    // after a forced detach: name it, or let one on its way out go first.
    HostDisk seen;
    if (HostDisk_Open(claim->file.c_str(), false, &seen, &code) == HostDiskOpen::Opened) {
      Outcome holder = Covered(record, subject, seen, claim->shared, kCoverChecks);
      HostDisk_Close(&seen);
      if (!holder.Ok()) {
        return holder;
      }
    }
    status = OpenClaim(claim, &code);
  }
  if (status != HostDiskOpen::Opened) {
    return CannotOpen(subject, status, code);
  }
  Outcome refused = Covered(record, subject, claim->disk, claim->shared, kCoverChecks);
  if (refused.Ok() && !GuardClaim(*claim, rawTop)) {
    // Written, or kept from being written, by another program already.
    refused = CannotOpen(subject, HostDiskOpen::InUse, 0);
  }
  if (!refused.Ok()) {
    HostDisk_Close(&claim->disk);
  }
  return refused;
}

Outcome MountService::Covered(const MountRecord &record, const std::string &subject,
                              const HostDisk &disk, bool shared, int checks) {
  Outcome refused;
  ComServer_InTurn([&] { refused = AttachedOverlap(record, subject, disk, shared); });
  if (!refused.Ok()) {
    return refused;
  }
  // A loop device first: one set up on a raw disk's claim keeps the claim's
  // locks, which would be taken for another program's.
  int loop = HostDisk_CoveringLoop(disk);
  for (int i = 1; i < checks && loop >= 0; i++) {
    std::this_thread::sleep_for(kCoverPause);
    loop = HostDisk_CoveringLoop(disk);
  }
  if (loop >= 0) {
    return Outcome::Fail(
        KindFailure(HOST_ERROR_BUSY),
        subject + " is in use by the loop device /dev/loop" + std::to_string(loop) + ".");
  }
  // A file to be written must not be open in an emulator meanwhile, such as
  // the daemon of a volume that a stopped service left attached; a parent is
  // only read, and emulators may share it.
  if (!shared && HostDisk_LockedElsewhere(disk)) {
    // A look daemon reading volumes meanwhile holds a reader's lock on
    // the files a format opens itself (a vmdk's extents), under whatever
    // name the disk was given there: its locks are let go of in time.
    bool waited = false;
    ComServer_InTurn([&] {
      auto looked = [this] { return looking_ == 0; };
      waited = !looked() && ComServer_WaitUntil(looked, static_cast<int>(kLookWait.count()) * 1000);
    });
    if (!waited || HostDisk_LockedElsewhere(disk)) {
      return CannotOpen(subject, HostDiskOpen::InUse, 0);
    }
  }
  return {};
}

std::vector<DiskClaim> MountService::ClaimAgain(const std::string &disk, int32_t loop) {
  DiskImage image;
  std::string why;
  images_.Probe(disk, &image, &why);
  std::vector<DiskClaim> claims;
  for (DiskClaim &c : ClaimsOf(disk, image)) {
    int code = 0;
    HostDiskOpen status = OpenClaim(&c, &code);
    if (status == HostDiskOpen::InUse && claims.empty() && image.Raw() && loop >= 0 &&
        HostDisk_Open(c.file.c_str(), false, &c.disk, &code) == HostDiskOpen::Opened) {
      // Its loop device holds the claim, on a description that an earlier
      // version took none of the lock bytes on: they go on one of ours.
      // Where they are held already, as this version holds them, all stays.
      // Another holder's claim is theirs.
      if (HostDisk_CoveringLoop(c.disk) == loop && GuardClaim(c, true)) {
        claims.push_back(c);
        continue;
      }
      HostDisk_Close(&c.disk);
    }
    if (status == HostDiskOpen::Opened) {
      GuardAgain(c, claims.empty() && image.Raw());
      claims.push_back(c);
    } else if (claims.empty()) {
      break;  // without the top, others go by what its path names now
    }
  }
  return claims;
}

Outcome MountService::AttachedOverlap(const MountRecord &record, const std::string &subject,
                                      const HostDisk &disk, bool shared) {
  for (const Lingering &l : lingering_) {
    for (const DiskClaim &c : l.claims) {
      if (c.disk.fd >= 0 && !(shared && c.shared) && HostDisk_Overlap(disk, c.disk)) {
        return Outcome::Fail(KindFailure(HOST_ERROR_BUSY),
                             subject + " belongs to a volume detached by force from /dev/loop" +
                                 std::to_string(l.loop) + ", whose users have not let go yet.");
      }
    }
  }
  for (const MountRecord *other : table_.Attached()) {
    if (other->id == record.id) {
      continue;
    }
    auto held = claims_.find(other->id);
    std::vector<DiskClaim> now;
    if (held == claims_.end()) {
      // Its claims could not be taken again after a restart: go by what its
      // path names now.
      int code = 0;
      now.push_back({other->disk, false, {}});
      HostDisk_Open(other->disk.c_str(), false, &now[0].disk, &code);
    }
    const std::vector<DiskClaim> &theirs = held != claims_.end() ? held->second : now;
    std::string what;
    for (const DiskClaim &c : theirs) {
      // Parents are only read: two chains may share them.
      if (what.empty() && c.disk.fd >= 0 && !(shared && c.shared) &&
          HostDisk_Overlap(disk, c.disk)) {
        what = &c == &theirs[0] ? "the disk " + DiskImage_Quoted(other->disk)
                                : "the file " + DiskImage_Quoted(c.file) + " of the disk " +
                                      DiskImage_Quoted(other->disk);
      }
    }
    for (DiskClaim &c : now) {
      HostDisk_Close(&c.disk);
    }
    if (!what.empty()) {
      return Outcome::Fail(KindFailure(HOST_ERROR_BUSY),
                           subject + " is " + what + " or lies on it, and a volume of that is " +
                               "already mounted as " + std::string(1, other->letter) + ":.");
    }
  }
  return {};
}

bool MountService::IsDiskOf(const MountRecord &other, const std::string &disk) {
  if (other.disk == disk) {
    return true;
  }
  // Looking the other disk's name up would wait for its storage, which may
  // not answer: what is held open of it tells.
  auto held = claims_.find(other.id);
  return held != claims_.end() && !held->second.empty()
             ? HostDisk_IsNamedBy(held->second[0].disk, disk.c_str())
             : File_IsSameFile(other.disk.c_str(), disk.c_str());  // not claimed again
}

void MountService::KeepClaim(MountRecord *record, std::vector<DiskClaim> claims) {
  record->diskHandle = claims[0].disk.fd;
  // The volume is written through every file of the top layer: one that
  // cannot be written makes the disk read-only.
  record->diskReadOnly = std::any_of(claims.begin(), claims.end(), [](const DiskClaim &c) {
    return !c.shared && c.disk.readOnly;
  });
  ComServer_InTurn([&] { claims_[record->id] = std::move(claims); });
}

void MountService::UnlockDisk(MountRecord *record) {
  std::vector<DiskClaim> claims;
  ComServer_InTurn([&] {
    auto held = claims_.find(record->id);
    if (held != claims_.end()) {
      claims = std::move(held->second);
      claims_.erase(held);
    }
  });
  LetGoInTime(std::move(claims), record->diskLocked ? record->disk : "", -1);
  record->diskLocked = false;
  record->diskHandle = -1;
  record->diskReadOnly = false;
}

Outcome MountService::StartDaemon(MountRecord *record, const DiskImage &image,
                                  std::unique_ptr<StorageDaemon> *started) {
  auto daemon = std::make_unique<StorageDaemon>(daemonBase_);
  bool readOnly = record->diskReadOnly || !image.writable;
  std::string why;
  static const std::vector<DiskClaim> kNone;
  auto held = claims_.find(record->id);
  const std::vector<DiskClaim> &claims = held != claims_.end() ? held->second : kNone;
  if (!daemon->Start("m" + std::to_string(record->id), image, readOnly, &why,
                     OpenedNames(claims, image))) {
    return Outcome::Fail(
        E_FAIL, "The disk " + DiskImage_Quoted(record->disk) + " cannot be opened: " + why);
  }
  record->daemon = DaemonRecord_Format(daemon->Record());
  // A table lost while the volume is attached finds the disk's name here;
  // the loop device only knows the export.
  if (int rc = daemon->Label(record->disk); rc != 0) {
    ServiceLog(HOSTLOG_WARNING, "mount %d: the daemon's label cannot be written: %s", record->id,
               ServiceErrorText(rc).c_str());
  }
  faults_.Reach("MountAs.daemon");
  if (!daemon->Export(kMountDisk, kMountDisk, !readOnly, &why)) {
    std::string unused;
    daemon->Stop(&unused);
    record->daemon.clear();
    return Outcome::Fail(
        E_FAIL, "The disk " + DiskImage_Quoted(record->disk) + " cannot be opened: " + why);
  }
  // QEMU opens the files by their names: what it opened must be what was
  // checked and claimed, or a name led elsewhere meanwhile. Nothing reads
  // the export yet.
  std::string stray =
      OpenedUnchecked(daemon->Record().pid, claims, "m" + std::to_string(record->id));
  if (!stray.empty()) {
    std::string unused;
    daemon->Stop(&unused);
    record->daemon.clear();
    return LedElsewhere(record->disk, stray);
  }
  faults_.Reach("MountAs.exported");
  record->view = daemon->ExportFile(kMountDisk);
  record->diskReadOnly = readOnly;
  *started = std::move(daemon);
  return {};
}

void MountService::StopDaemon(int32_t id, StorageDaemon *daemon) {
  std::string why;
  if (!daemon->Unexport(kMountDisk, &why)) {
    ServiceLog(HOSTLOG_WARNING, "mount %d: %s", id, why.c_str());
  }
  faults_.Reach("Unmount.unexported");
  if (!daemon->Stop(&why)) {
    ServiceLog(HOSTLOG_WARNING, "mount %d: %s", id, why.c_str());
  }
  faults_.Reach("Unmount.stopped");
}

void MountService::EndDaemon(MountRecord *record) {
  if (record->daemon.empty()) {
    return;
  }
  auto it = daemons_.find(record->id);
  FinishDaemon(*record, it != daemons_.end() ? it->second.get() : nullptr);
  if (it != daemons_.end()) {
    daemons_.erase(it);
  }
  record->daemon.clear();
  record->view.clear();
}

void MountService::FinishDaemon(const MountRecord &record, StorageDaemon *daemon) {
  if (daemon != nullptr && daemon->Alive()) {
    StopDaemon(record.id, daemon);
    return;
  }
  // One never taken over (it did not answer at the start) may still run,
  // serving nobody now: asked to quit, or ended.
  std::string why;
  DaemonRecord gone;
  StorageDaemon adopted(daemonBase_);
  if (DaemonRecord_Parse(record.daemon, &gone)) {
    adopted.Adopt(gone, &why);
    if (!adopted.Stop(&why)) {
      ServiceLog(HOSTLOG_WARNING, "mount %d: %s", record.id, why.c_str());
    }
  }
}

void MountService::Linger(MountRecord *record) {
  auto it = daemons_.find(record->id);
  if (it == daemons_.end()) {
    EndDaemon(record);
    UnlockDisk(record);
    return;
  }
  Lingering kept;
  kept.id = record->id;
  kept.loop = record->loop;
  kept.view = record->view;
  kept.daemon = std::move(it->second);
  daemons_.erase(it);
  auto held = claims_.find(record->id);
  if (held != claims_.end()) {
    kept.claims = std::move(held->second);
    claims_.erase(held);
  }
  if (record->diskLocked) {
    kept.lockedDisk = record->disk;
    record->diskLocked = false;
  }
  record->diskHandle = -1;
  record->diskReadOnly = false;
  record->daemon.clear();
  record->view.clear();
  ServiceLog(HOSTLOG_WARNING,
             "mount %d: /dev/loop%d of %s still has users; its qemu-storage-daemon serves them "
             "until they let go",
             kept.id, kept.loop, record->disk.c_str());
  lingering_.push_back(std::move(kept));
}

void MountService::EndLingering(bool begin) {
  for (auto it = lingering_.begin(); it != lingering_.end();) {
    bool over = it->ending.valid()
                    ? it->ending.wait_for(std::chrono::seconds(0)) == std::future_status::ready
                    : begin && (!it->daemon->Alive() || !LoopPresents(it->loop, it->view)) &&
                          !BeginEnding(&*it);
    if (!over) {
      ++it;
      continue;
    }
    Unclaim(&*it);
    ServiceLog(HOSTLOG_INFO, "mount %d: /dev/loop%d let go; its qemu-storage-daemon has ended",
               it->id, it->loop);
    it = lingering_.erase(it);
  }
}

bool MountService::BeginEnding(Lingering *lingering) {
  const int32_t id = lingering->id;
  StorageDaemon *daemon = lingering->daemon.get();
  if (!daemon->Alive()) {
    std::string why;
    if (!StorageDaemon_Clean(daemonBase_, daemon->Record(), &why)) {
      ServiceLog(HOSTLOG_WARNING, "mount %d: %s", id, why.c_str());
    }
    return false;
  }
  // One that does not answer is waited for, then signalled and waited for
  // again, for up to a minute: the server loop that asks Busy must not be.
  try {
    lingering->ending =
        std::async(std::launch::async, [this, id, daemon] { StopDaemon(id, daemon); });
    return true;
  } catch (const std::system_error &) {
    StopDaemon(id, daemon);  // no thread to be had
    return false;
  }
}

void MountService::AwaitLingering() {
  auto underWay = [](const Lingering &l) { return l.ending.valid(); };
  if (std::none_of(lingering_.begin(), lingering_.end(), underWay)) {
    return;
  }
  // Nobody changes the list meanwhile: Busy is not asked while a call is
  // aside, and attaches and detaches wait for one another.
  ComServer_Aside([&] {
    for (const Lingering &l : lingering_) {
      if (underWay(l)) {
        l.ending.wait();
      }
    }
  });
  EndLingering(false);
}

void MountService::Unclaim(Lingering *lingering) {
  LetGoInTime(std::exchange(lingering->claims, {}), std::exchange(lingering->lockedDisk, ""), -1);
}

bool MountService::LoopPresents(int32_t number, const std::string &file) {
  char *backing = nullptr;
  int rc = HostLoop_BackingFile(number, &backing);
  if (rc != 0) {
    return rc != ENXIO;  // what cannot be looked at may still be in use
  }
  std::string named = Backend_KernelName(file);
  bool same = named.empty() || named == backing;  // or cannot be told
  free(backing);
  return same;
}

const std::string &MountService::KernelDaemonBase() {
  std::call_once(daemonBaseOnce_, [this] {
    char *real = HostFs_RealPath(daemonBase_.c_str());
    daemonBaseReal_ = real != nullptr ? real : daemonBase_;
    free(real);
  });
  return daemonBaseReal_;
}

std::string MountService::OpenedUnchecked(long pid, const std::vector<DiskClaim> &known,
                                          const std::string &folder) {
  struct Look {
    std::set<std::pair<uint64_t, uint64_t>> known;  // device, inode
    std::string own;                                // the daemon's folder, as the kernel names it
    std::string stray;
  } look{{}, KernelDaemonBase() + "/" + folder + "/", ""};
  // Looked up, not searched: a disk of thousands of files has as many open.
  for (const DiskClaim &c : known) {
    for (size_t i = 0; i < c.disk.keyCount; i++) {
      look.known.emplace(c.disk.keys[i].device, c.disk.keys[i].inode);
    }
  }
  HostProcess_ForEachOpenFile(
      pid,
      [](const char *path, uint64_t device, uint64_t inode, void *context) {
        auto *l = static_cast<Look *>(context);
        bool isKnown = strncmp(path, l->own.c_str(), l->own.size()) == 0 ||
                       l->known.count({device, inode}) > 0;
        if (!isKnown && l->stray.empty()) {
          l->stray = path;
        }
      },
      &look);
  return look.stray;
}

bool MountService::WaitLoopLetGo(int32_t number, const std::string &file, int checks) {
  for (int i = 0; i < checks; i++) {
    if (!LoopPresents(number, file)) {
      return true;
    }
    std::this_thread::sleep_for(kCoverPause);
  }
  ServiceLog(HOSTLOG_WARNING, "/dev/loop%d still presents %s", number, file.c_str());
  return false;
}

std::string MountService::DaemonOfExport(const std::string &file) const {
  // <base>/<name>/export.<id>, the base as the kernel names it (links
  // resolved).
  size_t slash = file.rfind('/');
  size_t folder =
      slash == std::string::npos || slash == 0 ? std::string::npos : file.rfind('/', slash - 1);
  if (folder == std::string::npos || file.compare(slash + 1, 7, "export.") != 0 ||
      !File_IsSameFile(file.substr(0, folder).c_str(), daemonBase_.c_str())) {
    return "";
  }
  DaemonRecord record;
  record.name = file.substr(folder + 1, slash - folder - 1);
  std::string pidFile = daemonBase_ + "/" + record.name + "/pid";
  char *data = nullptr;
  size_t length = 0;
  if (HostState_ReadFile(pidFile.c_str(), 32, &data, &length) != 0) {
    return "";
  }
  std::string text(data, length);
  free(data);
  std::string formed = DaemonRecord_Format({atol(text.c_str()), record.name});
  return DaemonRecord_Parse(formed, &record) ? formed : "";
}

void MountService::AdoptLingering(std::vector<std::string> *keep) {
  std::vector<int> loops;
  HostLoop_ForEachNumber(
      [](int number, void *context) {
        static_cast<std::vector<int> *>(context)->push_back(number);
      },
      &loops);
  for (int number : loops) {
    char *backing = nullptr;
    if (HostLoop_BackingFile(number, &backing) != 0) {
      continue;
    }
    std::string view = backing;
    free(backing);
    std::string formed = DaemonOfExport(view);
    DaemonRecord record;
    if (formed.empty() || !DaemonRecord_Parse(formed, &record) ||
        std::find(keep->begin(), keep->end(), record.name) != keep->end()) {
      continue;
    }
    Lingering found;
    found.id = std::atoi(record.name.c_str() + 1);  // m<id>
    found.loop = number;
    found.view = view;
    found.daemon = std::make_unique<StorageDaemon>(daemonBase_);
    std::string why;
    if (!found.daemon->Adopt(record, &why)) {
      continue;
    }
    // Its disk stays claimed and locked again, as an attached one's does.
    std::string disk = StorageDaemon_Label(daemonBase_, record.name);
    if (!disk.empty()) {
      found.claims = ClaimKeptOrAgain(found.id, disk, nullptr);
      if (LockKeptOrAgain(found.id, disk, found.claims.empty() ? -1 : found.claims[0].disk.fd)) {
        found.lockedDisk = disk;
      }
    }
    ServiceLog(HOSTLOG_INFO,
               "mount %d: /dev/loop%d of %s still has users; its qemu-storage-daemon serves "
               "them until they let go",
               found.id, number, disk.empty() ? "an unnamed disk" : disk.c_str());
    keep->push_back(record.name);
    lingering_.push_back(std::move(found));
  }
}

std::string MountService::MountExport(const DaemonRecord &daemon) const {
  return daemonBase_ + "/" + daemon.name + "/export." + kMountDisk;
}

void MountService::AdoptDaemons() {
  std::vector<std::string> keep;
  for (MountRecord *r : table_.Attached()) {
    DaemonRecord record;
    if (r->daemon.empty() || !DaemonRecord_Parse(r->daemon, &record)) {
      continue;
    }
    keep.push_back(record.name);
    auto daemon = std::make_unique<StorageDaemon>(daemonBase_);
    std::string why;
    if (daemon->Adopt(record, &why)) {
      daemons_[r->id] = std::move(daemon);
    } else {
      // Its drive stays listed: dismounting it takes away what is left.
      ServiceLog(HOSTLOG_WARNING, "mount %d: %c: %s", r->id, r->letter, why.c_str());
    }
  }
  // Every daemon a loop device still reads from is kept, the lost table's
  // ones too: what no device reads from serves nobody.
  AdoptLingering(&keep);
  std::vector<std::string> problems;
  StorageDaemon_RemoveStrays(daemonBase_, keep, &problems);
  for (const std::string &p : problems) {
    ServiceLog(HOSTLOG_WARNING, "%s", p.c_str());
  }
}
