// Partition tables through libblkid, which lists primary partitions in slot
// order, the logical ones of an extended partition in chain order, and GPT
// entries in array order: the volume numbering the service's clients use.
#include "partitions.h"

#include <blkid/blkid.h>

#include "host/fs.h"
#include "host/lastError.h"

VolumeScan ReadVolumes(const std::string &path, std::vector<VolumeExtent> *volumes, int *error) {
  volumes->clear();
  *error = 0;
  // Opened once here so that a missing or unreadable image gives its own
  // error rather than "no volumes".
  int handle = HostFile_Open(path.c_str(), HOSTFILE_READ, HOSTFILE_OPEN_EXISTING);
  if (handle == HOSTFILE_INVALID) {
    *error = Host_GetLastError();
    return VolumeScan::Unreadable;
  }
  HostFile_Close(handle);

  blkid_probe probe = blkid_new_probe_from_filename(path.c_str());
  if (probe == nullptr) {
    *error = Host_GetLastError();
    if (*error == 0) {
      *error = Host_ErrorCode(HOST_ERROR_OTHER);
    }
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
  return volumes->empty() ? VolumeScan::NoVolumes : VolumeScan::Found;
}
