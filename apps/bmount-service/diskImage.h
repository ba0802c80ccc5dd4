// What a disk file really is: its image format and, for child images, the
// chain of parents below it, as QEMU's block layer reads them. qemu-img looks
// at one file at a time, under limits, and never opens a parent by itself;
// this module follows the chain, checks every name it finds, and describes
// the chain as block nodes with an explicit driver and an explicit parent
// each, so that nothing is left to QEMU's own probing when the disk is
// opened. A file QEMU recognises as no other format is raw and is read
// directly; a file in a recognised format that cannot be opened is refused,
// never read as raw. Results are plain records; nothing here throws.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "host/stateFile.h"
#include "partitions.h"

#include <nlohmann/json.hpp>

// An image format of QEMU's block layer that has a header of its own.
struct ImageFormat {
  const char *name;  // QEMU's driver name
  bool writable;     // QEMU can write images of this format, checked first
  bool backing;      // images of this format may have a parent
  // Its files may name further files (extents), relative to their own name,
  // so QEMU must open them by that name.
  bool extents;
};

// Returns the format of that driver name from the one list of formats this
// service opens, or NULL for any other name (raw included: raw needs no
// driver of QEMU's).
const ImageFormat *DiskImage_Format(const std::string &name);
// The names of the list, for messages and documentation.
std::vector<std::string> DiskImage_FormatNames(void);
// A file name as the service's descriptions quote it.
std::string DiskImage_Quoted(const std::string &name);

// One file of a chain.
struct ImageLayer {
  std::string path;    // absolute, symbolic links resolved
  std::string format;  // "raw" or a name of the list
  uint64_t virtualSize = 0;
  // Further files QEMU reads for this layer (the extent files of a
  // descriptor), absolute with links resolved; path itself is not repeated.
  std::vector<std::string> extents;
  // Every extent as QEMU names it (links not resolved), which it opens again
  // by that name.
  std::vector<std::string> extentNames;
  // The file each of extentNames led to (path itself for the layer's own).
  std::vector<std::string> extentFiles;
  // QEMU's word for the kind of each ("FLAT", "SPARSE", ...).
  std::vector<std::string> extentKinds;
  // Whether the descriptor names every extent relative to its own folder.
  bool extentsRelative = false;
  // Its parent as its header names it; "" for none.
  std::string parentName;
  // False for compressed extents (a stream-optimized vmdk): QEMU only appends
  // to them and fails a write to data already there.
  bool writable = true;
  // Left by a writer that ended without closing it (lazy reference counts):
  // QEMU mends it as it opens it for writing.
  bool dirty = false;
};

struct DiskImage {
  // The named file first, then its parent, its parent's parent, ...
  std::vector<ImageLayer> layers;
  // The disk's size as a virtual machine sees it; 0 for a device or other
  // special file, which is read directly as it is.
  uint64_t virtualSize = 0;
  bool writable = true;  // the top layer can be written in place

  // True for a single raw file: read it directly, no daemon.
  bool Raw() const { return layers.size() == 1 && layers[0].format == "raw"; }
  // Every file the disk consists of: each layer and its extents, top first.
  std::vector<std::string> Files() const;
};

enum class ImageProblem {
  None,
  Missing,      // the file, a parent or an extent does not exist
  Unsupported,  // a format, a name or a feature this service does not open
  Damaged,      // QEMU recognises the format but cannot open the file
  Tool,         // qemu-img is missing, failed or was stopped by its limits
};

// Reads what the file at path is. path must be absolute. On success fills
// *image and returns ImageProblem::None; otherwise *why says what is wrong
// and names the file concerned.
ImageProblem DiskImage_Probe(const std::string &path, DiskImage *image, std::string *why);

