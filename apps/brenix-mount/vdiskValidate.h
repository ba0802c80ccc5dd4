// Disk validation: the checks a disk file must pass before it is mounted or
// its volumes are listed (read-only, already mounted, compressed, suspended
// machine), and the detection of virtual machines that run the disk under an
// active snapshot or redo log, with the user's choice of mounting the current
// image instead.
//
// Names are compared on lower-cased text, as the virtual machines' own tools
// do, but the file system is always reached with the real names: folders as
// given, derived file names looked up in their folder without regard to case.
// Every refusal is a UserError; a failed host call is an ApiException.
#pragma once

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <string>
#include <vector>

#include "serviceClient.h"

#define BXMOUNT_VALIDATE_MSG(id) "@&!*@*@(msg.bxmount." #id ")"

namespace msg {

inline constexpr const char kCantMountReadOnly[] =
    BXMOUNT_VALIDATE_MSG(cantMountReadOnly) "%s cannot mount a read-only virtual disk.\n";
inline constexpr const char kNoCompressed[] = BXMOUNT_VALIDATE_MSG(noCompressed)
    "%s cannot mount compressed virtual disks.  To mount this virtual\n"
    "disk, right-click the file's icon and clear the compression checkbox on\n"
    "the file's advanced properties page.\n";
inline constexpr const char kOneVolumePerDisk[] = BXMOUNT_VALIDATE_MSG(oneVolumePerDisk)
    "%s cannot mount two volumes from the same virtual disk.\n"
    "This disk is already mounted as drive %s:.\n";
inline constexpr const char kNoSuspended[] = BXMOUNT_VALIDATE_MSG(noSuspended)
    "The disk cannot be mounted because it is attached to a suspended\n"
    "virtual machine.\n";
inline constexpr const char kMultipleRedo[] = BXMOUNT_VALIDATE_MSG(multipleRedo)
    "The virtual disk is being used in active snapshots by multiple virtual\n"
    "machines.  It cannot be mounted directly.  To mount a particular redo\n"
    "image, supply the name of that image.\n";
inline constexpr const char kRedoAbortLong[] = BXMOUNT_VALIDATE_MSG(redoAbort)
    "The virtual disk was not mounted because a virtual machine using this disk\n"
    "is maintaining an active snapshot.\n";
inline constexpr const char kRedoAbortShort[] =
    BXMOUNT_VALIDATE_MSG(redoAbort) "The virtual disk was not mounted.\n";
inline constexpr const char kRedoAskYes[] = BXMOUNT_VALIDATE_MSG(redoAskYes) "Y";
inline constexpr const char kRedoAsk[] = BXMOUNT_VALIDATE_MSG(redoAsk)
    "This disk is being used by a virtual machine that has an active snapshot.\n"
    "If you proceed, any changes you make are applied to the current version of\n"
    "the disk, and will be discarded if you revert to the snapshot. Do you\n"
    "wish to proceed (Y/N)? ";
inline constexpr const char kSnapshotUnreadable[] = BXMOUNT_VALIDATE_MSG(snapshotUnreadable)
    "The snapshot state of the virtual machine configured in\n"
    "'%s' cannot be read: %s.\n"
    "The disk was not mounted.\n";

}  // namespace msg

// Snapshot mode, the command line's answer to the snapshot question.
enum SnapshotMode {
  kSnapshotAsk = 0,  // neither /y nor /n
  kSnapshotYes = 1,
  kSnapshotNo = 2,
};

// What validation needs from outside: the current mounts, and the console
// for the snapshot question. Tests replace them.
struct ValidationIo {
  std::function<std::vector<MountedVolume>()> readMounts = ReadMountedVolumes;
  std::istream *in = nullptr;   // null: standard input
  std::ostream *out = nullptr;  // null: standard output
};

// Returns true, with path (a full path) replaced by the file the command is
// to use: the disk itself, or the redo image the user agreed to; or raises
// the refusal.
bool ValidateDisk(std::string &path, int snapshotMode);
bool ValidateDisk(std::string &path, int snapshotMode, const ValidationIo &io);
// What the two-argument form uses; tests of the command line replace the
// mount reader here so that no service is needed.
ValidationIo &DefaultValidationIo();

// ---------------------------------------------------------------------------
// The steps, exposed for tests.

// A path split into its full form, folder (with its trailing "/"), file name,
// base name (up to the last ".") and extension (after it). With lowerCase
// every part is lower-cased after the split. Raises ApiException when no full
// path can be made.
struct PathParts {
  PathParts(const std::string &path, bool lowerCase);
  std::string fullPath;
  std::string folder;
  std::string fileName;
  std::string baseName;
  std::string extension;
};

// What one virtual machine configuration does with the disk; the record with
// an empty configuration path stands for stray redo logs beside the disk.
struct VmUsage {
  // Reads and classifies the configuration (an empty path makes the stray
  // redo record, which uses the disk). Raises ApiException when the file
  // cannot be read.
  VmUsage(const std::string &configPath, const std::string &diskPath);

  std::string configPath;
  std::string diskPath;       // as validation received it
  std::string redoImagePath;  // a real path, set when hasRedo
  bool usesDisk = false;
  bool hasRedo = false;
  std::string configText;  // lower-cased
  std::string lowerDiskPath;
  std::string originalText;  // configText before lower-casing, same offsets
  int snapshotError = 0;     // a SnapshotErrorCode when the reader failed
};

using VmList = std::vector<VmUsage>;
using DiskList = std::vector<std::string>;

// Lower-cases ASCII letters only, so that offsets and other bytes stay put.
std::string LowerCase(const std::string &text);

void CheckReadOnly(const std::string &path);
void CheckCompressed(const std::string &path);
void CheckOneVolumePerDisk(const std::string &path, const std::vector<MountedVolume> &mounts);
void CheckSuspended(const VmUsage &record);

// The identity of a file. Two identities name the same file when their paths
// are equal or their numbers are; a failed lookup keeps placeholder numbers
// that no other identity has.
class FileIdentity {
 public:
  explicit FileIdentity(const std::string &path);
  bool operator==(const FileIdentity &other) const;
  bool incomplete() const { return incomplete_; }
  uint32_t volumeSerial() const { return volumeSerial_; }

 private:
  std::string path_;
  uint32_t volumeSerial_;
  uint32_t indexLow_;
  uint32_t indexHigh_;
  bool incomplete_ = true;
};

void ScanVmConfigs(const std::string &diskPath, VmList &vms);
void ScanRedoFiles(const std::string &diskPath, VmList &vms);
// Returns the whole file (maximum 0) or its first maximum bytes. Raises
// ApiException "while reading <path>" for anything but a readable regular file.
std::string ReadWholeFile(size_t maximum, const std::string &path);
// Returns the configuration version, 0 when there is none.
int ReadConfigVersion(const VmUsage &record);
bool UsesDisk(VmUsage &record);
void FindRedoImage(VmUsage &record);
void FindSnapshotChild(VmUsage &record);
std::string BaseDiskName(const std::string &path);
// Text for a pattern: either separator matches both "/" and "\", and every
// other pattern metacharacter stands for itself.
std::string EscapeForPattern(const std::string &text);
bool IsFullPath(const std::string &text);
// The real path of the file a derived path names: the path itself when it
// exists, else its last component looked up in its folder without regard to
// case. Empty when there is none.
std::string FindNoCase(const std::string &path);
void ResolveRedoChoice(DiskList &disks, const VmList &vms, int snapshotMode, std::istream &in,
                       std::ostream &out);
