// VHDX: QEMU writes a block where its table entry points and a new block at
// the file's end. qemu-img check finds blocks past the end or over the log,
// the block table and the metadata, but not two blocks at one place, nor one
// over the headers and region tables at the file's start.
#include <cstring>

#include "imageTables.h"

namespace {

constexpr uint64_t kMiB = 1 << 20;
constexpr uint64_t kKiB = 1 << 10;
// The file's identifier, both headers and both region tables.
constexpr uint64_t kHeaders = 320 * kKiB;
constexpr uint64_t kHeader = 4 * kKiB, kRegionTable = 64 * kKiB;
// The places of so many blocks are sorted in memory, 8 bytes each.
constexpr uint64_t kMaxBlocks = uint64_t{1} << 25;

// The GUIDs as stored: the first three fields little endian.
constexpr unsigned char kBatGuid[16] = {0x66, 0x77, 0xC2, 0x2D, 0x23, 0xF6, 0x00, 0x42,
                                        0x9D, 0x64, 0x11, 0x5E, 0x9B, 0xFD, 0x4A, 0x08};
constexpr unsigned char kMetadataGuid[16] = {0x06, 0xA2, 0x7C, 0x8B, 0x90, 0x47, 0x9A, 0x4B,
                                             0xB8, 0xFE, 0x57, 0x5F, 0x05, 0x0F, 0x88, 0x6E};
constexpr unsigned char kParametersGuid[16] = {0x37, 0x67, 0xA1, 0xCA, 0x36, 0xFA, 0x43, 0x4D,
                                               0xB3, 0xB6, 0x33, 0xF0, 0xAA, 0x44, 0xE7, 0x6B};
constexpr unsigned char kSizeGuid[16] = {0x24, 0x42, 0xA5, 0x2F, 0x1B, 0xCD, 0x76, 0x48,
                                         0xB2, 0x11, 0x5D, 0xBE, 0xD8, 0x3B, 0xF4, 0xB8};
constexpr unsigned char kSectorGuid[16] = {0x1D, 0xBF, 0x41, 0x81, 0x6F, 0xA9, 0x09, 0x47,
                                           0xBA, 0x47, 0xF2, 0x33, 0xA8, 0xFA, 0xAB, 0x5F};

// CRC-32C of bytes with the four at 4 (where the sum is kept) taken as zero.
uint32_t Sum(const unsigned char *bytes, size_t size) {
  uint32_t crc = ~0u;
  for (size_t i = 0; i < size; i++) {
    crc ^= i >= 4 && i < 8 ? 0 : bytes[i];
    for (int k = 0; k < 8; k++) crc = crc >> 1 ^ (0x82F63B78 & -(crc & 1));
  }
  return ~crc;
}

// Whether bytes hold a structure signed signature whose sum is right.
bool Sound(const unsigned char *bytes, size_t size, const char *signature) {
  return memcmp(bytes, signature, 4) == 0 &&
         Sum(bytes, size) == ImageTables_LittleEndian(bytes + 4, 4);
}

}  // namespace

