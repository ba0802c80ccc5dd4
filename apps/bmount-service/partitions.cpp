// Partition tables through libblkid, which lists primary partitions in slot
// order, the logical ones of an extended partition in chain order, and GPT
// entries in array order: the volume numbering the service's clients use.
#include "partitions.h"

#include <blkid/blkid.h>

#include "host/disk.h"
#include "host/lastError.h"

VolumeScan ReadVolumes(const std::string &path, std::vector<VolumeExtent> *volumes, int *error) {
  volumes->clear();
  *error = 0;
  // Opened here, never waiting and only if it is a disk at all, so that a
  // missing or unreadable image gives its own error rather than "no
  // volumes".
  HostDisk disk;
  switch (HostDisk_Open(path.c_str(), false, &disk, error)) {
    case HostDiskOpen::Opened:
      break;
    case HostDiskOpen::Failed:
      return VolumeScan::Unreadable;
    case HostDiskOpen::InUse:
      *error = Host_ErrorCode(HOST_ERROR_BUSY);
      return VolumeScan::Unreadable;
    default:
      *error = Host_ErrorCode(HOST_ERROR_INVALID);
      return VolumeScan::Unreadable;
  }
  blkid_probe probe = blkid_new_probe();
  if (probe == nullptr || blkid_probe_set_device(probe, disk.fd, 0, 0) != 0) {
    *error = Host_GetLastError();
    if (*error == 0) {
      *error = Host_ErrorCode(HOST_ERROR_OTHER);
    }
    blkid_free_probe(probe);
    HostDisk_Close(&disk);
    return VolumeScan::Unreadable;
  }
  blkid_probe_enable_superblocks(probe, 0);
  blkid_probe_enable_partitions(probe, 1);
  blkid_partlist list = blkid_probe_get_partitions(probe);
  if (list != nullptr) {
    int count = blkid_partlist_numof_partitions(list);
    for (int i = 0; i < count; i++) {
      blkid_partition part = blkid_partlist_get_partition(list, i);
      if (part == nullptr || blkid_partition_is_extended(part)) {
        continue;
      }
      blkid_parttable table = blkid_partition_get_table(part);
      if (table != nullptr && blkid_parttable_get_parent(table) != nullptr) {
        continue;  // a label nested inside another partition
      }
      blkid_loff_t start = blkid_partition_get_start(part);
      blkid_loff_t size = blkid_partition_get_size(part);
      if (start < 0 || size <= 0) {
        continue;
      }
      volumes->push_back(
          {static_cast<uint64_t>(start) * kSectorSize, static_cast<uint64_t>(size) * kSectorSize});
    }
  }
  blkid_free_probe(probe);
  // libblkid takes a read that fails for no table: a disk whose image cannot
  // be read (damaged, or on a parent changed since) is not an empty one.
  if (volumes->empty()) {
    *error = HostDisk_ReadEnds(disk, kSectorSize);
  }
  HostDisk_Close(&disk);
  return *error != 0        ? VolumeScan::Unreadable
         : volumes->empty() ? VolumeScan::NoVolumes
                            : VolumeScan::Found;
}
