// The service's objects called in-process through their interfaces: a whole
// mount and unmount, every refusal with its description, ids, restoring the
// table in a new instance, saving failures, the fault plan, and volumes
// whose size does not fit a 32-bit sector count.
#include "serviceObjects.h"

#include <filesystem>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "com/comPtr.h"
#include "file/fileLock.h"
#include "host/daemon.h"
#include "serviceTestUtil.h"

namespace {

using servicetest::MakeImage;
using servicetest::MakeTwoVolumeDisk;

// The description of the thread's error information, "<none>" without one.
std::string TakeDescription() {
  IErrorInfo *info = nullptr;
  if (GetErrorInfo(0, &info) != S_OK || info == nullptr) {
    return "<none>";
  }
  BSTR text = nullptr;
  info->GetDescription(&text);
  info->Release();
  std::string out;
  Com_BstrToString(text, &out);
  SysFreeString(text);
  return out;
}

constexpr int32_t Drive(char letter) { return int32_t{1} << (letter - 'a'); }

class ServiceObjects : public testing::Test {
 protected:
  void SetUp() override {
    HostLog_Open("test", true);
    disk_ = prefix_.work("disk.img");
    MakeTwoVolumeDisk(disk_);
    plan_ = prefix_.work("plan");
    StartService();
  }
  void TearDown() override { StopService(); }

  void StartService() {
    service_ = std::make_unique<MountService>(Backend_MakeRecord(), plan_);
    std::string error;
    ASSERT_TRUE(service_->Start(&error)) << error;
    auto locator = ComPtr<IMountLocator>::Attach(MountLocator_Create(service_.get()));
    ASSERT_EQ(locator->Connect(nullptr, nullptr, 0, manager_.Receive()), S_OK);
  }
  void StopService() {
    manager_.Reset();
    if (service_ != nullptr) {
      service_->Stop();
      service_.reset();
    }
  }

  // Expects success unless hr is given.
  ComPtr<IVirtualDisk> Open(const std::string &path, HRESULT *hr = nullptr) {
    BStr b(path.c_str());
    ComPtr<IVirtualDisk> disk;
    HRESULT got = manager_->OpenDisk(b.Get(), 0, 0, -1, disk.Receive());
    EXPECT_TRUE(hr != nullptr || got == S_OK) << path;
    if (hr != nullptr) *hr = got;
    return disk;
  }
  ComPtr<IDiskVolume> Volume(const ComPtr<IVirtualDisk> &disk, int32_t n) {
    ComPtr<IVolumeList> volumes;
    ComPtr<IDiskVolume> volume;
    EXPECT_EQ(disk->GetVolumes(volumes.Receive()), S_OK);
    EXPECT_EQ(volumes->Item(n, volume.Receive()), S_OK);
    return volume;
  }
  // A mount of volume n of path, attached as letter unless it is 0.
  ComPtr<IMount> Create(const std::string &path, int32_t n, char letter = 0) {
    ComPtr<IVirtualDisk> disk = Open(path);
    ComPtr<IMount> mount;
    EXPECT_EQ(disk->CreateMount(0, Volume(disk, n).Get(), 0x10000, mount.Receive()), S_OK);
    EXPECT_TRUE(letter == 0 || mount->MountAs(Drive(letter), 0x20, -1) == S_OK);
    return mount;
  }

  std::vector<std::string> Listing() {
    ComPtr<IMountList> list;
    EXPECT_EQ(manager_->GetMounts(list.Receive()), S_OK);
    int32_t count = -1;
    EXPECT_EQ(list->Count(&count), S_OK);
    std::vector<std::string> texts;
    for (int32_t i = 1; i <= count; i++) {
      ComVariant v;
      EXPECT_EQ(list->Item(i, v.Receive()), S_OK);
      std::string text;
      v.ToBStr().ToString(&text);
      texts.push_back(text);
    }
    return texts;
  }
  std::string Entry(const std::string &disk, int id, char letter) {
    return "id=" + std::to_string(id) + " file=\"" + disk + "\" driveLetter=\"" + letter + ":\"";
  }

