// Shared by the service's unit tests: a private host prefix per test, raw
// disk images with partition tables written by sfdisk, and images made from
// one by QEMU's tools.
#pragma once

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

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

// A folder with a raw disk of one volume, raw_ of size_ bytes, and images
// made from it by qemu-img; skipped where qemu-img is not installed.
class QemuTest : public ::testing::Test {
 protected:
  QemuTest(std::string raw, uint64_t size) : raw_(std::move(raw)), size_(size) {}
  void SetUp() override {
    if (testsupport::Run({"/usr/bin/qemu-img", "--version"}).exitCode != 0) {
      GTEST_SKIP() << "qemu-img is not installed";
    }
    MakeImage(file(raw_), size_, "label: dos\nstart=2048, type=83\n");
  }
  std::string file(const std::string &name) const { return dir_.file(name); }
  // Runs qemu-img, or qemu-io, with args; it must succeed.
  static void QemuImg(std::vector<std::string> args, const char *tool = "/usr/bin/qemu-img") {
    args.insert(args.begin(), tool);
    testsupport::ProcessResult r = testsupport::Run(args);
    ASSERT_EQ(r.exitCode, 0) << r.err;
  }
  static void QemuIo(const std::vector<std::string> &args) { QemuImg(args, "/usr/bin/qemu-io"); }
  // The raw disk converted to name in format with options; its bytes.
  std::string Convert(const std::string &name, const std::string &format,
                      std::vector<std::string> options = {}) {
    options.insert(options.begin(), {"convert", "-f", "raw", "-O", format});
    options.insert(options.end(), {file(raw_), file(name)});
    QemuImg(options);
    return testsupport::ReadFile(file(name));
  }

  testsupport::TempDir dir_;
  std::string raw_;
  uint64_t size_;
};

}  // namespace servicetest