ImageProblem ImageTables_CheckVhdx(const ImageLayer &, int file, uint64_t size,
                                   std::string *reason) {
  auto damaged = [reason](std::string what) {
    return ImageTables_Damaged(reason, std::move(what));
  };
  auto unread = [reason](std::string what) { return ImageTables_Unread(reason, std::move(what)); };
  auto le = ImageTables_LittleEndian;
  std::vector<unsigned char> head(kHeaders);
  if (size < kHeaders || !ImageTables_Read(file, head.data(), head.size(), 0)) {
    return unread("it cannot be read");
  }
  ImageLayout layout(size);
  layout.Structure("its headers", 0, kHeaders);
  // QEMU takes the sound header of version 1 written last, whatever the
  // other's sequence number: its log is the one replayed and written.
  const unsigned char *header = nullptr;
  for (uint64_t at : {64 * kKiB, 128 * kKiB}) {
    const unsigned char *h = &head[at];
    if (Sound(h, kHeader, "head") && le(h + 66, 2) == 1 &&
        (header == nullptr || le(h + 8, 8) > le(header + 8, 8))) {
      header = h;
    }
  }
  const unsigned char *table = &head[192 * kKiB];
  if (!Sound(table, kRegionTable, "regi")) table = &head[256 * kKiB];
  if (header == nullptr || !Sound(table, kRegionTable, "regi")) {
    return damaged("no sound header");
  }
  if (uint64_t length = le(header + 68, 4); length != 0) {
    layout.Structure("its log", le(header + 72, 8), length);
  }
  uint64_t bat = 0, batLength = 0, metadata = 0, metadataLength = 0;
  const uint64_t regions = std::min<uint64_t>(le(table + 8, 4), (kRegionTable - 16) / 32);
  for (uint64_t i = 0; i < regions; i++) {
    const unsigned char *entry = table + 16 + 32 * i;
    const uint64_t at = le(entry + 16, 8), length = le(entry + 24, 4);
    if (memcmp(entry, kBatGuid, 16) == 0) {
      bat = at, batLength = length;
      layout.Structure("its block table", at, length);
    } else if (memcmp(entry, kMetadataGuid, 16) == 0) {
      metadata = at, metadataLength = length;
      layout.Structure("its metadata", at, length);
    } else {
      layout.Structure("a region of its own", at, length);
    }
  }
  if (metadata > size || size - metadata < metadataLength || metadataLength < kRegionTable) {
    return damaged("its metadata lies past its end");
  }
  std::vector<unsigned char> items(kRegionTable);
  if (!ImageTables_Read(file, items.data(), items.size(), metadata)) {
    return unread("it cannot be read");
  }
  // The metadata items QEMU sizes the block table by.
  uint64_t block = 0, sector = 0, disk = 0;
  const uint64_t count = std::min<uint64_t>(le(&items[10], 2), (kRegionTable - 32) / 32);
  for (uint64_t i = 0; i < count; i++) {
    const unsigned char *entry = &items[32 + 32 * i];
    const uint64_t at = le(entry + 16, 4);
    uint64_t *value = memcmp(entry, kParametersGuid, 16) == 0 ? &block
                      : memcmp(entry, kSizeGuid, 16) == 0     ? &disk
                      : memcmp(entry, kSectorGuid, 16) == 0   ? &sector
                                                              : nullptr;
    unsigned char bytes[8];
    if (value == nullptr || at > metadataLength - 8) continue;
    if (!ImageTables_Read(file, bytes, sizeof bytes, metadata + at)) {
      return unread("it cannot be read");
    }
    *value = le(bytes, value == &disk ? 8 : 4);
  }
  if (block < kMiB || block > 256 * kMiB || (block & (block - 1)) != 0 ||
      (sector != 512 && sector != 4096)) {
    return damaged("its metadata gives blocks of " + std::to_string(block) +
                   " bytes and sectors of " + std::to_string(sector));
  }
  // Each run of chunk blocks is followed by the entry of their sector bitmap.
  const uint64_t chunk = (uint64_t{1} << 23) * sector / block;
  const uint64_t blocks = disk / block + (disk % block != 0);
  const uint64_t entries = blocks == 0 ? 0 : blocks + (blocks - 1) / chunk;
  if (entries > batLength / 8) {
    return damaged("its block table holds fewer entries than its disk has blocks");
  }
  if (bat > size || size - bat < entries * 8) {
    return damaged("its block table lies past its end");
  }
  // The disk's last block holds only what is left of the disk: a fixed
  // image's file ends there.
  const int payload = layout.Kind("block", block, true);
  const int last = disk % block != 0 ? layout.Kind("block", disk % block, true) : payload;
  uint64_t allocated = 0;
  bool read = ImageTables_Entries(file, bat, entries, 8, [&](uint64_t i, uint64_t entry) {
    const uint64_t state = entry & 7;
    if ((i + 1) % (chunk + 1) == 0 || (state != 6 && state != 7)) {
      return true;  // a sector bitmap (of a parent's sectors), or no data
    }
    const uint64_t n = i - i / (chunk + 1);
    layout.Add(n == blocks - 1 ? last : payload, entry & ~(kMiB - 1), n);
    return ++allocated <= kMaxBlocks;
  });
  if (!read) {
    return unread("it cannot be read");
  }
  if (allocated > kMaxBlocks) {
    return unread("it has more than " + std::to_string(kMaxBlocks) +
                  " blocks allocated, they are not checked");
  }
  std::string fault = layout.Fault();
  return fault.empty() ? ImageProblem::None : damaged(fault);
}
