// The loop backend inside the service, for what the end-to-end tests cannot
// see: a read-only image stays read-only even for the superuser. Runs only
// where loop devices can be set up, and checks that no mount or device of
// its own is left.
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "backend.h"
#include "host/daemon.h"
#include "host/loop.h"
#include "mountService.h"
#include "serviceTestUtil.h"

namespace {

// The superuser can write a 0444 image: only the attribute can keep the
// device and its file system read-only.
TEST(LoopBackend, ReadOnlyImageIsAttachedReadOnly) {
  char *why = nullptr;
  if (!HostLoop_Usable(&why)) {
    std::string reason = why;
    free(why);
    GTEST_SKIP() << "no loop devices here: " << reason;
  }
  servicetest::PrivatePrefix prefix;
  std::string disk = prefix.work("disk.img");
  servicetest::MakeImage(disk, 9 << 20, "label: dos\nstart=2048, type=83\n");
  testsupport::ProcessResult made =
      testsupport::Run({"/usr/sbin/mkfs.ext4", "-q", "-F", "-E", "offset=1048576", disk, "8M"});
  if (made.exitCode != 0) {
    GTEST_SKIP() << "no mkfs.ext4 here: " << made.err;
  }
  ASSERT_EQ(chmod(disk.c_str(), 0444), 0);
  HostLog_Open("test", true);
  std::string error;
  MountService service(Backend_Make("loop", &error), "");
  ASSERT_TRUE(service.Start(&error)) << error;

  int32_t id = 0;
  ASSERT_TRUE(service.CreateMount(disk, 1, {1 << 20, 8 << 20}, &id).Ok());
  Outcome attached = service.Attach(id, 1u << 4);
  ASSERT_TRUE(attached.Ok()) << attached.description;
  const MountRecord *record = service.Table().Find(id);
  ASSERT_NE(record, nullptr);
  std::string ro = testsupport::ReadFile("/sys/block/loop" + std::to_string(record->loop) + "/ro");
  EXPECT_EQ(ro, "1\n");
  FILE *written = fopen(prefix.file("drives/e:/new.txt").c_str(), "w");
  EXPECT_EQ(written, nullptr);
  if (written != nullptr) {
    fclose(written);
  }
  EXPECT_TRUE(service.Detach(id, false).Ok());
  EXPECT_EQ(testsupport::Run({"/usr/sbin/losetup", "-j", disk}).out, "");
}

}  // namespace