// Checks the top layer of a disk that is not raw for damage (qemu-img
// check; here a VHD's block table, which it cannot check, and where a vmdk's
// grains and tables lie, which it does not compare), before it is
// written: Damaged, with *why, when its metadata are found wrong, which
// writes would make worse; Tool, with *why, when the check could not run to
// its end (a format without one included), which must refuse the write as
// well; None for a dirty top, whose counts QEMU mends as it opens it for
// writing. opened, where not empty, is the name the top's file is read by
// instead of its path, as in DiskImage_Nodes, unless the layer has extent
// files of its own.
ImageProblem DiskImage_CheckTop(const DiskImage &image, const std::string &opened,
                                std::string *why);

// Probe results kept while every file of the disk stays as it was (same file,
// size and modification time; for a raw disk, whose guest writes it, same
// file and size), so that looking at a disk again starts no qemu-img: a raw
// disk then costs what it cost before images were probed.
// Refusals are not kept. The volumes of a disk that is not raw, read through
// a daemon, are kept by the same rule, unless a file was modified shortly
// before it was last found unchanged: a write in the same tick of the file
// system's clock would leave its stamp as it was, and a stale partition table
// would put a later mount at the wrong bytes. A raw disk's volumes are read
// each time, as before. Threads may share a cache: no lock is held while
// files are looked at.
class DiskImageCache {
 public:
  // What one Probe found: volumes are kept and handed out only for the very
  // probe they were read after, and judged by its own time.
  struct Seen {
    uint64_t entry = 0;  // 0: nothing kept
    std::chrono::system_clock::time_point checked;
  };

  // As DiskImage_Probe, from the cache when it still holds.
  ImageProblem Probe(const std::string &path, DiskImage *image, std::string *why,
                     Seen *seen = nullptr);
  size_t Size() const;
  // The volumes kept for path: true with *volumes when Remember stored them
  // for what seen found.
  bool Volumes(const std::string &path, const Seen &seen, std::vector<VolumeExtent> *volumes) const;
  // Keeps the volumes read from the disk at path, not raw, after the probe
  // that gave seen.
  void Remember(const std::string &path, const Seen &seen,
                const std::vector<VolumeExtent> &volumes);

 private:
  struct Entry {
    uint64_t serial = 0;
    std::vector<HostFileStamp> stamps;  // of image.Files(), in that order
    DiskImage image;
    bool volumesKnown = false;
    std::vector<VolumeExtent> volumes;
  };
  mutable std::mutex lock_;               // over the two below, never over a look at a file
  std::map<std::string, Entry> entries_;  // by the path as given
  uint64_t serials_ = 0;
};

// Where, in a folder of its own, the layer's descriptor and each of its
// extent names lie so that QEMU reaches the extents from the descriptor as
// it would from the real one: "sub/disk-s001.vmdk", or with the descriptor
// at "b/disk.vmdk", "../x.vmdk" at "x.vmdk".
struct ExtentPlaces {
  std::string own;                   // the descriptor's
  std::vector<std::string> extents;  // one for each of extentNames
  // Every folder the names walk through, each after the one that holds it.
  std::vector<std::string> folders;
};
// False when a name is absolute, or climbs above the root.
bool DiskImage_ExtentPlaces(const ImageLayer &layer, ExtentPlaces *placed);

// Node names: prefix + "l<i>" for the format node of layer i, prefix +
// "f<i>" for the file node below it. The top, "l0", presents the whole disk.
std::string DiskImage_NodeName(const std::string &prefix, char kind, size_t layer);

// The arguments of blockdev-add for every node of the image, parents first so
// that each node exists before the one that refers to it. Parents are always
// read-only; the top layer is read-only when readOnly is set or its format
// cannot be written. A read-only disk (readOnly) takes no file locks, so it
// never keeps another user from writing. opened[i], where given and not
// empty, is the name QEMU opens layer i's file by instead of its path (one
// that stays with the file checked, whatever its path leads to by then; for
// a layer that names extents, one whose folder leads their names to the
// files checked too). Not for a raw image (Raw()).
std::vector<nlohmann::json> DiskImage_Nodes(const DiskImage &image, bool readOnly,
                                            const std::string &prefix,
                                            const std::vector<std::string> &opened = {});
