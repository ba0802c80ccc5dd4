// The service's objects called in-process through their interfaces: mount and
// unmount, refusals and their descriptions, ids, restoring in a new instance,
// failed saves, the fault plan, oversized volumes. A disk without volumes and
// most table damages are the end-to-end tests'.
#include "serviceObjects.h"

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "com/comPtr.h"
#include "file/fileLock.h"
#include "host/daemon.h"
#include "serviceTestUtil.h"

namespace {

namespace fs = std::filesystem;
using servicetest::MakeImage;
using servicetest::MakeTwoVolumeDisk;

// The description of the thread's error information, "<none>" without one.
std::string TakeDescription() {
  IErrorInfo *info = nullptr;
  std::string out = "<none>";
  if (GetErrorInfo(0, &info) == S_OK) {
    ComError(E_FAIL, info).Description().ToString(&out);
  }
  return out;
}

constexpr int32_t Drive(char letter) { return int32_t{1} << (letter - 'a'); }

class ServiceObjects : public testing::Test {
 protected:
  void SetUp() override {
    HostLog_Open("test", true);
    MakeTwoVolumeDisk(disk_);
    StartService();
  }
  void TearDown() override { StopService(); }

  void StartService(std::unique_ptr<Backend> backend = Backend_MakeRecord()) {
    service_ = std::make_unique<MountService>(std::move(backend), plan_);
    std::string error;
    ASSERT_TRUE(service_->Start(&error)) << error;
    auto locator = ComPtr<IMountLocator>::Attach(MountLocator_Create(service_.get()));
    ASSERT_EQ(locator->Connect(nullptr, nullptr, 0, manager_.Receive()), S_OK);
  }
  void StopService() {
    manager_.Reset();
    if (service_ != nullptr) service_->Stop();
    service_.reset();
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
    int32_t count = -1;
    EXPECT_EQ(manager_->GetMounts(list.Receive()), S_OK);
    EXPECT_EQ(list->Count(&count), S_OK);
    std::vector<std::string> texts(static_cast<size_t>(std::max(count, 0)));
    for (int32_t i = 0; i < count; i++) {
      ComVariant v;
      EXPECT_EQ(list->Item(i + 1, v.Receive()), S_OK);
      v.ToBStr().ToString(&texts[static_cast<size_t>(i)]);
    }
    return texts;
  }
  std::string Entry(const std::string &disk, int id, char letter) {
    return "id=" + std::to_string(id) + " file=\"" + disk + "\" driveLetter=\"" + letter + ":\"";
  }

  bool DriveExists(char letter) {
    std::error_code ec;
    return fs::symlink_status(prefix_.file(std::string("drives/") + letter + ":"), ec).type() !=
           fs::file_type::not_found;
  }
  // 1 when the disk is free, 0 when the service holds it.
  int LockDisk() {
    int got = FileLock_Lock(disk_.c_str(), false);
    if (got == 1) FileLock_Unlock(disk_.c_str(), false);
    return got;
  }

  // A folder in the table's place makes every save fail.
  void BlockTable() {
    fs::remove(table_);
    fs::create_directories(table_ + "/keep");
  }

