// VMDK: a sparse extent (hosted, or the older VMFS kind) finds each grain
// through its grain directory and grain tables. QEMU reads the tables the
// header's directory points to, writes each entry it changes in the redundant
// copy too (when the header flags one), and writes a new grain at the file's
// size rounded up to a whole grain: what lies before that may not be a grain's
// place twice.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "host/fs.h"
#include "host/lookup.h"
#include "imageTables.h"

namespace {

// As many entries as a 16 TiB extent has in grains of 64 KiB (they are read
// a table at a time), and as many grains as a file of 2 TiB, the most its
// tables can place, holds of them (they are sorted in memory, 8 bytes each).
constexpr uint64_t kMaxVmdkEntries = uint64_t{1} << 28;
constexpr uint64_t kMaxVmdkPlaces = uint64_t{1} << 25;
constexpr uint32_t kRedundant = 1u << 1, kZeroedGrains = 1u << 2;
constexpr uint64_t kDeflate = 1, kDescriptor = 10240;

// A count of sectors in bytes; past any file when it would not fit.
uint64_t Bytes(uint64_t sectors) { return sectors < (uint64_t{1} << 54) ? sectors << 9 : ~0ull; }

// Reads size bytes at offset, zeros past the file's end as QEMU reads them.
bool ReadPadded(int file, uint64_t fileSize, unsigned char *buf, size_t size, uint64_t offset) {
  if (size == 0) {
    return true;  // an extent of no tables has no buffer for them
  }
  memset(buf, 0, size);
  uint64_t have = offset < fileSize ? std::min<uint64_t>(size, fileSize - offset) : 0;
  return have == 0 || ImageTables_Read(file, buf, have, offset);
}

// One extent file, opened as the image or named by its descriptor; None for
// a flat one, which has no tables.
ImageProblem CheckExtent(int file, uint64_t size, bool opened, std::string *reason) {
  auto damaged = [reason](std::string what) {
    return ImageTables_Damaged(reason, std::move(what));
  };
  auto unread = [reason](std::string what) { return ImageTables_Unread(reason, std::move(what)); };
  auto le = ImageTables_LittleEndian;
  unsigned char head[512];
  if (!ReadPadded(file, size, head, sizeof head, 0)) {
    return unread("it cannot be read");
  }
  const uint32_t flags = le(head + 8, 4);
  const bool hosted = memcmp(head, "KDMV", 4) == 0, vmfs = memcmp(head, "COWD", 4) == 0;
  // QEMU takes an extent as compressed by its algorithm alone, whatever its
  // flags say: any other is written as an ordinary sparse one.
  if ((!hosted && !vmfs) || (hosted && le(head + 77, 2) == kDeflate)) {
    return ImageProblem::None;  // flat, or compressed and attached read-only
  }
  // A hosted extent's directory covers its capacity; the older kind's header
  // counts its tables, of 4096 entries each, and keeps no copies.
  const uint64_t grain = hosted ? le(head + 20, 8) : le(head + 16, 4);
  const uint64_t perTable = hosted ? le(head + 44, 4) : 4096;
  // QEMU rounds a new grain's place as for a power of two (and makes no
  // other): with any other it may put it over what lies at the file's end.
  if (grain == 0 || grain > uint64_t{1} << 32 || (grain & (grain - 1)) != 0) {
    return damaged("a grain of " + std::to_string(grain) + " sectors");
  }
  if (perTable == 0 || perTable > 4096) {
    return damaged("grain tables of " + std::to_string(perTable) + " entries");
  }
  if (hosted && le(head + 56, 8) == ~0ull) {
    return unread("its grain directory at its end is not checked");
  }
  const uint64_t capacity = le(head + 12, 8), covered = grain * perTable;
  const uint64_t tables =
      hosted ? capacity / covered + (capacity % covered != 0 ? 1 : 0) : le(head + 24, 4);
  if (tables > kMaxVmdkEntries / perTable || tables > kMaxVmdkPlaces / 2) {
    return unread("its grain tables have more than " + std::to_string(kMaxVmdkEntries) +
                  " entries, which are not checked");
  }
  const uint64_t grainBytes = Bytes(grain);
  ImageLayout layout(size + (grainBytes - size % grainBytes) % grainBytes);
  layout.Structure("its header", 0, sizeof head);
  // QEMU reads an opened file's descriptor from these bytes, whatever its
  // header says, and writes them back on the first write of each open.
  if (hosted && opened) {
    layout.Structure("its descriptor", 512, kDescriptor);
  } else if (hosted && le(head + 28, 8) != 0 && le(head + 36, 8) != 0) {
    layout.Structure("its descriptor", Bytes(le(head + 28, 8)), Bytes(le(head + 36, 8)));
  }
  // The directory, and its copy where QEMU writes one: each with its tables.
  const bool copy = hosted && (flags & kRedundant) != 0;
  std::vector<uint32_t> directory;
  const char *names[2][2] = {{"its grain directory", "grain table"},
                             {"its redundant grain directory", "redundant grain table"}};
  for (int d = 0; d < 1 + copy; d++) {
    const uint64_t at = Bytes(!hosted ? le(head + 20, 4) : le(head + (d == 0 ? 56 : 48), 8));
    layout.Structure(names[d][0], at, tables * 4);
    // Entries past the file's end read as 0, and the first of them puts a
    // table over the header: the rest, all at 0 and numbered later, cannot
    // change the fault found, and a file of a few bytes must not have
    // millions of them read and sorted first.
    const uint64_t inFile = at < size ? (size - at + 3) / 4 : 0;
    std::vector<unsigned char> bytes(std::min(tables, inFile + 1) * 4);
    if (!ReadPadded(file, size, bytes.data(), bytes.size(), at)) {
      return unread("it cannot be read");
    }
    const int kind = layout.Kind(names[d][1], perTable * 4, true);
    for (uint64_t t = 0; t < bytes.size() / 4; t++) {
      uint32_t sector = le(&bytes[t * 4], 4);
      if (d == 0) directory.push_back(sector);
      // At 0 too: QEMU then writes a new grain, or its entry, over the header.
      layout.Add(kind, Bytes(sector), t);
    }
  }
  if (std::string fault = layout.Fault(); !fault.empty()) {
    return damaged(fault);
  }
  // Grains by their number in the extent, from the tables QEMU reads.
  const int grains = layout.Kind("grain", grainBytes, true);
  uint64_t places = 0;
  std::vector<unsigned char> table(perTable * 4);
  for (uint64_t t = 0; t < directory.size(); t++) {
    if (!ReadPadded(file, size, table.data(), table.size(), Bytes(directory[t]))) {
      return unread("it cannot be read");
    }
    for (uint64_t e = 0; e < perTable; e++) {
      uint32_t sector = le(&table[e * 4], 4);
      if (sector == 0 || (sector == 1 && hosted && (flags & kZeroedGrains) != 0)) continue;
      if (++places > kMaxVmdkPlaces) {
        return unread("it has more than " + std::to_string(kMaxVmdkPlaces) +
                      " grains, which are not checked");
      }
      layout.Add(grains, Bytes(sector), t * perTable + e);
    }
  }
  if (std::string fault = layout.Fault(); !fault.empty()) {
    return damaged(fault);
  }
  return ImageProblem::None;
}

}  // namespace

ImageProblem ImageTables_CheckVmdk(const ImageLayer &layer, int file, uint64_t size,
                                   std::string *reason) {
  ImageProblem problem = CheckExtent(file, size, true, reason);
  // A descriptor's sparse extents, each opened by its name as QEMU opens it;
  // a flat one holds the disk's own bytes, which may look like a header.
  for (size_t i = 0; i < layer.extentFiles.size() && problem == ImageProblem::None; i++) {
    const std::string &name = layer.extentFiles[i];
    const std::string kind = i < layer.extentKinds.size() ? layer.extentKinds[i] : "";
    if (name == layer.path || kind == "FLAT" || kind == "VMFS") continue;
    long long extentSize = 0;
    int extent = HostFile_OpenRegular(name.c_str(), &extentSize);
    if (extent == HOSTFILE_INVALID) {
      return ImageTables_Unread(reason,
                                "its extent " + DiskImage_Quoted(name) + " cannot be opened");
    }
    problem = CheckExtent(extent, static_cast<uint64_t>(extentSize), false, reason);
    HostFile_Close(extent);
    if (problem != ImageProblem::None) {
      *reason += " in its extent " + DiskImage_Quoted(name);
    }
  }
  return problem;
}
