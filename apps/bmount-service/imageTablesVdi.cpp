// VDI: QEMU places the block of place k at the data offset plus k blocks, and
// gives a new block the place counted by the header's allocated blocks, whether
// or not an entry already holds it. qemu-img check counts the entries and finds
// two at one place, but not one at or past that count.
#include "imageTables.h"

namespace {

constexpr uint64_t kVdiBlock = 1 << 20;  // the only size QEMU opens
constexpr uint32_t kVdiSignature = 0xBEDA107F;
constexpr uint64_t kVdiHeader = 512;  // the pre-header and header, a sector
// Entries at or past it are free (0xFFFFFFFE: read as zeros).
constexpr uint64_t kVdiFree = 0xFFFFFFFE;
// The places of the map's entries are sorted in memory, 8 bytes each: a map
// of more (a disk of over 32 TiB) is not checked.
constexpr uint64_t kMaxVdiBlocks = uint64_t{1} << 25;

}  // namespace

ImageProblem ImageTables_CheckVdi(const ImageLayer &, int file, uint64_t size,
                                  std::string *reason) {
  auto damaged = [reason](std::string what) {
    return ImageTables_Damaged(reason, std::move(what));
  };
  auto unread = [reason](std::string what) { return ImageTables_Unread(reason, std::move(what)); };
  auto le = ImageTables_LittleEndian;
  unsigned char head[kVdiHeader];
  if (size < sizeof head || !ImageTables_Read(file, head, sizeof head, 0)) {
    return unread("it cannot be read");
  }
  if (le(head + 0x40, 4) != kVdiSignature) {
    return damaged("no header");
  }
  const uint64_t map = le(head + 0x154, 4), data = le(head + 0x158, 4);
  const uint64_t block = le(head + 0x178, 4), entries = le(head + 0x180, 4);
  const uint64_t allocated = le(head + 0x184, 4);
  if (block != kVdiBlock) {
    return damaged("a block size of " + std::to_string(block) + " bytes");
  }
  if (entries > kMaxVdiBlocks) {
    return unread("its block map has " + std::to_string(entries) + " entries, more than " +
                  std::to_string(kMaxVdiBlocks) + " are not checked");
  }
  if (map > size || size - map < entries * 4) {
    return damaged("its block map lies past its end");
  }
  ImageLayout layout(size);
  layout.Structure("its header", 0, kVdiHeader);
  layout.Structure("its block map", map, entries * 4);
  const int blocks = layout.Kind("block", block, true);
  std::string unplaced;  // the first block in a place still to be given
  bool read = ImageTables_Entries(file, map, entries, 4, [&](uint64_t i, uint64_t place) {
    if (place < allocated) {
      layout.Add(blocks, data + place * block, i);
    } else if (place < kVdiFree && unplaced.empty()) {
      unplaced = "block " + std::to_string(i) + " lies where its next block would be written";
    }
    return true;
  });
  if (!read) {
    return unread("it cannot be read");
  }
  if (std::string fault = layout.Fault(); !fault.empty()) {
    return damaged(fault);
  }
  if (!unplaced.empty()) {
    return damaged(unplaced);
  }
  // The places still free, written in turn as blocks are added.
  const uint64_t next = data + allocated * block, last = data + entries * block;
  auto written = [&](uint64_t at, uint64_t length) { return next < at + length && at < last; };
  if (written(0, kVdiHeader)) {
    return damaged("its header lies where its next block would be written");
  }
  if (written(map, entries * 4)) {
    return damaged("its block map lies where its next block would be written");
  }
  return ImageProblem::None;
}