  servicetest::PrivatePrefix prefix_;
  std::string disk_ = prefix_.work("disk.img"), plan_ = prefix_.work("plan");
  std::string table_ = prefix_.file("bmount/mounts");
  std::unique_ptr<MountService> service_;
  ComPtr<IMountManager> manager_;
};

TEST_F(ServiceObjects, MountListAndUnmount) {
  ComPtr<IMount> mount = Create(disk_, 2);
  EXPECT_TRUE(Listing().empty());  // created, not attached
  ASSERT_EQ(mount->MountAs(Drive('e'), 0x20, -1), S_OK);
  EXPECT_EQ(Listing(), std::vector<std::string>{Entry(disk_, 1, 'e')});
  std::string folder = prefix_.file("bmount/volumes/1");
  EXPECT_EQ(fs::read_symlink(prefix_.file("drives/e:")), folder);
  EXPECT_EQ(testsupport::ReadFile(folder + "/volume"),
            "disk=" + disk_ + "\nvolume=2\noffset=4194304\nlength=1048576\n");
  EXPECT_EQ(LockDisk(), 0);  // locked while its volume is attached

  ASSERT_EQ(mount->Unmount(VARIANT_FALSE, -1), S_OK);
  EXPECT_FALSE(DriveExists('e'));
  EXPECT_FALSE(fs::exists(folder));
  EXPECT_TRUE(Listing().empty());
  EXPECT_EQ(LockDisk(), 1);
  // The mount is gone for its own object too.
  EXPECT_EQ(mount->MountAs(Drive('e'), 0x20, -1), E_INVALIDARG);
  EXPECT_EQ(TakeDescription(), "There is no mount with id 1.");

  // A drive entry someone else put in place meanwhile stays.
  mount = Create(disk_, 1, 'u');
  std::string entry = prefix_.file("drives/u:");
  fs::remove(entry);
  fs::create_directory_symlink("/media/usb", entry);
  ASSERT_EQ(mount->Unmount(VARIANT_FALSE, -1), S_OK);
  EXPECT_EQ(fs::read_symlink(entry), "/media/usb");
  EXPECT_FALSE(fs::exists(prefix_.file("bmount/volumes/2")));
}

TEST_F(ServiceObjects, RefusalsSayWhy) {
  std::string locked = prefix_.work("locked.img");
  MakeTwoVolumeDisk(locked);
  ASSERT_EQ(FileLock_Lock(locked.c_str(), true), 1);  // by another program
  ComPtr<IMount> first = Create(disk_, 1, 'f'), second = Create(disk_, 2), unknown;
  ComPtr<IMount> third = Create(locked, 1);
  ComPtr<IVirtualDisk> disk = Open(disk_);
  ComPtr<IVolumeList> volumes;
  ComPtr<IDiskVolume> volume;
  ComPtr<IMountList> list;
  ASSERT_EQ(disk->GetVolumes(volumes.Receive()), S_OK);
  ASSERT_EQ(manager_->GetMounts(list.Receive()), S_OK);
  VARIANT v;
  auto open = [&](const std::string &path) {
    HRESULT hr = S_OK;
    EXPECT_FALSE(Open(path, &hr));
    return hr;
  };
  std::string nowhere = prefix_.work("nowhere.img");
  // The letter of an attached mount stays taken when its drive entry is
  // removed by hand.
  fs::remove(prefix_.file("drives/f:"));
  const struct {
    std::function<HRESULT()> call;
    HRESULT hr;  // 0: any failure
    std::string description;
  } kRefusals[] = {
      {[&] { return second->MountAs(Drive('c'), 0x20, -1); }, 0,
       "The drive letter C: is already in use."},
      {[&] { return second->MountAs(Drive('e') | Drive('g'), 0x20, -1); }, E_INVALIDARG,
       "The drive mask 0x50 must have exactly one bit set."},
      {[&] { return second->MountAs(0, 0x20, -1); }, E_INVALIDARG,
       "The drive mask 0x0 must have exactly one bit set."},
      {[&] { return second->MountAs(1 << 27, 0x20, -1); }, E_INVALIDARG,
       "The drive mask 0x8000000 names no drive letter."},
      {[&] { return third->MountAs(Drive('f'), 0x20, -1); }, 0,
       "The drive letter F: is already in use."},
      {[&] { return second->MountAs(Drive('g'), 0x20, -1); }, 0,
       "A volume of the disk \"" + disk_ + "\" is already mounted as f:."},
      {[&] { return first->MountAs(Drive('h'), 0x20, -1); }, 0,
       "Mount 1 is already attached as f:."},
      {[&] { return third->MountAs(Drive('l'), 0x20, -1); }, 0,
       "The disk \"" + locked + "\" is in use by another program."},
      {[&] { return manager_->GetMount(99, unknown.Receive()); }, E_INVALIDARG,
       "There is no mount with id 99."},
      {[&] { return open(nowhere); }, 0,
       "The disk \"" + nowhere + "\" cannot be opened: No such file or directory."},
      {[&] { return open("relative.img"); }, 0,
       "The disk \"relative.img\" cannot be opened: the path is not absolute."},
      {[&] { return open(prefix_.work("")); }, 0, "it is a folder"},
      {[&] { return open("/proc/./self//cwd/d.img"); }, E_INVALIDARG,
       "The disk \"/proc/./self//cwd/d.img\" cannot be opened: the path leads each process to "
       "its own files."},
      {[&] { return open("/dev/fd/3"); }, E_INVALIDARG, "leads each process to its own files"},
      {[&] { return open("/vms/a\"b.img"); }, 0, "double quote"},
      // Not echoed: the reply would pass the largest frame a client takes.
      {[&] { return open("/" + std::string(1 << 20, 'a')); }, E_INVALIDARG,
       "A disk path of 1048577 bytes cannot be opened: the system takes no path of 4096 bytes "
       "or more."},
      {[&] { return volumes->Item(3, volume.Receive()); }, E_INVALIDARG, "There is no volume 3"},
      {[&] { return volumes->Item(0, volume.Receive()); }, E_INVALIDARG, "There is no volume 0"},
      {[&] { return list->Item(2, &v); }, E_INVALIDARG, "There is no mount list item 2."},
      {[&] { return disk->CreateMount(0, nullptr, 0x10000, unknown.Receive()); }, E_POINTER,
       "No volume was given."},
  };
  for (const auto &r : kRefusals) {
    HRESULT hr = r.call();
    EXPECT_TRUE(r.hr == 0 ? FAILED(hr) : hr == r.hr) << r.description;
    EXPECT_NE(TakeDescription().find(r.description), std::string::npos) << r.description;
  }
  EXPECT_FALSE(DriveExists('g') || DriveExists('l'));
  EXPECT_FALSE(unknown || volume);
  FileLock_Unlock(locked.c_str(), true);
  EXPECT_EQ(third->MountAs(Drive('l'), 0x20, -1), S_OK);
  EXPECT_EQ(v.vt, VT_EMPTY);

  auto support = ComPtr<ISupportErrorInfo>::Attach(Com_Query<ISupportErrorInfo>(first.Get()));
  EXPECT_EQ(support->InterfaceSupportsErrorInfo(IID_IMount), S_OK);
  EXPECT_EQ(support->InterfaceSupportsErrorInfo(IID_IMountList), S_FALSE);
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
  mount = same = nullptr;
  EXPECT_EQ(manager_->GetMount(2, same.Receive()), E_INVALIDARG);
  EXPECT_EQ(service_->Table().Find(2), nullptr);

  StopService();
  StartService();
  mount = Create(disk_, 1, 'e');
  EXPECT_EQ(Listing(), std::vector<std::string>{Entry(disk_, 3, 'e')});
}

// A new instance finds the mounts again: from an intact table, and when it
// is lost, by their volume folders and drive entries under their ids,
// keeping a damaged table aside.
TEST_F(ServiceObjects, MountsOutliveTheServiceInstance) {
  std::string other = prefix_.work("other.img");
  MakeTwoVolumeDisk(other);
  Create(other, 2, 'k');
  Create(disk_, 1, 'e');
  std::vector<std::string> listing{Entry(other, 1, 'k'), Entry(disk_, 2, 'e')};
  StopService();
  EXPECT_TRUE(DriveExists('k'));
  EXPECT_EQ(LockDisk(), 0);  // the keeper holds it between instances
  std::string whole = testsupport::ReadFile(table_);
  // Bytes, an empty table and half of one: tests/e2e/test_loop.py.
  const std::string damages[] = {whole, whole.substr(0, whole.find("nextId"))};
  for (const std::string &damage : damages) {
    testsupport::WriteFile(table_, damage);
    StartService();
    EXPECT_EQ(Listing(), listing) << damage;
    EXPECT_EQ(testsupport::ReadFile(table_ + ".damaged"), damage == whole ? "" : damage);
    EXPECT_EQ(testsupport::ReadFile(table_), whole);
    EXPECT_EQ(LockDisk(), 0);  // taken again on restore
    EXPECT_TRUE(service_->Busy());
    EXPECT_TRUE(DriveExists('k') && DriveExists('e'));
    StopService();
  }
  // A missing table is found again the same way.
  fs::remove(table_);
  StartService();
  EXPECT_EQ(Listing(), listing);
  ComPtr<IMount> a;
  ASSERT_EQ(manager_->GetMount(1, a.Receive()), S_OK);
  ASSERT_EQ(a->Unmount(VARIANT_TRUE, -1), S_OK);
  EXPECT_FALSE(DriveExists('k'));
}

TEST_F(ServiceObjects, DamagedTableIsKeptAside) {
  StopService();
  std::string damaged = "nextId=4\nmount id=2 volume=1 letter=e\n";
  testsupport::WriteFile(table_, damaged);
  StartService();
  EXPECT_EQ(testsupport::ReadFile(table_ + ".damaged"), damaged);
  Create(disk_, 1, 'e');
  EXPECT_EQ(Listing(), std::vector<std::string>{Entry(disk_, 4, 'e')});
}

TEST_F(ServiceObjects, FailedSavesUndoTheChange) {
  ComPtr<IMount> mount = Create(disk_, 1);
  BlockTable();
  EXPECT_TRUE(FAILED(mount->MountAs(Drive('e'), 0x20, -1)));
  EXPECT_EQ(TakeDescription().rfind("The mount table cannot be saved: ", 0), 0u);
  EXPECT_FALSE(DriveExists('e'));
  EXPECT_TRUE(Listing().empty());
  EXPECT_EQ(LockDisk(), 1);

  fs::remove_all(table_);
  ASSERT_EQ(mount->MountAs(Drive('e'), 0x20, -1), S_OK);
  BlockTable();
  EXPECT_TRUE(FAILED(mount->Unmount(VARIANT_FALSE, -1)));
  EXPECT_TRUE(DriveExists('e'));
  EXPECT_EQ(Listing(), std::vector<std::string>{Entry(disk_, 1, 'e')});
  fs::remove_all(table_);
  EXPECT_EQ(mount->Unmount(VARIANT_FALSE, -1), S_OK);
}

enum class Refused { kNothing, kAttach, kDetach };

// The record backend, but what *refused names fails.
class RefusingBackend : public Backend {
 public:
  explicit RefusingBackend(const Refused *refused) : refused_(refused) {}
  const char *Name() const override { return real_->Name(); }
  int Attach(MountRecord *record, std::string *why) override {
    return *refused_ == Refused::kAttach ? EIO : real_->Attach(record, why);
  }
  int Detach(const MountRecord &record, bool force) override {
    return *refused_ == Refused::kDetach ? EIO : real_->Detach(record, force);
  }

