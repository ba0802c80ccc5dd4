// Parallels: QEMU writes a block (a cluster) where its table entry points, in
// sectors or, with the extended header, in blocks; a new block past the last
// one or at the data offset, whichever lies further. qemu-img check finds most
// entries past the file's end, but not two at one place, nor one over the
// header or the table.
#include <cstring>

#include "imageTables.h"

namespace {

constexpr uint64_t kHeader = 64;
constexpr uint64_t kMaxClusterSectors = uint64_t{1} << 21;  // QEMU opens none larger
// The places of so many blocks are sorted in memory, 8 bytes each.
constexpr uint64_t kMaxBlocks = uint64_t{1} << 25;

}  // namespace

ImageProblem ImageTables_CheckParallels(const ImageLayer &, int file, uint64_t size,
                                        std::string *reason) {
  auto damaged = [reason](std::string what) {
    return ImageTables_Damaged(reason, std::move(what));
  };
  auto unread = [reason](std::string what) { return ImageTables_Unread(reason, std::move(what)); };
  auto le = ImageTables_LittleEndian;
  unsigned char head[kHeader];
  if (size < sizeof head || !ImageTables_Read(file, head, sizeof head, 0)) {
    return unread("it cannot be read");
  }
  const bool extended = memcmp(head, "WithouFreSpacExt", 16) == 0;
  if (!extended && memcmp(head, "WithoutFreeSpace", 16) != 0) {
    return damaged("no header");
  }
  const uint64_t sectors = le(head + 28, 4), entries = le(head + 32, 4);
  uint64_t data = le(head + 48, 4) * 512;
  if (sectors == 0 || sectors > kMaxClusterSectors) {
    return damaged("blocks of " + std::to_string(sectors) + " sectors");
  }
  const uint64_t cluster = sectors * 512, unit = extended ? cluster : 512;
  // QEMU aborts on a write past the table's reach; it sizes a table to cover
  // the disk (whose size the older header keeps in 32 bits).
  const uint64_t disk = le(head + 36, extended ? 8 : 4);
  if (entries < disk / sectors + (disk % sectors != 0)) {
    return damaged("its block table holds fewer entries than its disk has blocks");
  }
  if (size - kHeader < entries * 4) {
    return damaged("its block table lies past its end");
  }
  // Older writers leave no data offset: the data follows the table. QEMU
  // then writes its next block past the last one, or over the header when
  // there is none (checked below).
  const bool unset = data == 0;
  if (unset) {
    data = (kHeader + entries * 4 + 511) & ~uint64_t{511};
  }
  // QEMU's first new block goes to the data offset.
  if (data < kHeader + entries * 4) {
    return damaged("its block table lies over its data");
  }
  ImageLayout layout(size);
  layout.Structure("its header", 0, kHeader);
  layout.Structure("its block table", kHeader, entries * 4);
  const int blocks = layout.Kind("block", cluster, true);
  std::string fault;
  uint64_t count = 0;
  bool read = ImageTables_Entries(file, kHeader, entries, 4, [&](uint64_t i, uint64_t at) {
    if (at == 0) return true;
    if (at * unit < data) {
      fault = "block " + std::to_string(i) + " lies before its data";
      return false;
    }
    layout.Add(blocks, at * unit, i);
    return ++count <= kMaxBlocks;
  });
  if (!read) {
    return unread("it cannot be read");
  }
  if (count > kMaxBlocks) {
    return unread("it has more than " + std::to_string(kMaxBlocks) +
                  " blocks allocated, they are not checked");
  }
  if (fault.empty()) fault = layout.Fault();
  if (fault.empty() && unset && count == 0) {
    fault = "its header lies where its next block would be written";
  }
  return fault.empty() ? ImageProblem::None : damaged(fault);
}
