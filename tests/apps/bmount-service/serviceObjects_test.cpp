// The service's objects called in-process through their interfaces: a whole
// mount and unmount, every refusal with its description, ids, restoring the
// table in a new instance, saving failures, the fault plan, and volumes
// whose size does not fit a 32-bit sector count.
#include "serviceObjects.h"

#include <filesystem>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "com/errorInfo.h"
#include "file/fileLock.h"
#include "host/daemon.h"
#include "serviceObject.h"
#include "serviceTestUtil.h"

namespace {

using servicetest::MakeImage;
using servicetest::MakeTwoVolumeDisk;

// Releases an interface pointer at the end of a scope.
template <class T>
struct Ref {
  T *p = nullptr;
  Ref() = default;
  Ref(const Ref &) = delete;
  Ref &operator=(const Ref &) = delete;
  ~Ref() {
    if (p != nullptr) p->Release();
  }
  T **out() { return &p; }
  T *operator->() const { return p; }
};

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
    IMountLocator *locator = MountLocator_Create(service_.get());
    ASSERT_EQ(locator->Connect(nullptr, nullptr, 0, manager_.out()), S_OK);
    locator->Release();
  }
  void StopService() {
    if (manager_.p != nullptr) {
      manager_.p->Release();
      manager_.p = nullptr;
    }
    if (service_ != nullptr) {
      service_->Stop();
      service_.reset();
    }
  }

  HRESULT Open(const std::string &path, IVirtualDisk **disk) {
    BSTR b = nullptr;
    EXPECT_TRUE(Com_StringToBstr(path.c_str(), &b));
    HRESULT hr = manager_->OpenDisk(b, 0, 0, -1, disk);
    SysFreeString(b);
    return hr;
  }

  // Creates a mount of volume n of path; returns it (owned by the caller).
  IMount *Create(const std::string &path, int32_t n) {
    Ref<IVirtualDisk> disk;
    Ref<IVolumeList> volumes;
    Ref<IDiskVolume> volume;
    IMount *mount = nullptr;
    EXPECT_EQ(Open(path, disk.out()), S_OK);
    EXPECT_EQ(disk->GetVolumes(volumes.out()), S_OK);
    EXPECT_EQ(volumes->Item(n, volume.out()), S_OK);
    EXPECT_EQ(disk->CreateMount(0, volume.p, 0x10000, &mount), S_OK);
    return mount;
  }

  std::vector<std::string> Listing() {
    Ref<IMountList> list;
    EXPECT_EQ(manager_->GetMounts(list.out()), S_OK);
    int32_t count = -1;
    EXPECT_EQ(list->Count(&count), S_OK);
    std::vector<std::string> texts;
    for (int32_t i = 1; i <= count; i++) {
      VARIANT v;
      EXPECT_EQ(list->Item(i, &v), S_OK);
      EXPECT_EQ(v.vt, VT_BSTR);
      std::string text;
      Com_BstrToString(v.bstrVal, &text);
      VariantClear(&v);
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

  static constexpr int32_t Drive(char letter) { return int32_t{1} << (letter - 'a'); }

  servicetest::PrivatePrefix prefix_;
  std::string disk_;
  std::string plan_;
  std::unique_ptr<MountService> service_;
  Ref<IMountManager> manager_;
};

TEST_F(ServiceObjects, MountListAndUnmount) {
  Ref<IVirtualDisk> disk;
  ASSERT_EQ(Open(disk_, disk.out()), S_OK);
  int32_t sectorSize = 0;
  EXPECT_EQ(disk->SectorSize(&sectorSize), S_OK);
  EXPECT_EQ(sectorSize, 512);
  Ref<IVolumeList> volumes;
  ASSERT_EQ(disk->GetVolumes(volumes.out()), S_OK);
  int32_t count = 0;
  EXPECT_EQ(volumes->Count(&count), S_OK);
  EXPECT_EQ(count, 2);
  Ref<IDiskVolume> volume;
  ASSERT_EQ(volumes->Item(2, volume.out()), S_OK);
  int32_t sectors = 0;
  EXPECT_EQ(volume->SectorCount(&sectors), S_OK);
  EXPECT_EQ(sectors, 2048);

  Ref<IMount> mount;
  ASSERT_EQ(disk->CreateMount(0, volume.p, 0x10000, mount.out()), S_OK);
  EXPECT_TRUE(Listing().empty());  // created, not attached
  ASSERT_EQ(mount->MountAs(Drive('e'), 0x20, -1), S_OK);
  EXPECT_EQ(Listing(), std::vector<std::string>{Entry(disk_, 1, 'e')});

  std::string folder = prefix_.file("bmount/volumes/1");
  EXPECT_EQ(std::filesystem::read_symlink(prefix_.file("drives/e:")), folder);
  EXPECT_EQ(testsupport::ReadFile(folder + "/volume"),
            "disk=" + disk_ + "\nvolume=2\noffset=4194304\nlength=1048576\n");
  // The disk is locked while its volume is attached.
  EXPECT_EQ(FileLock_Lock(disk_.c_str(), false), 0);

  ASSERT_EQ(mount->Unmount(VARIANT_FALSE, -1), S_OK);
  EXPECT_FALSE(DriveExists('e'));
  EXPECT_FALSE(std::filesystem::exists(folder));
  EXPECT_TRUE(Listing().empty());
  ASSERT_EQ(FileLock_Lock(disk_.c_str(), false), 1);
  FileLock_Unlock(disk_.c_str(), false);
  // The mount is gone for its own object too.
  EXPECT_EQ(mount->MountAs(Drive('e'), 0x20, -1), E_INVALIDARG);
  EXPECT_EQ(TakeDescription(), "There is no mount with id 1.");
}

TEST_F(ServiceObjects, DetachLeavesSomeoneElsesDriveEntry) {
  Ref<IMount> mount;
  mount.p = Create(disk_, 1);
  ASSERT_EQ(mount->MountAs(Drive('u'), 0x20, -1), S_OK);
  std::string entry = prefix_.file("drives/u:");
  std::filesystem::remove(entry);
  std::filesystem::create_directory_symlink("/media/usb", entry);  // mapped by hand
  ASSERT_EQ(mount->Unmount(VARIANT_FALSE, -1), S_OK);
  EXPECT_EQ(std::filesystem::read_symlink(entry), "/media/usb");
  EXPECT_FALSE(std::filesystem::exists(prefix_.file("bmount/volumes/1")));
  EXPECT_TRUE(Listing().empty());
}

TEST_F(ServiceObjects, RefusalsSayWhy) {
  Ref<IMount> first, second;
  first.p = Create(disk_, 1);
  second.p = Create(disk_, 2);
  ASSERT_NE(first.p, nullptr);

  EXPECT_TRUE(FAILED(first->MountAs(Drive('c'), 0x20, -1)));
  EXPECT_EQ(TakeDescription(), "The drive letter C: is already in use.");
  EXPECT_EQ(first->MountAs(Drive('e') | Drive('f'), 0x20, -1), E_INVALIDARG);
  EXPECT_EQ(TakeDescription(), "The drive mask 0x30 must have exactly one bit set.");
  EXPECT_EQ(first->MountAs(0, 0x20, -1), E_INVALIDARG);
  EXPECT_EQ(TakeDescription(), "The drive mask 0x0 must have exactly one bit set.");
  EXPECT_EQ(first->MountAs(1 << 27, 0x20, -1), E_INVALIDARG);
  EXPECT_EQ(TakeDescription(), "The drive mask 0x8000000 names no drive letter.");

  ASSERT_EQ(first->MountAs(Drive('f'), 0x20, -1), S_OK);
  EXPECT_TRUE(FAILED(second->MountAs(Drive('g'), 0x20, -1)));
  EXPECT_EQ(TakeDescription(), "A volume of the disk \"" + disk_ + "\" is already mounted as f:.");
  EXPECT_FALSE(DriveExists('g'));
  EXPECT_TRUE(FAILED(first->MountAs(Drive('h'), 0x20, -1)));
  EXPECT_EQ(TakeDescription(), "Mount 1 is already attached as f:.");

  Ref<IMount> unknown;
  EXPECT_EQ(manager_->GetMount(99, unknown.out()), E_INVALIDARG);
  EXPECT_EQ(unknown.p, nullptr);
  EXPECT_EQ(TakeDescription(), "There is no mount with id 99.");

  Ref<IVirtualDisk> missing;
  std::string nowhere = prefix_.work("nowhere.img");
  EXPECT_TRUE(FAILED(Open(nowhere, missing.out())));
  EXPECT_EQ(TakeDescription(),
            "The disk \"" + nowhere + "\" cannot be opened: No such file or directory.");
  EXPECT_TRUE(FAILED(Open("relative.img", missing.out())));
  EXPECT_EQ(TakeDescription(),
            "The disk \"relative.img\" cannot be opened: the path is not absolute.");
  EXPECT_TRUE(FAILED(Open(prefix_.work(""), missing.out())));
  EXPECT_NE(TakeDescription().find("it is a folder"), std::string::npos);
  EXPECT_TRUE(FAILED(Open("/vms/a\"b.img", missing.out())));
  EXPECT_NE(TakeDescription().find("double quote"), std::string::npos);

  ISupportErrorInfo *support = nullptr;
  ASSERT_EQ(first->QueryInterface(IID_ISupportErrorInfo, reinterpret_cast<void **>(&support)),
            S_OK);
  EXPECT_EQ(support->InterfaceSupportsErrorInfo(IID_IMount), S_OK);
  EXPECT_EQ(support->InterfaceSupportsErrorInfo(IID_IMountList), S_FALSE);
  support->Release();
}

TEST_F(ServiceObjects, DiskLockedElsewhereIsRefused) {
  ASSERT_EQ(FileLock_Lock(disk_.c_str(), true), 1);
  Ref<IMount> mount;
  mount.p = Create(disk_, 1);
  EXPECT_TRUE(FAILED(mount->MountAs(Drive('e'), 0x20, -1)));
  EXPECT_EQ(TakeDescription(), "The disk \"" + disk_ + "\" is in use by another program.");
  EXPECT_FALSE(DriveExists('e'));
  FileLock_Unlock(disk_.c_str(), true);
  EXPECT_EQ(mount->MountAs(Drive('e'), 0x20, -1), S_OK);
}

TEST_F(ServiceObjects, NeverAttachedMountsAreDiscarded) {
  int32_t id = 0;
  {
    Ref<IMount> mount;
    mount.p = Create(disk_, 1);
    EXPECT_EQ(mount->Unmount(VARIANT_TRUE, -1), S_OK);
    Ref<IMount> again;
    EXPECT_EQ(manager_->GetMount(1, again.out()), E_INVALIDARG);
  }
  {
    Ref<IMount> mount;
    mount.p = Create(disk_, 1);  // id 2, dropped with its last reference
    Ref<IMount> same;
    EXPECT_EQ(manager_->GetMount(2, same.out()), S_OK);
    id = 2;
  }
  Ref<IMount> gone;
  EXPECT_EQ(manager_->GetMount(id, gone.out()), E_INVALIDARG);
  EXPECT_EQ(service_->Table().Find(id), nullptr);
}

TEST_F(ServiceObjects, IdsAreNeverReusedAcrossRestarts) {
  {
    Ref<IMount> a;
    a.p = Create(disk_, 1);
    ASSERT_EQ(a->MountAs(Drive('e'), 0x20, -1), S_OK);
    ASSERT_EQ(a->Unmount(VARIANT_FALSE, -1), S_OK);
    Ref<IMount> b;
    b.p = Create(disk_, 2);  // id 2, never attached
  }
  StopService();
  StartService();
  Ref<IMount> c;
  c.p = Create(disk_, 1);
  ASSERT_EQ(c->MountAs(Drive('e'), 0x20, -1), S_OK);
  EXPECT_EQ(Listing(), std::vector<std::string>{Entry(disk_, 3, 'e')});
}

TEST_F(ServiceObjects, MountsOutliveTheServiceInstance) {
  std::string other = prefix_.work("other.img");
  MakeTwoVolumeDisk(other);
  {
    Ref<IMount> a, b;
    a.p = Create(other, 2);
    b.p = Create(disk_, 1);
    ASSERT_EQ(a->MountAs(Drive('k'), 0x20, -1), S_OK);
    ASSERT_EQ(b->MountAs(Drive('e'), 0x20, -1), S_OK);
  }
  StopService();
  EXPECT_TRUE(DriveExists('k'));
  EXPECT_EQ(FileLock_Lock(disk_.c_str(), false), 1);  // nobody holds it between instances
  FileLock_Unlock(disk_.c_str(), false);

  StartService();
  EXPECT_EQ(Listing(), (std::vector<std::string>{Entry(other, 1, 'k'), Entry(disk_, 2, 'e')}));
  EXPECT_TRUE(DriveExists('k'));
  EXPECT_TRUE(DriveExists('e'));
  EXPECT_EQ(FileLock_Lock(disk_.c_str(), false), 0);  // taken again on restore
  EXPECT_TRUE(service_->Busy());

  Ref<IMount> a;
  ASSERT_EQ(manager_->GetMount(1, a.out()), S_OK);
  ASSERT_EQ(a->Unmount(VARIANT_TRUE, -1), S_OK);
  EXPECT_FALSE(DriveExists('k'));
  EXPECT_EQ(Listing(), std::vector<std::string>{Entry(disk_, 2, 'e')});
}

TEST_F(ServiceObjects, DamagedTableIsKeptAside) {
  StopService();
  std::string table = prefix_.file("bmount/mounts");
  std::string damaged = "nextId=4\nmount id=2 volume=1 letter=e\n";
  testsupport::WriteFile(table, damaged);
  StartService();
  EXPECT_EQ(testsupport::ReadFile(table + ".damaged"), damaged);
  Ref<IMount> mount;
  mount.p = Create(disk_, 1);
  ASSERT_EQ(mount->MountAs(Drive('e'), 0x20, -1), S_OK);
  EXPECT_EQ(Listing(), std::vector<std::string>{Entry(disk_, 4, 'e')});
}

// However the table is lost, the mounts are found again by their volume
// folders and drive entries, under their ids, and the damaged table is kept.
TEST_F(ServiceObjects, LostTableIsRebuilt) {
  std::string other = prefix_.work("other.img");
  MakeTwoVolumeDisk(other);
  {
    Ref<IMount> a, b;
    a.p = Create(other, 2);
    b.p = Create(disk_, 1);
    ASSERT_EQ(a->MountAs(Drive('k'), 0x20, -1), S_OK);
    ASSERT_EQ(b->MountAs(Drive('e'), 0x20, -1), S_OK);
  }
  std::vector<std::string> listing{Entry(other, 1, 'k'), Entry(disk_, 2, 'e')};
  StopService();
  std::string table = prefix_.file("bmount/mounts");
  std::string whole = testsupport::ReadFile(table);
  const char garbage[] = "\x93\0\xffmount id=\n\x7f";
  const std::string damages[] = {std::string(garbage, sizeof garbage - 1), "",
                                 whole.substr(0, whole.find("nextId")),
                                 whole.substr(0, whole.size() / 2)};
  for (const std::string &damage : damages) {
    testsupport::WriteFile(table, damage);
    StartService();
    EXPECT_EQ(Listing(), listing) << damage;
    EXPECT_EQ(testsupport::ReadFile(table + ".damaged"), damage);
    EXPECT_EQ(testsupport::ReadFile(table), whole);
    EXPECT_EQ(FileLock_Lock(disk_.c_str(), false), 0);  // taken again
    StopService();
  }
  // A missing table is found again the same way, and ids go on above.
  std::filesystem::remove(table);
  StartService();
  EXPECT_EQ(Listing(), listing);
  std::string third = prefix_.work("third.img");
  MakeTwoVolumeDisk(third);
  Ref<IMount> c;
  c.p = Create(third, 1);
  ASSERT_EQ(c->MountAs(Drive('f'), 0x20, -1), S_OK);
  EXPECT_EQ(Listing().back(), Entry(third, 3, 'f'));
}

TEST_F(ServiceObjects, FailedSavesUndoTheChange) {
  Ref<IMount> mount;
  mount.p = Create(disk_, 1);
  // A folder in the table's place makes every save fail.
  std::string table = prefix_.file("bmount/mounts");
  std::filesystem::remove(table);
  std::filesystem::create_directories(table + "/keep");
  EXPECT_TRUE(FAILED(mount->MountAs(Drive('e'), 0x20, -1)));
  EXPECT_EQ(TakeDescription().rfind("The mount table cannot be saved: ", 0), 0u);
  EXPECT_FALSE(DriveExists('e'));
  EXPECT_TRUE(Listing().empty());
  EXPECT_EQ(FileLock_Lock(disk_.c_str(), false), 1);
  FileLock_Unlock(disk_.c_str(), false);

  std::filesystem::remove_all(table);
  ASSERT_EQ(mount->MountAs(Drive('e'), 0x20, -1), S_OK);
  std::filesystem::remove(table);
  std::filesystem::create_directories(table + "/keep");
  EXPECT_TRUE(FAILED(mount->Unmount(VARIANT_FALSE, -1)));
  EXPECT_TRUE(DriveExists('e'));
  EXPECT_EQ(Listing(), std::vector<std::string>{Entry(disk_, 1, 'e')});
  std::filesystem::remove_all(table);
  EXPECT_EQ(mount->Unmount(VARIANT_FALSE, -1), S_OK);
}

TEST_F(ServiceObjects, DiskWithoutVolumes) {
  std::string blank = prefix_.work("blank.img");
  MakeImage(blank, 1 << 20, "");
  Ref<IVirtualDisk> disk;
  ASSERT_EQ(Open(blank, disk.out()), S_OK);
  Ref<IVolumeList> volumes;
  EXPECT_EQ(disk->GetVolumes(volumes.out()), COM_HRESULT(0x8004020Bu));
  EXPECT_EQ(volumes.p, nullptr);
  EXPECT_EQ(TakeDescription(),
            "The disk \"" + blank + "\" has no partition table or no partitions.");
}

TEST_F(ServiceObjects, SectorCountThatDoesNotFitIsAnOverflow) {
  std::string huge = prefix_.work("huge.img");
  // GPT: the second volume ends beyond what MBR fields can address.
  MakeImage(huge, ((uint64_t{1} << 32) + 8192) * 512,
            "label: gpt\n" + huge + "1 : start=2048, size=2147483648\n" + huge +
                "2 : start=2147485696, size=2147483647\n");
  Ref<IVirtualDisk> disk;
  ASSERT_EQ(Open(huge, disk.out()), S_OK);
  Ref<IVolumeList> volumes;
  ASSERT_EQ(disk->GetVolumes(volumes.out()), S_OK);
  Ref<IDiskVolume> first, second;
  ASSERT_EQ(volumes->Item(1, first.out()), S_OK);
  ASSERT_EQ(volumes->Item(2, second.out()), S_OK);
  int32_t sectors = -1;
  EXPECT_EQ(first->SectorCount(&sectors), DISP_E_OVERFLOW);
  EXPECT_EQ(sectors, 0);
  EXPECT_NE(TakeDescription().find("2147483648 sectors"), std::string::npos);
  EXPECT_EQ(second->SectorCount(&sectors), S_OK);
  EXPECT_EQ(sectors, INT32_MAX);
}

TEST_F(ServiceObjects, IndexesOutOfRange) {
  Ref<IVirtualDisk> disk;
  ASSERT_EQ(Open(disk_, disk.out()), S_OK);
  Ref<IVolumeList> volumes;
  ASSERT_EQ(disk->GetVolumes(volumes.out()), S_OK);
  Ref<IDiskVolume> volume;
  EXPECT_EQ(volumes->Item(3, volume.out()), E_INVALIDARG);
  EXPECT_EQ(volumes->Item(0, volume.out()), E_INVALIDARG);
  Ref<IMountList> list;
  ASSERT_EQ(manager_->GetMounts(list.out()), S_OK);
  VARIANT v;
  EXPECT_EQ(list->Item(1, &v), E_INVALIDARG);
  EXPECT_EQ(v.vt, VT_EMPTY);
  Ref<IMount> mount;
  EXPECT_EQ(disk->CreateMount(0, nullptr, 0x10000, mount.out()), E_POINTER);
}

TEST_F(ServiceObjects, FaultPlanRules) {
  Ref<IMount> mount;
  mount.p = Create(disk_, 1);
  ASSERT_EQ(mount->MountAs(Drive('e'), 0x20, -1), S_OK);

  testsupport::WriteFile(plan_,
                         "IMount.MountAs 0x80004005 Access denied by policy\n"
                         "IMount.Unmount 0x80070005\n"
                         "IMountManager.OpenDisk null\n"
                         "IMountList.Count null\n"
                         "listing id=7 file=\"/x\" driveLetter=\"q:\" # verbatim \n");
  Ref<IVirtualDisk> disk;
  EXPECT_EQ(Open(disk_, disk.out()), S_OK);
  EXPECT_EQ(disk.p, nullptr);

  EXPECT_EQ(mount->MountAs(Drive('g'), 0x20, -1), COM_HRESULT(0x80004005u));
  EXPECT_EQ(TakeDescription(), "Access denied by policy");
  EXPECT_EQ(mount->Unmount(VARIANT_FALSE, -1), COM_HRESULT(0x80070005u));
  EXPECT_EQ(TakeDescription(), "<none>");
  EXPECT_TRUE(DriveExists('e'));  // the failing calls did nothing

  Ref<IMountList> list;
  ASSERT_EQ(manager_->GetMounts(list.out()), S_OK);
  int32_t count = -1;
  EXPECT_EQ(list->Count(&count), S_OK);
  EXPECT_EQ(count, 0);

  testsupport::WriteFile(plan_, "listing id=7 file=\"/x\" driveLetter=\"q:\" # verbatim \n");
  EXPECT_EQ(Listing(),
            (std::vector<std::string>{Entry(disk_, 1, 'e'),
                                      "id=7 file=\"/x\" driveLetter=\"q:\" # verbatim "}));
  EXPECT_EQ(mount->Unmount(VARIANT_FALSE, -1), S_OK);
}

TEST_F(ServiceObjects, NullRulesForValueResults) {
  testsupport::WriteFile(plan_, "IMountList.Item null\nIVirtualDisk.SectorSize null\n");
  Ref<IVirtualDisk> disk;
  ASSERT_EQ(Open(disk_, disk.out()), S_OK);
  int32_t size = -1;
  EXPECT_EQ(disk->SectorSize(&size), S_OK);
  EXPECT_EQ(size, 0);
  Ref<IMountList> list;
  ASSERT_EQ(manager_->GetMounts(list.out()), S_OK);
  VARIANT v;
  EXPECT_EQ(list->Item(1, &v), S_OK);
  EXPECT_EQ(v.vt, VT_NULL);
}

}  // namespace