 private:
  std::unique_ptr<Backend> real_ = Backend_MakeRecord();
  const Refused *refused_;
};

// A change that cannot be saved nor taken back stays made, for the service
// too, and the table is mended at the next save.
TEST_F(ServiceObjects, AFailedSaveThatCannotBeUndoneKeepsTheChange) {
  for (bool attach : {false, true}) {
    SCOPED_TRACE(attach ? "attach" : "detach");
    Refused refused = Refused::kNothing;
    StopService();
    StartService(std::make_unique<RefusingBackend>(&refused));
    ComPtr<IMount> mount = Create(disk_, 1, attach ? 0 : 'e');
    BlockTable();
    refused = attach ? Refused::kDetach : Refused::kAttach;  // the undo fails
    EXPECT_TRUE(
        FAILED(attach ? mount->MountAs(Drive('e'), 0x20, -1) : mount->Unmount(VARIANT_FALSE, -1)));
    EXPECT_NE(TakeDescription().find(attach ? "The volume is attached all the same."
                                            : "The volume is detached all the same."),
              std::string::npos);
    EXPECT_EQ(DriveExists('e'), attach);
    EXPECT_EQ(Listing().size(), attach ? 1u : 0u);
    EXPECT_EQ(LockDisk(), attach ? 0 : 1);

    fs::remove_all(table_);
    refused = Refused::kNothing;
    mount.Reset();  // before the service it belongs to
    StopService();
    EXPECT_EQ(testsupport::ReadFile(table_).find("letter=e") != std::string::npos, attach);
    StartService();
    EXPECT_EQ(Listing().size(), attach ? 1u : 0u);
    if (attach) {
      ComPtr<IMount> kept;
      ASSERT_EQ(manager_->GetMount(2, kept.Receive()), S_OK);  // ids are never reused
      EXPECT_EQ(kept->Unmount(VARIANT_FALSE, -1), S_OK);
    }
  }
}

// A volume whose sector count does not fit 32 bits is an overflow, not a
// wrapped count.
TEST_F(ServiceObjects, VolumeWithTooManySectors) {
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

// The fault plan's rules for each shape of result; matching and listing
// lines, and a failure with a description, are the end-to-end tests'.
TEST_F(ServiceObjects, FaultPlanRules) {
  ComPtr<IMount> mount = Create(disk_, 1, 'e');
  ComPtr<IVirtualDisk> disk = Open(disk_);
  testsupport::WriteFile(plan_,
                         "IMount.Unmount 0x80070005\n"
                         "IMountManager.OpenDisk null\n"
                         "IMountList.Count null\n"
                         "IMountList.Item null\n"
                         "IVirtualDisk.SectorSize null\n");
  EXPECT_FALSE(Open(disk_));
  EXPECT_EQ(mount->Unmount(VARIANT_FALSE, -1), COM_HRESULT(0x80070005u));
  EXPECT_EQ(TakeDescription(), "<none>");
  EXPECT_TRUE(DriveExists('e'));  // the failing calls did nothing

  ComPtr<IMountList> list;
  ASSERT_EQ(manager_->GetMounts(list.Receive()), S_OK);
  int32_t count = -1, size = -1;
  EXPECT_EQ(list->Count(&count), S_OK);
  EXPECT_EQ(disk->SectorSize(&size), S_OK);
  EXPECT_TRUE(count == 0 && size == 0);
  VARIANT v;
  EXPECT_EQ(list->Item(1, &v), S_OK);
  EXPECT_EQ(v.vt, VT_NULL);
}

}  // namespace
