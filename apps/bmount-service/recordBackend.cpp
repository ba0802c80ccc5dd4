// The record backend: attaching a volume writes bmount/volumes/<id>/volume
// (disk, volume number from 1, first byte, length) and links drives/<l>: to
// that folder; detaching removes both. Nothing touches the disk image, so it
// works for any user on any host. A crash between these steps leaves a folder
// or an entry without a record, or a record without its entry: a restarted
// service takes such remains away. When the table is lost, a folder with its
// volume file and a drive entry leading to it is a mount found again.
#include <algorithm>
#include <cstdlib>
#include <map>
#include <memory>
#include <set>
#include <string>

#include "backend.h"
#include "host/drives.h"
#include "host/fs.h"
#include "host/lastError.h"
#include "host/prefix.h"
#include "host/stateFile.h"
#include "serviceLog.h"
#include "string/str.h"

namespace {

// Returns 0 and the folder of the record, or a system error code.
int VolumeFolder(int32_t id, std::string *volumes, std::string *folder) {
  char *path = HostPrefix_Join("bmount/volumes");
  if (path == nullptr) {
    int rc = Host_GetLastError();
    return rc != 0 ? rc : Host_ErrorCode(HOST_ERROR_NO_MEMORY);
  }
  *volumes = path;
  free(path);
  *folder = *volumes + "/" + std::to_string(id);
  return 0;
}

// Fills the volume fields of *r from the text of a volume file. False when
// one is missing or malformed.
bool ReadVolumeFile(const std::string &text, MountRecord *r) {
  if (!text.empty() && text.back() != '\n') {
    return false;  // cut short
  }
  int seen = 0;
  for (std::string_view line : Str_SplitLines(text)) {
    size_t eq = line.find('=');
    std::string_view key = line.substr(0, eq),
                     value = eq == std::string_view::npos ? "" : line.substr(eq + 1);
    uint64_t v = 0;
    if (key == "disk" && !value.empty()) {
      r->disk = value;
    } else if (key == "volume" && ReadDecimal(value, INT32_MAX, &v) && v > 0) {
      r->volume = static_cast<int32_t>(v);
    } else if (key == "offset" && ReadDecimal(value, UINT64_MAX, &v)) {
      r->offset = v;
    } else if (key == "length" && ReadDecimal(value, UINT64_MAX, &v)) {
      r->length = v;
    } else {
      return false;
    }
    seen++;
  }
  return seen == 4;
}

// The names of the folders in path; none when it cannot be read.
std::vector<std::string> Folders(const std::string &path) {
  std::vector<std::string> names;
  std::unique_ptr<HostDir, void (*)(HostDir *)> dir(HostDir_Open(path.c_str()), HostDir_Close);
  bool isDirectory;
  while (const char *name = dir ? HostDir_Next(dir.get(), &isDirectory) : nullptr) {
    if (isDirectory) {
      names.push_back(name);
    }
  }
  return names;
}

class RecordBackend : public Backend {
 public:
  const char *Name() const override { return "record"; }

  int Attach(MountRecord *recordOut, std::string *) override {
    const MountRecord &record = *recordOut;
    std::string volumes, folder;
    int rc = VolumeFolder(record.id, &volumes, &folder);
    if (rc == 0) {
      rc = HostState_MakeDir(volumes.c_str());
    }
    if (rc == 0) {
      rc = HostState_MakeDir(folder.c_str());
    }
    if (rc != 0) {
      return rc;
    }
    std::string text = "disk=" + record.disk + "\nvolume=" + std::to_string(record.volume) +
                       "\noffset=" + std::to_string(record.offset) +
                       "\nlength=" + std::to_string(record.length) + "\n";
    std::string file = folder + "/volume";
    rc = HostState_WriteFile(file.c_str(), text.data(), text.size());
    if (rc == 0) {
      Step("MountAs.written");
      rc = HostDrives_CreateLink(record.letter, folder.c_str());
    }
    if (rc == 0) {
      Step("MountAs.linked");
    }
    if (rc != 0) {
      HostState_RemoveFile(file.c_str());
      HostState_RemoveDir(folder.c_str());
    }
    return rc;
  }

