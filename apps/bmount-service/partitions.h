// The volumes of a raw disk image (512-byte sectors): the partitions of its
// MBR (primary partitions in slot order, then the logical ones in chain
// order) or GPT (used entries in array order), extended-partition containers
// and partitions nested inside other partitions left out.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

constexpr uint32_t kSectorSize = 512;

struct VolumeExtent {
  uint64_t offset;  // first byte
  uint64_t length;  // bytes
};

enum class VolumeScan {
  Found,       // at least one volume
  NoVolumes,   // no partition table, or one without partitions
  Unreadable,  // the image cannot be opened or read (*error holds the code)
};

// Reads the volumes of the image at path into *volumes. *error receives a
// system error code for Unreadable.
VolumeScan ReadVolumes(const std::string &path, std::vector<VolumeExtent> *volumes, int *error);
