// The record backend: attaching a volume writes bmount/volumes/<id>/volume
// (disk, volume number from 1, first byte, length) and links drives/<l>: to
// that folder; detaching removes both. Nothing touches the disk image, so it
// works for any user on any host.
#include <cstdlib>
#include <string>

#include "backend.h"
#include "host/drives.h"
#include "host/lastError.h"
#include "host/prefix.h"
#include "host/stateFile.h"

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

class RecordBackend : public Backend {
 public:
  const char *Name() const override { return "record"; }

  int Attach(MountRecord *recordOut) override {
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
      rc = HostDrives_CreateLink(record.letter, folder.c_str());
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
    HostState_RemoveFile((folder + "/volume").c_str());
    HostState_RemoveDir(folder.c_str());
    return 0;
  }

 private:
  static bool LeadsTo(char letter, const std::string &folder) {
    char *entry = HostDrives_EntryPath(letter);
    char *target = nullptr;
    bool ours = entry != nullptr && HostState_ReadLink(entry, &target) == 0 && folder == target;
    free(target);
    free(entry);
    return ours;
  }
};

}  // namespace

std::unique_ptr<Backend> Backend_MakeRecord(void) { return std::make_unique<RecordBackend>(); }
