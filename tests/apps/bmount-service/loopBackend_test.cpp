// The loop backend inside the service: adopting mounts that outlived an
// instance, clearing away what a crash half-made, refusing to take down a
// volume in use. Runs only where loop devices can be set up; every test
// checks that none of its mounts or devices is left.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "backend.h"
#include "host/daemon.h"
#include "host/drives.h"
#include "host/loop.h"
#include "mountService.h"
#include "serviceTestUtil.h"

namespace {

using servicetest::PrivatePrefix;

constexpr uint32_t kDriveE = 1u << 4;

// Mount points below path as /proc/self/mountinfo lists them.
int MountsBelow(const std::string &path) {
  char *real = realpath(path.c_str(), nullptr);
  std::string base = real != nullptr ? real : path;
  free(real);
  std::ifstream info("/proc/self/mountinfo");
  std::string line;
  int count = 0;
  while (std::getline(info, line)) {
    std::string fields[5];
    size_t pos = 0;
    for (std::string &f : fields) {
      size_t end = line.find(' ', pos);
      f = line.substr(pos, end - pos);
      pos = end + 1;
    }
    count += fields[4].compare(0, base.size(), base) == 0 ? 1 : 0;
  }
  return count;
}

// Loop devices whose backing file is image.
int LoopsOf(const std::string &image) {
  testsupport::ProcessResult r = testsupport::Run({"/usr/sbin/losetup", "-j", image});
  int count = 0;
  for (char c : r.out) {
    count += c == '\n' ? 1 : 0;
  }
  return count;
}

class LoopBackend : public ::testing::Test {
 protected:
  void SetUp() override {
    char *why = nullptr;
    if (!HostLoop_Usable(&why)) {
      std::string reason = why;
      free(why);
      GTEST_SKIP() << "no loop devices here: " << reason;
    }
    if (access("/usr/sbin/mkfs.ext4", X_OK) != 0) {
      GTEST_SKIP() << "mkfs.ext4 is not installed";
    }
    HostLog_Open("test", true);
    disk_ = prefix_.work("disk.img");
    servicetest::MakeImage(disk_, 9 << 20, "label: dos\nstart=2048, type=83\n");
    testsupport::ProcessResult r =
        testsupport::Run({"/usr/sbin/mkfs.ext4", "-q", "-F", "-E", "offset=1048576", disk_, "8M"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
  }

  void TearDown() override {
    if (service_ != nullptr) {
      for (const MountRecord *r : service_->Table().Attached()) {
        service_->Detach(r->id, true);
      }
      service_.reset();
    }
    if (!disk_.empty()) {
      EXPECT_EQ(MountsBelow(prefix_.path()), 0);
      EXPECT_EQ(LoopsOf(disk_), 0);
    }
  }

  void Start() {
    service_ = std::make_unique<MountService>(Backend_Make("loop", &error_), "");
    ASSERT_TRUE(service_->Start(&error_)) << error_;
  }

  int32_t Attach(uint32_t drive) {
    int32_t id = 0;
    Outcome made = service_->CreateMount(disk_, 1, {1 << 20, 8 << 20}, &id);
    EXPECT_TRUE(made.Ok()) << made.description;
    Outcome attached = service_->Attach(id, drive);
    EXPECT_TRUE(attached.Ok()) << attached.description;
    return id;
  }

  std::string Table() { return testsupport::ReadFile(prefix_.file("bmount/mounts")); }

  PrivatePrefix prefix_;
  std::string disk_;
  std::string error_;
  std::unique_ptr<MountService> service_;
};

TEST_F(LoopBackend, MountsOutliveTheInstanceAndAreAdopted) {
  Start();
  int32_t id = Attach(kDriveE);
  testsupport::WriteFile(prefix_.file("drives/e:/kept.txt"), "kept\n");
  service_->Stop();
  service_.reset();
  EXPECT_EQ(MountsBelow(prefix_.path()), 1);

  Start();
  EXPECT_EQ(service_->Listing().size(), 1u);
  EXPECT_EQ(testsupport::ReadFile(prefix_.file("drives/e:/kept.txt")), "kept\n");
  Outcome detached = service_->Detach(id, false);
  EXPECT_TRUE(detached.Ok()) << detached.description;
  EXPECT_EQ(HostDrives_Mask() & kDriveE, 0u);
}

TEST_F(LoopBackend, WhatACrashHalfMadeIsClearedAway) {
  Start();
  Attach(kDriveE);
  ASSERT_NE(Table().find(" mounted=1 "), std::string::npos);
  // As if the service died after mounting but before saving: the table
  // holds only the id handed out.
  testsupport::WriteFile(prefix_.file("bmount/mounts"), "nextId=2\n");
  service_.reset();
  EXPECT_EQ(MountsBelow(prefix_.path()), 1);

  Start();
  EXPECT_TRUE(service_->Listing().empty());
  EXPECT_EQ(MountsBelow(prefix_.path()), 0);
  EXPECT_EQ(HostDrives_Mask() & kDriveE, 0u);
  // The drive and the disk are free for a new mount.
  int32_t id = Attach(kDriveE);
  EXPECT_TRUE(service_->Detach(id, false).Ok());
}

TEST_F(LoopBackend, VolumeInUseRefusesAPlainDetach) {
  Start();
  int32_t id = Attach(kDriveE);
  FILE *held = fopen(prefix_.file("drives/e:/held.txt").c_str(), "w");
  ASSERT_NE(held, nullptr);
  Outcome refused = service_->Detach(id, false);
  EXPECT_EQ(static_cast<uint32_t>(refused.hr), 0x80070010u);
  EXPECT_NE(refused.description.find("is in use"), std::string::npos) << refused.description;
  EXPECT_EQ(service_->Listing().size(), 1u);
  EXPECT_NE(HostDrives_Mask() & kDriveE, 0u);
  EXPECT_NE(Table().find(" letter=e "), std::string::npos);

  Outcome forced = service_->Detach(id, true);
  EXPECT_TRUE(forced.Ok()) << forced.description;
  EXPECT_EQ(MountsBelow(prefix_.path()), 0);
  EXPECT_EQ(LoopsOf(disk_), 1);  // its last user still has a file open
  fclose(held);
  // Freeing on last close may lag a moment behind the close.
  for (int i = 0; i < 200 && LoopsOf(disk_) != 0; i++) {
    usleep(50000);
  }
}

}  // namespace

namespace {

// The superuser can write a 0444 image: only the attribute can keep the
// device and its file system read-only.
TEST_F(LoopBackend, ReadOnlyImageIsAttachedReadOnly) {
  ASSERT_EQ(chmod(disk_.c_str(), 0444), 0);
  Start();
  int32_t id = Attach(kDriveE);
  const MountRecord *record = service_->Table().Find(id);
  ASSERT_NE(record, nullptr);
  std::string ro = testsupport::ReadFile("/sys/block/loop" + std::to_string(record->loop) + "/ro");
  EXPECT_EQ(ro, "1\n");
  FILE *written = fopen(prefix_.file("drives/e:/new.txt").c_str(), "w");
  EXPECT_EQ(written, nullptr);
  if (written != nullptr) {
    fclose(written);
  }
  EXPECT_TRUE(service_->Detach(id, false).Ok());
}

}  // namespace
