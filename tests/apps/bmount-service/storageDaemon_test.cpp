// The daemon record a mount keeps. The daemons themselves, with the real
// qemu-storage-daemon, are the end-to-end tests' (test_images.py, test_faults.py).
#include "storageDaemon.h"

#include <gtest/gtest.h>

namespace {

TEST(DaemonRecord, DamagedRecordsAreRefused) {
  DaemonRecord parsed;
  for (const char *bad : {"", "12", ",d", "0,d", "12,", "12,a b", "12,../x", "x2,d", "12,.d"}) {
    EXPECT_FALSE(DaemonRecord_Parse(bad, &parsed)) << bad;
  }
}

}  // namespace
