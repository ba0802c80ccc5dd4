// The four commands: list the mounts, list a disk's volumes, mount a volume
// under a drive letter, dismount a drive letter. They print nothing on
// success but their listings; every refusal and failure is raised.
#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <ostream>
#include <utility>

#include <boost/regex.hpp>

#include "args.h"
#include "brenixMount.h"
#include "com/proxy.h"
#include "errors.h"
#include "host/drives.h"
#include "messages.h"
#include "serviceClient.h"
#include "string/str.h"
#include "user/msg.h"

namespace {

constexpr int32_t kCreateMountOptions = 0x10000;
constexpr int32_t kMountAsFlags = 0x20;
constexpr int64_t kBytesPerMb = 1048576;

}  // namespace

int ListMountedCommand(std::ostream &out) {
  std::vector<MountedVolume> mounts = ReadMountedVolumes();
  if (mounts.empty()) {
    out << Msg_FormatToString(msg::kNoDrivesMounted);
  } else {
    for (const MountedVolume &m : mounts) {
      out << m.driveLetter << ":\\  =>  " << Str_Printable(m.diskPath, STR_SHOWN_NAME) << "\n";
    }
    out << "\n";
  }
  return kExitSuccess;
}

int ListDiskVolumesCommand(Args &args) {
  ComPtr<IMountManager> manager = ConnectToService();
  ComPtr<IVirtualDisk> disk = OpenVirtualDisk(manager, args.diskPath);
  unsigned count = 0;
  ComPtr<IVolumeList> volumes = GetVolumeList(disk, count);
  if (count == 0) {
    Print(Msg_FormatToString(msg::kNoVolumes2));
    return kExitSuccess;
  }
  int32_t sectorSize = 0;
  disk.Check(disk->SectorSize(&sectorSize));
  // The volume whose size failed; an empty one when the service handed back
  // nothing, which fails as using an empty reference does.
  std::optional<ComPtr<IDiskVolume>> unsized;
  HRESULT listed =
      ComProxy_Items(volumes.Get(), static_cast<int32_t>(std::min<unsigned>(count, INT32_MAX)),
                     [&](int32_t i, IDiskVolume *volume) {
                       int32_t sectors = 0;
                       HRESULT hr = volume != nullptr ? volume->SectorCount(&sectors) : E_POINTER;
                       if (FAILED(hr)) {
                         unsized.emplace(volume);
                         return hr;
                       }
                       int64_t megabytes = static_cast<int64_t>(sectors) * sectorSize / kBytesPerMb;
                       Print(Msg_FormatToString(msg::kVolumeData, static_cast<int>(i),
                                                static_cast<int>(megabytes)));
                       return S_OK;
                     });
  if (unsized) unsized->Check(listed);
  volumes.Check(listed);
  return kExitSuccess;
}

int MountCommand(Args &args) {
  uint32_t mask = HostDrives_Mask();
  int letter = std::toupper(static_cast<unsigned char>(args.driveLetter[0]));
  uint32_t driveBit = 1u << (letter - 'A');
  if ((mask & driveBit) != 0) throw UserError(Msg_FormatToString(msg::kDriveLetterInUse));
  if (letter < 'D') throw UserError(Msg_FormatToString(msg::kUseDriveDOrHigher));

  ComPtr<IMountManager> manager = ConnectToService();
  ComPtr<IVirtualDisk> disk = OpenVirtualDisk(manager, args.diskPath);
  unsigned count = 0;
  ComPtr<IVolumeList> volumes = GetVolumeList(disk, count);
  if (count == 0) throw UserError(Msg_FormatToString(msg::kNoVolumes1));
  if (args.volumeNumber < 1 || static_cast<unsigned>(args.volumeNumber) > count) {
    throw UserError(Msg_FormatToString(msg::kVolumeIndexOutOfRange));
  }

  ComPtr<IMount> mount;
  bool mountExists = false;
  try {
    {
      // The list goes before the mount is attached, as the volume does.
      ComPtr<IVolumeList> list = std::move(volumes);
      ComPtr<IDiskVolume> volume;
      list.Check(list->Item(args.volumeNumber, volume.Receive()));
      disk.Check(disk->CreateMount(0, volume.Get(), kCreateMountOptions, mount.Receive()));
    }
    mountExists = true;
    SetProxySecurity(mount);
    mount.Check(mount->MountAs(static_cast<int32_t>(driveBit), kMountAsFlags, -1));
  } catch (const ComError &e) {
    // A mount that could not be attached is discarded; should that fail too,
    // its own error is the one reported.
    if (mountExists) mount.Check(mount->Unmount(VARIANT_TRUE, -1));
    throw AppError(e, Msg_FormatToString(msg::kUnableToMount));
  }
  return kExitSuccess;
}

int DismountCommand(Args &args) {
  char letter = static_cast<char>(std::tolower(static_cast<unsigned char>(args.driveLetter[0])));
  VARIANT_BOOL force = args.forceFlag ? VARIANT_TRUE : VARIANT_FALSE;
  ComPtr<IMountManager> manager = ConnectToService();

  try {
    const boost::regex pattern(std::string("id=(\\d+).+driveLetter=\"") + letter + ":\"");
    bool found = VisitMountTexts(manager, [&](const std::string &text) {
      boost::smatch m;
      if (!boost::regex_match(text, m, pattern)) return false;
      // A mount that another client detached since it was listed is no
      // longer known by its id: it is dismounted, as asked.
      ComPtr<IMount> mount;
      HRESULT hr = manager->GetMount(std::atoi(m[1].str().c_str()), mount.Receive());
      if (hr == E_INVALIDARG) return true;
      manager.Check(hr);
      SetProxySecurity(mount);
      hr = mount->Unmount(force, -1);
      if (hr != E_INVALIDARG) mount.Check(hr);
      return true;
    });
    if (!found) throw UserError(Msg_FormatToString(msg::kNotBrenixMounted, product::kName));
    return kExitSuccess;
  } catch (const ComError &e) {
    throw AppError(e, Msg_FormatToString(force == VARIANT_TRUE ? msg::kUnableToDismount
                                                               : msg::kSuggestForcedDismount));
  }
}
