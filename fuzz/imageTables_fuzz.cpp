// Fuzzes the service's own checks of an image's tables, which read a file a
// user hands over: the first byte picks the format, the rest is the file. No
// input may crash, hang or take memory without bound.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "imageTables.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static const char *const kFormats[] = {"vpc", "vmdk", "vdi", "parallels", "vhdx"};
  if (size == 0) return 0;
  int file = memfd_create("image", MFD_CLOEXEC);
  if (file < 0 || write(file, data + 1, size - 1) != static_cast<ssize_t>(size - 1)) abort();
  ImageLayer layer;
  layer.path = "/proc/self/fd/" + std::to_string(file);
  layer.format = kFormats[data[0] % (sizeof kFormats / sizeof kFormats[0])];
  std::string reason;
  ImageTables_Check(layer, file, size - 1, &reason);
  ImageTables_VhdType(file, size - 1);
  close(file);
  return 0;
}
