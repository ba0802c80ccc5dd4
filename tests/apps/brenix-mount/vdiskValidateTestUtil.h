// A disk folder for the validation tests: the disk file, configuration files
// and redo logs written on request, and one validation run with its mounts,
// console input and outcome captured.
#pragma once

#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "errors.h"
#include "testSupport.h"
#include "vdiskValidate.h"

// An old configuration with one disk device.
inline std::string OldConfig(const std::string &device, const std::string &fileName,
                             const std::string &present = "TRUE",
                             const std::string &mode = "undoable", const std::string &redo = "",
                             const std::string &version = "7") {
  std::string text = "config.version = \"" + version + "\"\n";
  text += "displayName = \"Test machine\"\nmemsize = \"256\"\n";
  text += device + ".present = \"" + present + "\"\n";
  text += device + ".fileName = \"" + fileName + "\"\n";
  if (!mode.empty()) text += device + ".mode = \"" + mode + "\"\n";
  if (!redo.empty()) text += device + ".redo = \"" + redo + "\"\n";
  return text;
}

struct Outcome {
  bool ok = false;
  std::string path;   // the file to use, when ok
  std::string error;  // the UserError text; "api: ..." for an ApiException
  std::string out;    // what the question wrote
  int mountReads = 0;
};

class DiskFolder {
 public:
  // Creates sub (may be empty or nested) below a fresh temporary folder and
  // the disk file in it.
  explicit DiskFolder(const std::string &diskName = "disk.bxdk", const std::string &sub = "")
      : folder_(sub.empty() ? dir_.path() : dir_.path() + "/" + sub) {
    if (!sub.empty()) std::filesystem::create_directories(folder_);
    disk_ = Write(diskName, "disk");
  }

  const std::string &folder() const { return folder_; }
  const std::string &disk() const { return disk_; }
  std::string file(const std::string &name) const { return folder_ + "/" + name; }
  std::string Write(const std::string &name, const std::string &bytes = "") const {
    testsupport::WriteFile(file(name), bytes);
    return file(name);
  }

  Outcome Validate(int mode = kSnapshotAsk, const std::string &input = "",
                   const std::vector<MountedVolume> &mounts = {}) const {
    return ValidatePath(disk_, mode, input, mounts);
  }

  static Outcome ValidatePath(const std::string &disk, int mode, const std::string &input = "",
                              const std::vector<MountedVolume> &mounts = {}) {
    Outcome r;
    std::istringstream in(input);
    std::ostringstream out;
    ValidationIo io;
    io.readMounts = [&] {
      r.mountReads++;
      return mounts;
    };
    io.in = &in;
    io.out = &out;
    std::string path = disk;
    try {
      r.ok = ValidateDisk(path, mode, io);
      r.path = path;
    } catch (const UserError &e) {
      r.error = e.what();
    } catch (const ApiException &e) {
      r.error = std::string("api: ") + e.what();
    }
    r.out = out.str();
    return r;
  }

 private:
  testsupport::TempDir dir_;
  std::string folder_;
  std::string disk_;
};

inline const std::string kAskText =
    "This disk is being used by a virtual machine that has an active snapshot.\n"
    "If you proceed, any changes you make are applied to the current version of\n"
    "the disk, and will be discarded if you revert to the snapshot. Do you\n"
    "wish to proceed (Y/N)? ";
inline const std::string kShortAbort = "The virtual disk was not mounted.\n";
inline const std::string kLongAbort =
    "The virtual disk was not mounted because a virtual machine using this disk\n"
    "is maintaining an active snapshot.\n";
inline const std::string kMultiple =
    "The virtual disk is being used in active snapshots by multiple virtual\n"
    "machines.  It cannot be mounted directly.  To mount a particular redo\n"
    "image, supply the name of that image.\n";
