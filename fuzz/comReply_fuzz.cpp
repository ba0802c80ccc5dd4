// Fuzzes what a client reads from a server: the input is the whole byte
// stream a server sends back, queued on one end of a socket pair before the
// client activates over the other end and walks every interface the front
// end uses (listing, disk, volumes, mount). The client must never crash,
// hang or leak, must hand out no object and no value with a failure, and
// once everything is released the stream must be closed.
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>

#include "com/activation.h"
#include "com/apartment.h"
#include "com/errorInfo.h"
#include "com/mountService.h"
#include "com/variant.h"
#include "host/socket.h"

namespace {

template <class T>
void Drop(T *&p) {
  if (p != nullptr) p->Release();
  p = nullptr;
}

// A failed call leaves its object out-parameter NULL.
template <class T>
bool Check(HRESULT hr, T *out) {
  if (FAILED(hr) && out != nullptr) abort();
  return out != nullptr;
}

void ReadErrorInfo() {
  IErrorInfo *info = nullptr;
  if (GetErrorInfo(0, &info) == S_OK && info != nullptr) {
    BSTR text = nullptr;
    info->GetDescription(&text);
    SysFreeString(text);
    info->Release();
  }
}

void WalkList(IMountManager *manager) {
  IMountList *list = nullptr;
  if (!Check(manager->GetMounts(&list), list)) return ReadErrorInfo();
  int32_t count = -1;
  if (FAILED(list->Count(&count)) && count != 0) abort();
  for (int32_t i = 1; i <= 3; i++) {
    VARIANT item;
    VariantInit(&item);
    HRESULT hr = list->Item(i, &item);
    if (FAILED(hr) && item.vt != VT_EMPTY) abort();
    VariantClear(&item);
  }
  Drop(list);
}

void WalkDisk(IMountManager *manager) {
  BSTR path = SysAllocString(u"/vms/disk.bxdk");
  IVirtualDisk *disk = nullptr;
  HRESULT hr = manager->OpenDisk(path, 0, 0, -1, &disk);
  SysFreeString(path);
  if (!Check(hr, disk)) return ReadErrorInfo();
  IVolumeList *volumes = nullptr;
  IDiskVolume *volume = nullptr;
  IMount *mount = nullptr;
  int32_t value = -1;
  if (FAILED(disk->SectorSize(&value)) && value != 0) abort();
  if (Check(disk->GetVolumes(&volumes), volumes)) {
    value = -1;
    if (FAILED(volumes->Count(&value)) && value != 0) abort();
    if (Check(volumes->Item(1, &volume), volume)) {
      value = -1;
      if (FAILED(volume->SectorCount(&value)) && value != 0) abort();
      if (Check(disk->CreateMount(0, volume, 0x10000, &mount), mount)) {
        mount->MountAs(1 << 4, 0x20, -1);
        mount->Unmount(VARIANT_TRUE, -1);
      }
    }
  }
  Drop(mount);
  Drop(volume);
  Drop(volumes);
  Drop(disk);
  IMount *byId = nullptr;
  Check(manager->GetMount(1, &byId), byId);
  Drop(byId);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  // Far below what a socket pair buffers, so queueing it never blocks.
  if (size > 32768) return 0;
  static const bool initialised = SUCCEEDED(CoInitialize(nullptr));
  if (!initialised) abort();
  int fds[2];
  if (HostStream_Pair(fds) != 0) abort();  // descriptors leaked by earlier inputs end here
  for (size_t at = 0; at < size;) {
    ssize_t n = write(fds[1], data + at, size - at);
    if (n <= 0) abort();
    at += static_cast<size_t>(n);
  }
  shutdown(fds[1], SHUT_WR);

  IUnknown *unknown = nullptr;
  HRESULT hr = Com_ActivateOverStream(fds[0], CLSID_MountLocator, IID_IUnknown,
                                      reinterpret_cast<void **>(&unknown));
  if (Check(hr, unknown)) {
    IMountLocator *locator = nullptr;
    if (Check(unknown->QueryInterface(IID_IMountLocator, reinterpret_cast<void **>(&locator)),
              locator)) {
      BSTR empty = SysAllocString(u"");
      IMountManager *manager = nullptr;
      hr = locator->Connect(empty, empty, 0, &manager);
      SysFreeString(empty);
      if (Check(hr, manager)) {
        WalkList(manager);
        WalkDisk(manager);
      } else {
        ReadErrorInfo();
      }
      Drop(manager);
      Drop(locator);
    }
    OleRun(unknown);
    Drop(unknown);
  }
  SetErrorInfo(0, nullptr);

  // With every proxy gone the client's end is closed: reading the server's
  // end reaches its end (after whatever requests were sent).
  char buffer[4096];
  for (;;) {
    ssize_t n = recv(fds[1], buffer, sizeof buffer, MSG_DONTWAIT);
    if (n == 0 || (n < 0 && errno == ECONNRESET)) break;  // reset: replies were left unread
    if (n < 0) abort();  // still open: something holds the connection
  }
  close(fds[1]);
  return 0;
}