  int Detach(const MountRecord &record, bool) override {
    std::string volumes, folder;
    int rc = VolumeFolder(record.id, &volumes, &folder);
    if (rc != 0) {
      return rc;
    }
    // A drive entry that no longer leads to this mount was put there by
    // someone else after ours went away: it is theirs to keep.
    if (LeadsTo(record.letter, folder)) {
      rc = HostDrives_Remove(record.letter);
      if (rc != 0 && Host_ErrorKind(rc) != HOST_ERROR_NOT_FOUND) {
        return rc;
      }
    }
    Step("Unmount.unlinked");
    HostState_RemoveFile((folder + "/volume").c_str());
    HostState_RemoveDir(folder.c_str());
    Step("Unmount.removed");
    return 0;
  }

  bool Adopt(const MountRecord &record) override {
    std::string volumes, folder;
    if (VolumeFolder(record.id, &volumes, &folder) != 0) {
      return true;  // cannot tell: keep it
    }
    if (LeadsTo(record.letter, folder) && HostFs_Exists((folder + "/volume").c_str())) {
      return true;
    }
    Detach(record, true);
    return false;
  }

  void RemoveStrays(const std::vector<const MountRecord *> &owned) override {
    std::string volumes, unused;
    if (VolumeFolder(0, &volumes, &unused) != 0) {
      return;
    }
    std::set<std::string> ownedFolders;
    std::set<char> ownedLetters;
    for (const MountRecord *r : owned) {
      ownedFolders.insert(std::to_string(r->id));
      ownedLetters.insert(r->letter);
    }
    std::vector<std::string> strays;
    for (const std::string &name : Folders(volumes)) {
      if (ownedFolders.count(name) == 0) {
        strays.push_back(volumes + "/" + name);
      }
    }
    for (char l = 'a'; l <= 'z'; l++) {
      std::string target = Backend_DriveTarget(l);
      if (ownedLetters.count(l) == 0 && target.compare(0, volumes.size() + 1, volumes + "/") == 0) {
        HostDrives_Remove(l);
      }
    }
    for (const std::string &name : Folders(volumes)) {
      HostState_RemoveLeftovers((volumes + "/" + name).c_str());
    }
    for (const std::string &folder : strays) {
      HostState_RemoveFile((folder + "/volume").c_str());
      HostState_RemoveDir(folder.c_str());
    }
  }

  void Recover(std::vector<MountRecord> *found, int32_t *highestId) override {
    std::string volumes, unused;
    if (VolumeFolder(0, &volumes, &unused) != 0) {
      return;
    }
    std::map<std::string, char> letters;  // folder a drive entry leads to -> letter
    for (char l = 'a'; l <= 'z'; l++) {
      std::string target = Backend_DriveTarget(l);
      if (target.compare(0, volumes.size() + 1, volumes + "/") == 0) {
        letters[target] = l;
      }
    }
    for (const std::string &name : Folders(volumes)) {
      std::string folder = volumes + "/" + name;
      uint64_t id = 0;
      if (!ReadDecimal(name, INT32_MAX, &id) || id == 0) {
        ServiceLog(HOSTLOG_WARNING, "%s: not a mount's folder; left as it is", folder.c_str());
        continue;
      }
      *highestId = std::max(*highestId, static_cast<int32_t>(id));
      auto letter = letters.find(folder);
      MountRecord r;
      char *text = nullptr;
      size_t length = 0;
      bool read = HostState_ReadFile((folder + "/volume").c_str(), 64 << 10, &text, &length) == 0;
      bool whole = read && ReadVolumeFile(std::string(text, length), &r);
      free(text);
      if (letter == letters.end() || !whole) {
        ServiceLog(HOSTLOG_WARNING, "%s: %s; left as it is", folder.c_str(),
                   letter == letters.end() ? "no drive entry leads to it"
                                           : "its volume file cannot be read");
        continue;
      }
      r.id = static_cast<int32_t>(id);
      r.letter = letter->second;
      r.backend = Name();
      found->push_back(r);
      letters.erase(letter);
    }
    for (const auto &stray : letters) {
      ServiceLog(HOSTLOG_WARNING, "drive %c: leads to %s, which describes no volume; left as it is",
                 stray.second, stray.first.c_str());
    }
  }

 private:
  static bool LeadsTo(char letter, const std::string &folder) {
    return Backend_DriveTarget(letter) == folder;
  }
};

}  // namespace

std::unique_ptr<Backend> Backend_MakeRecord(void) { return std::make_unique<RecordBackend>(); }
