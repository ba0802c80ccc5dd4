// Shared by the service's unit tests: a private host prefix per test, and
// raw disk images with partition tables written by sfdisk.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "host/prefix.h"
#include "testSupport.h"

namespace servicetest {

// Points BRENIX_HOST_PREFIX at a fresh prefix for the life of the object.
class PrivatePrefix {
 public:
  PrivatePrefix() : prefix_(dir_.file("host")) {
    const char *old = getenv("BRENIX_HOST_PREFIX");
    if (old != nullptr) {
      saved_ = old;
      hadOld_ = true;
    }
    setenv("BRENIX_HOST_PREFIX", prefix_.c_str(), 1);
    free(HostPrefix_Ensure());
  }
  ~PrivatePrefix() {
    if (hadOld_) {
      setenv("BRENIX_HOST_PREFIX", saved_.c_str(), 1);
    } else {
      unsetenv("BRENIX_HOST_PREFIX");
    }
  }
  const std::string &path() const { return prefix_; }
  std::string file(const std::string &relative) const { return prefix_ + "/" + relative; }
  // A folder outside the prefix for disks and plans.
  std::string work(const std::string &name) const { return dir_.file(name); }

 private:
  testsupport::TempDir dir_;
  std::string prefix_;
  std::string saved_;
  bool hadOld_ = false;
};

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
