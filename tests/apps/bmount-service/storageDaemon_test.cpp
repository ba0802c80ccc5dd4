// The daemon record a mount keeps. The daemons themselves (the look daemon
// reading partition tables, exports of each format and chain, writes landing
// in the top image, adoption by a new service, a killed daemon and the removal
// of strays after a crash at every step) are seen end to end with the real
// qemu-storage-daemon, in test_images.py and test_faults.py.
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
