// The interface objects. Every method opens alike (see ServiceObject::Open),
// then does its work; a refusal leaves error information
// that says why. Disks and volumes are plain values captured when they are
// handed out; mounts are looked up by id in the service at every call, so a
// mount that was detached meanwhile is reported as unknown.
#include "serviceObjects.h"

#include <string>
#include <utility>
#include <vector>

#include "partitions.h"
#include "serviceObject.h"

namespace {

class MountObject : public ServiceObject<IMount> {
 public:
  MountObject(MountService *service, int32_t id) : ServiceObject(service), id_(id) {
    service_->HoldMount(id_);
  }

  HRESULT Unmount(VARIANT_BOOL force, int32_t) override {
    if (auto refused = Open("IMount.Unmount")) {
      return *refused;
    }
    Outcome done = service_->Detach(id_, force != VARIANT_FALSE);
    return done.Ok() ? S_OK : Fail(done);
  }

  HRESULT MountAs(int32_t driveMask, int32_t, int32_t) override {
    if (auto refused = Open("IMount.MountAs")) {
      return *refused;
    }
    Outcome done = service_->Attach(id_, static_cast<uint32_t>(driveMask));
    return done.Ok() ? S_OK : Fail(done);
  }

 private:
  ~MountObject() override { service_->DropMount(id_); }

  int32_t id_;
};

class DiskVolumeObject : public ServiceObject<IDiskVolume> {
 public:
  DiskVolumeObject(MountService *service, std::string disk, int32_t number, VolumeExtent extent)
      : ServiceObject(service), disk_(std::move(disk)), number_(number), extent_(extent) {}

  HRESULT SectorCount(int32_t *count) override {
    if (auto refused = Open("IDiskVolume.SectorCount", count)) {
      return *refused;
    }
    uint64_t sectors = extent_.length / kSectorSize;
    if (sectors > static_cast<uint64_t>(INT32_MAX)) {
      // A wrapped count would make the client print a wrong (even negative)
      // size.
      return Fail(DISP_E_OVERFLOW, "Volume " + std::to_string(number_) + " has " +
                                       std::to_string(sectors) +
                                       " sectors, more than a 32-bit count can hold.");
    }
    *count = static_cast<int32_t>(sectors);
    return S_OK;
  }

  const std::string &Disk() const { return disk_; }
  int32_t Number() const { return number_; }
  const VolumeExtent &Extent() const { return extent_; }

 private:
  std::string disk_;
  int32_t number_;
  VolumeExtent extent_;
};

class VolumeListObject : public ServiceObject<IVolumeList> {
 public:
  VolumeListObject(MountService *service, std::string disk, std::vector<VolumeExtent> volumes)
      : ServiceObject(service), disk_(std::move(disk)), volumes_(std::move(volumes)) {}

  HRESULT Item(int32_t index, IDiskVolume **volume) override {
    if (auto refused = Open("IVolumeList.Item", volume)) {
      return *refused;
    }
    if (index < 1 || static_cast<size_t>(index) > volumes_.size()) {
      return Fail(E_INVALIDARG, "There is no volume " + std::to_string(index) + " on the disk \"" +
                                    disk_ + "\".");
    }
    *volume = new DiskVolumeObject(service_, disk_, index, volumes_[index - 1]);
    return S_OK;
  }

  HRESULT Count(int32_t *count) override {
    return Answer("IVolumeList.Count", count, static_cast<int32_t>(volumes_.size()));
  }

 private:
  std::string disk_;
  std::vector<VolumeExtent> volumes_;
};

class VirtualDiskObject : public ServiceObject<IVirtualDisk> {
 public:
  VirtualDiskObject(MountService *service, std::string path)
      : ServiceObject(service), path_(std::move(path)) {}

  HRESULT GetVolumes(IVolumeList **volumes) override {
    if (auto refused = Open("IVirtualDisk.GetVolumes", volumes)) {
      return *refused;
    }
    std::vector<VolumeExtent> found;
    Outcome read = service_->ReadDiskVolumes(path_, &found);
    if (!read.Ok()) {
      return Fail(read.hr, read.description);  // a disk, not a request, at fault
    }
    *volumes = new VolumeListObject(service_, path_, std::move(found));
    return S_OK;
  }

