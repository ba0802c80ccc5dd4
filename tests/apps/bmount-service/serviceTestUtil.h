// Shared by the service's unit tests: a private host prefix per test, and
// raw disk images with partition tables written by sfdisk.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "privatePrefix.h"
#include "testSupport.h"

namespace servicetest {

using PrivatePrefix = testsupport::PrivatePrefix;

// Makes a sparse image of size bytes and, unless script is empty, writes a
// partition table with sfdisk.
inline void MakeImage(const std::string &path, uint64_t size, const std::string &script) {
  testsupport::WriteFile(path, "");
  std::filesystem::resize_file(path, size);
  if (!script.empty()) {
    testsupport::ProcessResult r = testsupport::Run({"/usr/sbin/sfdisk", "-q", path}, {}, script);
    ASSERT_EQ(r.exitCode, 0) << r.err;
  }
}

// A disk with two volumes: 2 MiB at 1 MiB and 1 MiB at 4 MiB.
inline void MakeTwoVolumeDisk(const std::string &path) {
  MakeImage(path, 8 << 20,
            "label: dos\nstart=2048, size=4096, type=83\nstart=8192, size=2048, type=83\n");
}

}  // namespace servicetest