  bool DriveExists(char letter) {
    std::error_code ec;
    return std::filesystem::symlink_status(prefix_.file(std::string("drives/") + letter + ":"), ec)
               .type() != std::filesystem::file_type::not_found;
  }
  // 1 when the disk is free, 0 when the service holds it.
  int LockDisk() {
    int got = FileLock_Lock(disk_.c_str(), false);
    if (got == 1) FileLock_Unlock(disk_.c_str(), false);
    return got;
  }

  servicetest::PrivatePrefix prefix_;
  std::string disk_;
  std::string plan_;
  std::unique_ptr<MountService> service_;
  ComPtr<IMountManager> manager_;
};

TEST_F(ServiceObjects, MountListAndUnmount) {
  ComPtr<IVirtualDisk> disk = Open(disk_);
  int32_t value = 0;
  EXPECT_EQ(disk->SectorSize(&value), S_OK);
  EXPECT_EQ(value, 512);
  ComPtr<IVolumeList> volumes;
  ASSERT_EQ(disk->GetVolumes(volumes.Receive()), S_OK);
  EXPECT_EQ(volumes->Count(&value), S_OK);
  EXPECT_EQ(value, 2);
  EXPECT_EQ(Volume(disk, 2)->SectorCount(&value), S_OK);
  EXPECT_EQ(value, 2048);

  ComPtr<IMount> mount = Create(disk_, 2);
  EXPECT_TRUE(Listing().empty());  // created, not attached
  ASSERT_EQ(mount->MountAs(Drive('e'), 0x20, -1), S_OK);
  EXPECT_EQ(Listing(), std::vector<std::string>{Entry(disk_, 1, 'e')});
  std::string folder = prefix_.file("bmount/volumes/1");
  EXPECT_EQ(std::filesystem::read_symlink(prefix_.file("drives/e:")), folder);
  EXPECT_EQ(testsupport::ReadFile(folder + "/volume"),
            "disk=" + disk_ + "\nvolume=2\noffset=4194304\nlength=1048576\n");
  EXPECT_EQ(LockDisk(), 0);  // locked while its volume is attached

  ASSERT_EQ(mount->Unmount(VARIANT_FALSE, -1), S_OK);
  EXPECT_FALSE(DriveExists('e'));
  EXPECT_FALSE(std::filesystem::exists(folder));
  EXPECT_TRUE(Listing().empty());
  EXPECT_EQ(LockDisk(), 1);
  // The mount is gone for its own object too.
  EXPECT_EQ(mount->MountAs(Drive('e'), 0x20, -1), E_INVALIDARG);
  EXPECT_EQ(TakeDescription(), "There is no mount with id 1.");

  // A drive entry someone else put in place meanwhile stays.
  mount = Create(disk_, 1, 'u');
  std::string entry = prefix_.file("drives/u:");
  std::filesystem::remove(entry);
  std::filesystem::create_directory_symlink("/media/usb", entry);
  ASSERT_EQ(mount->Unmount(VARIANT_FALSE, -1), S_OK);
  EXPECT_EQ(std::filesystem::read_symlink(entry), "/media/usb");
  EXPECT_FALSE(std::filesystem::exists(prefix_.file("bmount/volumes/2")));
}

TEST_F(ServiceObjects, RefusalsSayWhy) {
  ComPtr<IMount> first = Create(disk_, 1), second = Create(disk_, 2);
  const struct {
    int32_t mask;
    const char *description;
  } kMasks[] = {
      {Drive('c'), "The drive letter C: is already in use."},
      {Drive('e') | Drive('f'), "The drive mask 0x30 must have exactly one bit set."},
      {0, "The drive mask 0x0 must have exactly one bit set."},
      {1 << 27, "The drive mask 0x8000000 names no drive letter."},
  };
  for (const auto &m : kMasks) {
    EXPECT_TRUE(FAILED(first->MountAs(m.mask, 0x20, -1)));
    EXPECT_EQ(TakeDescription(), m.description);
  }
  ASSERT_EQ(first->MountAs(Drive('f'), 0x20, -1), S_OK);
  EXPECT_TRUE(FAILED(second->MountAs(Drive('g'), 0x20, -1)));
  EXPECT_EQ(TakeDescription(), "A volume of the disk \"" + disk_ + "\" is already mounted as f:.");
  EXPECT_FALSE(DriveExists('g'));
  EXPECT_TRUE(FAILED(first->MountAs(Drive('h'), 0x20, -1)));
  EXPECT_EQ(TakeDescription(), "Mount 1 is already attached as f:.");

  ComPtr<IMount> unknown;
  EXPECT_EQ(manager_->GetMount(99, unknown.Receive()), E_INVALIDARG);
  EXPECT_FALSE(unknown);
  EXPECT_EQ(TakeDescription(), "There is no mount with id 99.");

  std::string nowhere = prefix_.work("nowhere.img");
  const struct {
    std::string path, description;
  } kPaths[] = {
      {nowhere, "The disk \"" + nowhere + "\" cannot be opened: No such file or directory."},
      {"relative.img", "The disk \"relative.img\" cannot be opened: the path is not absolute."},
      {prefix_.work(""), "it is a folder"},
      {"/vms/a\"b.img", "double quote"},
  };
  for (const auto &p : kPaths) {
    HRESULT hr = S_OK;
    EXPECT_FALSE(Open(p.path, &hr));
    EXPECT_TRUE(FAILED(hr));
    EXPECT_NE(TakeDescription().find(p.description), std::string::npos) << p.path;
  }

  auto support = ComPtr<ISupportErrorInfo>::Attach(Com_Query<ISupportErrorInfo>(first.Get()));
  EXPECT_EQ(support->InterfaceSupportsErrorInfo(IID_IMount), S_OK);
  EXPECT_EQ(support->InterfaceSupportsErrorInfo(IID_IMountList), S_FALSE);

  // Out of range, and no volume.
  ComPtr<IVirtualDisk> disk = Open(disk_);
  ComPtr<IVolumeList> volumes;
  ASSERT_EQ(disk->GetVolumes(volumes.Receive()), S_OK);
  ComPtr<IDiskVolume> volume;
  EXPECT_EQ(volumes->Item(3, volume.Receive()), E_INVALIDARG);
  EXPECT_EQ(volumes->Item(0, volume.Receive()), E_INVALIDARG);
  ComPtr<IMountList> list;
  ASSERT_EQ(manager_->GetMounts(list.Receive()), S_OK);
  VARIANT v;
  EXPECT_EQ(list->Item(2, &v), E_INVALIDARG);
  EXPECT_EQ(v.vt, VT_EMPTY);
  EXPECT_EQ(disk->CreateMount(0, nullptr, 0x10000, unknown.Receive()), E_POINTER);
}

TEST_F(ServiceObjects, DiskLockedElsewhereIsRefused) {
  ASSERT_EQ(FileLock_Lock(disk_.c_str(), true), 1);
  ComPtr<IMount> mount = Create(disk_, 1);
  EXPECT_TRUE(FAILED(mount->MountAs(Drive('e'), 0x20, -1)));
  EXPECT_EQ(TakeDescription(), "The disk \"" + disk_ + "\" is in use by another program.");
  EXPECT_FALSE(DriveExists('e'));
  FileLock_Unlock(disk_.c_str(), true);
  EXPECT_EQ(mount->MountAs(Drive('e'), 0x20, -1), S_OK);
}

// Mounts never attached are discarded on unmount or with their last
// reference, and their ids are not used again, not even by a new instance.
TEST_F(ServiceObjects, IdsAreNeverReused) {
  ComPtr<IMount> mount = Create(disk_, 1);
  EXPECT_EQ(mount->Unmount(VARIANT_TRUE, -1), S_OK);
  EXPECT_EQ(manager_->GetMount(1, mount.Receive()), E_INVALIDARG);
  mount = Create(disk_, 1);
  ComPtr<IMount> same;
  EXPECT_EQ(manager_->GetMount(2, same.Receive()), S_OK);
  mount.Reset();
  same.Reset();
  EXPECT_EQ(manager_->GetMount(2, same.Receive()), E_INVALIDARG);
  EXPECT_EQ(service_->Table().Find(2), nullptr);

  StopService();
  StartService();
  mount = Create(disk_, 1, 'e');
  EXPECT_EQ(Listing(), std::vector<std::string>{Entry(disk_, 3, 'e')});
}

// A new instance finds the mounts again: from an intact table, and however
// the table is lost, by their volume folders and drive entries under their
// ids, keeping a damaged table aside.
TEST_F(ServiceObjects, MountsOutliveTheServiceInstance) {
  std::string other = prefix_.work("other.img");
  MakeTwoVolumeDisk(other);
  Create(other, 2, 'k');
  Create(disk_, 1, 'e');
  std::vector<std::string> listing{Entry(other, 1, 'k'), Entry(disk_, 2, 'e')};
  StopService();
  EXPECT_TRUE(DriveExists('k'));
  EXPECT_EQ(LockDisk(), 1);  // nobody holds it between instances
  std::string table = prefix_.file("bmount/mounts");
  std::string whole = testsupport::ReadFile(table);
  const char garbage[] = "\x93\0\xffmount id=\n\x7f";
  const std::string damages[] = {whole, std::string(garbage, sizeof garbage - 1), "",
                                 whole.substr(0, whole.find("nextId")),
                                 whole.substr(0, whole.size() / 2)};
  for (const std::string &damage : damages) {
    testsupport::WriteFile(table, damage);
    StartService();
    EXPECT_EQ(Listing(), listing) << damage;
    EXPECT_EQ(testsupport::ReadFile(table + ".damaged"), damage == whole ? "" : damage);
    EXPECT_EQ(testsupport::ReadFile(table), whole);
    EXPECT_EQ(LockDisk(), 0);  // taken again on restore
    EXPECT_TRUE(service_->Busy());
    EXPECT_TRUE(DriveExists('k') && DriveExists('e'));
    StopService();
  }
  // A missing table is found again the same way, and ids go on above.
  std::filesystem::remove(table);
  StartService();
  EXPECT_EQ(Listing(), listing);
  std::string third = prefix_.work("third.img");
  MakeTwoVolumeDisk(third);
  Create(third, 1, 'f');
  EXPECT_EQ(Listing().back(), Entry(third, 3, 'f'));
  ComPtr<IMount> a;
  ASSERT_EQ(manager_->GetMount(1, a.Receive()), S_OK);
  ASSERT_EQ(a->Unmount(VARIANT_TRUE, -1), S_OK);
  EXPECT_FALSE(DriveExists('k'));
}

TEST_F(ServiceObjects, DamagedTableIsKeptAside) {
  StopService();
  std::string table = prefix_.file("bmount/mounts");
  std::string damaged = "nextId=4\nmount id=2 volume=1 letter=e\n";
  testsupport::WriteFile(table, damaged);
  StartService();
  EXPECT_EQ(testsupport::ReadFile(table + ".damaged"), damaged);
  Create(disk_, 1, 'e');
  EXPECT_EQ(Listing(), std::vector<std::string>{Entry(disk_, 4, 'e')});
}

TEST_F(ServiceObjects, FailedSavesUndoTheChange) {
  ComPtr<IMount> mount = Create(disk_, 1);
  // A folder in the table's place makes every save fail.
  std::string table = prefix_.file("bmount/mounts");
  auto block = [&] {
    std::filesystem::remove(table);
    std::filesystem::create_directories(table + "/keep");
  };
  block();
  EXPECT_TRUE(FAILED(mount->MountAs(Drive('e'), 0x20, -1)));
  EXPECT_EQ(TakeDescription().rfind("The mount table cannot be saved: ", 0), 0u);
  EXPECT_FALSE(DriveExists('e'));
  EXPECT_TRUE(Listing().empty());
  EXPECT_EQ(LockDisk(), 1);

  std::filesystem::remove_all(table);
  ASSERT_EQ(mount->MountAs(Drive('e'), 0x20, -1), S_OK);
  block();
  EXPECT_TRUE(FAILED(mount->Unmount(VARIANT_FALSE, -1)));
  EXPECT_TRUE(DriveExists('e'));
  EXPECT_EQ(Listing(), std::vector<std::string>{Entry(disk_, 1, 'e')});
  std::filesystem::remove_all(table);
  EXPECT_EQ(mount->Unmount(VARIANT_FALSE, -1), S_OK);
}

TEST_F(ServiceObjects, DisksWithoutVolumesOrWithTooManySectors) {
  std::string blank = prefix_.work("blank.img");
  MakeImage(blank, 1 << 20, "");
  ComPtr<IVolumeList> volumes;
  EXPECT_EQ(Open(blank)->GetVolumes(volumes.Receive()), COM_HRESULT(0x8004020Bu));
  EXPECT_FALSE(volumes);
  EXPECT_EQ(TakeDescription(),
            "The disk \"" + blank + "\" has no partition table or no partitions.");

  std::string huge = prefix_.work("huge.img");
  // GPT: the second volume ends beyond what MBR fields can address.
  MakeImage(huge, ((uint64_t{1} << 32) + 8192) * 512,
            "label: gpt\n" + huge + "1 : start=2048, size=2147483648\n" + huge +
                "2 : start=2147485696, size=2147483647\n");
  ComPtr<IVirtualDisk> disk = Open(huge);
  int32_t sectors = -1;
  EXPECT_EQ(Volume(disk, 1)->SectorCount(&sectors), DISP_E_OVERFLOW);
  EXPECT_EQ(sectors, 0);
  EXPECT_NE(TakeDescription().find("2147483648 sectors"), std::string::npos);
  EXPECT_EQ(Volume(disk, 2)->SectorCount(&sectors), S_OK);
  EXPECT_EQ(sectors, INT32_MAX);
}

TEST_F(ServiceObjects, FaultPlanRules) {
  ComPtr<IMount> mount = Create(disk_, 1, 'e');
  testsupport::WriteFile(plan_,
                         "IMount.MountAs 0x80004005 Access denied by policy\n"
                         "IMount.Unmount 0x80070005\n"
                         "IMountManager.OpenDisk null\n"
                         "IMountList.Count null\n"
                         "IMountList.Item null\n"
                         "IVirtualDisk.SectorSize null\n");
  EXPECT_FALSE(Open(disk_));
  EXPECT_EQ(mount->MountAs(Drive('g'), 0x20, -1), COM_HRESULT(0x80004005u));
  EXPECT_EQ(TakeDescription(), "Access denied by policy");
  EXPECT_EQ(mount->Unmount(VARIANT_FALSE, -1), COM_HRESULT(0x80070005u));
  EXPECT_EQ(TakeDescription(), "<none>");
  EXPECT_TRUE(DriveExists('e'));  // the failing calls did nothing

  ComPtr<IMountList> list;
  ASSERT_EQ(manager_->GetMounts(list.Receive()), S_OK);
  int32_t value = -1;
  EXPECT_EQ(list->Count(&value), S_OK);
  EXPECT_EQ(value, 0);
  VARIANT v;
  EXPECT_EQ(list->Item(1, &v), S_OK);
  EXPECT_EQ(v.vt, VT_NULL);

  testsupport::WriteFile(plan_,
                         "IVirtualDisk.SectorSize null\n"
                         "listing id=7 file=\"/x\" driveLetter=\"q:\" # verbatim \n");
  value = -1;
  EXPECT_EQ(Open(disk_)->SectorSize(&value), S_OK);
  EXPECT_EQ(value, 0);
  EXPECT_EQ(Listing(),
            (std::vector<std::string>{Entry(disk_, 1, 'e'),
                                      "id=7 file=\"/x\" driveLetter=\"q:\" # verbatim "}));
  EXPECT_EQ(mount->Unmount(VARIANT_FALSE, -1), S_OK);
}

}  // namespace
