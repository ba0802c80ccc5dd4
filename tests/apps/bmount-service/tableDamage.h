// Shared by the tests of the service's own look at an image's tables: images
// made by qemu-img from a small partitioned disk, copies with a few bytes
// changed, and a table of them checked as the service checks a top image.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "diskImage.h"
#include "serviceTestUtil.h"

namespace tabletest {

constexpr uint64_t kMiB = 1 << 20;

// bytes read as an unsigned little-endian number of width bytes at at.
inline uint64_t Le(const std::string &bytes, size_t at, int width) {
  uint64_t v = 0;
  for (int i = width; i-- > 0;) v = v << 8 | static_cast<unsigned char>(bytes[at + i]);
  return v;
}

// bytes with value written little endian over the width bytes at at.
inline std::string WithLe(std::string bytes, size_t at, int width, uint64_t value) {
  for (int i = 0; i < width; i++) bytes[at + i] = static_cast<char>(value >> (8 * i));
  return bytes;
}

struct Row {
  const char *name;
  std::string bytes;  // "" for the file as made
  const char *why;    // "" when sound, else what the refusal says
};

class TableDamageTest : public servicetest::QemuTest {
 protected:
  TableDamageTest() : QemuTest("disk.raw", 8 * kMiB) {}
  void SetUp() override {
    QemuTest::SetUp();
    if (IsSkipped()) return;
    // Data at 0, 1 and 5 MiB: blocks out of order, one not allocated.
    for (const char *at : {"5", "1"}) {
      QemuIo({"-f", "raw", "-c", std::string("write -P 7 ") + at + "M 4k", file("disk.raw")});
    }
  }
  // Writes through QEMU as a user would, then reads the image's bytes.
  std::string Written(const std::string &name, const std::string &format,
                      const std::vector<std::string> &writes) {
    std::vector<std::string> args = {"-f", format};
    for (const std::string &w : writes) args.insert(args.end(), {"-c", "write -P 9 " + w});
    args.push_back(file(name));
    QemuIo(args);
    return testsupport::ReadFile(file(name));
  }
  // Each row's image is checked as the top one about to be written; what
  // each check said.
  std::vector<std::string> Expect(const std::string &format, const std::vector<Row> &rows) {
    std::vector<std::string> said;
    for (const Row &row : rows) {
      SCOPED_TRACE(row.name);
      if (!row.bytes.empty()) testsupport::WriteFile(file(row.name), row.bytes);
      DiskImage image;
      image.layers.push_back({file(row.name), format, 8 * kMiB, {}});
      std::string why;
      ImageProblem problem = DiskImage_CheckTop(image, "", &why);
      EXPECT_EQ(problem, *row.why ? ImageProblem::Damaged : ImageProblem::None) << why;
      EXPECT_NE(why.find(row.why), std::string::npos) << why;
      said.push_back(why);
    }
    return said;
  }
};

}  // namespace tabletest