  HRESULT CreateMount(int32_t, IDiskVolume *volume, int32_t, IMount **mount) override {
    if (auto refused = Open("IVirtualDisk.CreateMount", mount)) {
      return *refused;
    }
    if (volume == nullptr) {
      return Fail(E_POINTER, "No volume was given.");
    }
    auto *mine = dynamic_cast<DiskVolumeObject *>(volume);
    if (mine == nullptr || mine->Disk() != path_) {
      return Fail(E_INVALIDARG, "The volume is not one of the disk \"" + path_ + "\".");
    }
    int32_t id = 0;
    Outcome made = service_->CreateMount(path_, mine->Number(), mine->Extent(), &id);
    if (!made.Ok()) {
      return Fail(made);
    }
    *mount = new MountObject(service_, id);
    return S_OK;
  }

  HRESULT SectorSize(int32_t *bytes) override {
    return Answer("IVirtualDisk.SectorSize", bytes, kSectorSize);
  }

 private:
  std::string path_;
};

class MountListObject : public ServiceObject<IMountList> {
 public:
  MountListObject(MountService *service, std::vector<std::string> texts)
      : ServiceObject(service), texts_(std::move(texts)) {}

  HRESULT Item(int32_t index, VARIANT *item) override {
    if (auto refused = Open("IMountList.Item", item)) {
      return *refused;
    }
    if (index < 1 || static_cast<size_t>(index) > texts_.size()) {
      return Fail(E_INVALIDARG, "There is no mount list item " + std::to_string(index) + ".");
    }
    BSTR text = nullptr;
    if (!Com_StringToBstr(texts_[index - 1].c_str(), &text) || text == nullptr) {
      return Fail(E_FAIL,
                  "Mount list item " + std::to_string(index) + " cannot be converted to a string.");
    }
    item->vt = VT_BSTR;
    item->bstrVal = text;
    return S_OK;
  }

  HRESULT Count(int32_t *count) override {
    return Answer("IMountList.Count", count, static_cast<int32_t>(texts_.size()));
  }

 private:
  std::vector<std::string> texts_;
};

class MountManagerObject : public ServiceObject<IMountManager> {
 public:
  explicit MountManagerObject(MountService *service) : ServiceObject(service) {}

  HRESULT GetMount(int32_t mountId, IMount **mount) override {
    if (auto refused = Open("IMountManager.GetMount", mount)) {
      return *refused;
    }
    if (!service_->HasMount(mountId)) {
      return Fail(service_->UnknownMount(mountId));
    }
    *mount = new MountObject(service_, mountId);
    return S_OK;
  }

  HRESULT GetMounts(IMountList **mounts) override {
    if (auto refused = Open("IMountManager.GetMounts", mounts)) {
      return *refused;
    }
    *mounts = new MountListObject(service_, service_->Listing());
    return S_OK;
  }

  HRESULT OpenDisk(BSTR path, int32_t, int32_t, int32_t, IVirtualDisk **disk) override {
    if (auto refused = Open("IMountManager.OpenDisk", disk)) {
      return *refused;
    }
    std::string text;
    if (!Com_BstrToString(path, &text)) {
      return Fail(E_INVALIDARG, "The disk path cannot be converted to the host's encoding.");
    }
    Outcome usable = service_->CheckDisk(text);
    if (!usable.Ok()) {
      return Fail(usable);
    }
    *disk = new VirtualDiskObject(service_, text);
    return S_OK;
  }
};

class MountLocatorObject : public ServiceObject<IMountLocator> {
 public:
  explicit MountLocatorObject(MountService *service) : ServiceObject(service) {}

  HRESULT Connect(BSTR, BSTR, int32_t, IMountManager **manager) override {
    if (auto refused = Open("IMountLocator.Connect", manager)) {
      return *refused;
    }
    *manager = new MountManagerObject(service_);
    return S_OK;
  }
};

}  // namespace

IMountLocator *MountLocator_Create(MountService *service) {
  return new MountLocatorObject(service);
}
