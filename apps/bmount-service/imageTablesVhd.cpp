// VHD: QEMU writes a dynamic image's blocks where its block table places
// them, and a new block past the table and the last block.
#include <cstring>

#include "imageTables.h"

namespace {

// More entries than a VHD of its largest size (2 TiB) has in blocks of 512
// KiB, the smallest in use: their places are sorted in memory.
constexpr uint64_t kMaxVhdBlocks = uint64_t{1} << 22;

}  // namespace

uint32_t ImageTables_VhdType(int file, uint64_t size) {
  unsigned char head[512];
  bool read = size >= 512 && ImageTables_Read(file, head, sizeof head, 0);
  if (read && memcmp(head, "conectix", 8) != 0) {
    read = ImageTables_Read(file, head, sizeof head, size - 512);
  }
  return read && memcmp(head, "conectix", 8) == 0
             ? static_cast<uint32_t>(ImageTables_BigEndian(head + 60, 4))
             : 0;
}

ImageProblem ImageTables_CheckVhd(const ImageLayer &, int file, uint64_t size,
                                  std::string *reason) {
  auto damaged = [reason](std::string what) {
    return ImageTables_Damaged(reason, std::move(what));
  };
  auto unread = [reason](std::string what) { return ImageTables_Unread(reason, std::move(what)); };
  auto be = ImageTables_BigEndian;
  unsigned char head[512], end[512], dynamic[1024];
  if (size < 512 || !ImageTables_Read(file, end, sizeof end, size - 512) ||
      !ImageTables_Read(file, head, sizeof head, 0)) {
    return unread("it cannot be read");
  }
  // QEMU takes the copy at the start where there is one, as it is written
  // again at the end when a block is added.
  bool copy = memcmp(head, "conectix", 8) == 0;
  const unsigned char *footer = copy ? head : end;
  if (memcmp(footer, "conectix", 8) != 0) {
    return damaged("no footer");
  }
  if (be(footer + 60, 4) == 2) {
    return ImageProblem::None;  // fixed: read and written in place, no tables
  }
  // Blocks end before the footer at the end; with bytes after it, QEMU reads
  // the copy at the start, and writes its next block and footer over them.
  const uint64_t limit = memcmp(end, "conectix", 8) == 0 ? size - 512 : size;
  const uint64_t header = be(footer + 16, 8);
  if (header > limit || limit - header < sizeof dynamic) {
    return damaged("no dynamic header where its footer points");
  }
  if (!ImageTables_Read(file, dynamic, sizeof dynamic, header)) {
    return unread("it cannot be read");
  }
  if (memcmp(dynamic, "cxsparse", 8) != 0) {
    return damaged("no dynamic header where its footer points");
  }
  const uint64_t table = be(dynamic + 16, 8), entries = be(dynamic + 28, 4);
  const uint64_t block = be(dynamic + 32, 4);
  if (block < 512 || (block & (block - 1)) != 0) {
    return damaged("a block size of " + std::to_string(block) + " bytes");
  }
  if (entries > kMaxVhdBlocks) {
    return unread("its block table has " + std::to_string(entries) + " entries, more than " +
                  std::to_string(kMaxVhdBlocks) + " are not checked");
  }
  if (table > limit || limit - table < entries * 4) {
    return damaged("its block table lies past its end");
  }
  ImageLayout layout(limit);
  if (copy) {
    layout.Structure("the copy of its footer", 0, 512);
  }
  layout.Structure("its header", header, sizeof dynamic);
  const uint64_t tableEnd = (table + entries * 4 + 511) & ~uint64_t{511};
  layout.Structure("its block table", table, tableEnd - table);
  // The sector bitmap before each block, rounded up to a whole sector.
  const uint64_t span = ((block / 512 / 8 + 511) & ~uint64_t{511}) + block;
  const int blocks = layout.Kind("block", span, true);
  uint64_t next = tableEnd;  // where QEMU writes a new block
  std::vector<unsigned char> chunk(64 << 10);
  for (uint64_t i = 0; i < entries; i++) {
    size_t in = (i * 4) % chunk.size();
    if (in == 0 &&
        !ImageTables_Read(file, chunk.data(), std::min<uint64_t>(chunk.size(), (entries - i) * 4),
                          table + i * 4)) {
      return unread("it cannot be read");
    }
    uint64_t sector = be(&chunk[in], 4);
    if (sector != 0xFFFFFFFF) {  // allocated
      layout.Add(blocks, sector * 512, i);
      next = std::max(next, sector * 512 + span);
    }
  }
  if (std::string fault = layout.Fault(); !fault.empty()) {
    return damaged(fault);
  }
  // What lies where the next block goes would be written over: the header,
  // or a parent's locator.
  if (header + sizeof dynamic > next) {
    return damaged("its header lies where its next block would be written");
  }
  for (int i = 0; i < 8; i++) {
    const unsigned char *locator = dynamic + 576 + 24 * i;
    uint64_t length = be(locator + 8, 4), at = be(locator + 16, 8);
    if (be(locator, 4) != 0 && length != 0 && (at > limit || at + length > next)) {
      return damaged("its parent's locator " + std::to_string(i) +
                     " lies where its next block would be written");
    }
  }
  return ImageProblem::None;
}
