// What a disk file is, read by qemu-img one layer at a time: mixed chains
// with extent files, parents relative to the child's real folder, refusals the
// end-to-end tests cannot tell apart (they see each format's volumes), the cache.
#include "diskImage.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <tuple>

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "serviceTestUtil.h"

namespace {

constexpr uint64_t kMiB = 1 << 20;

class DiskImageTest : public servicetest::QemuTest {
 protected:
  DiskImageTest() : QemuTest("base.raw", 4 * kMiB) {}
  // Child over parent, without looking at the parent.
  void Child(const std::string &format, const std::string &name, const std::string &parent,
             const std::string &parentFormat) {
    QemuImg({"create", "-u", "-f", format, "-b", parent, "-F", parentFormat, file(name), "4M"});
  }
  // Renames the parent recorded in name without checking it.
  void Rebase(const std::string &name, const std::string &parent, const std::string &format) {
    QemuImg({"rebase", "-u", "-f", "qcow2", "-b", parent, "-F", format, file(name)});
  }
  ImageProblem Probe(const std::string &name, DiskImage *image, std::string *why) {
    return DiskImage_Probe(file(name), image, why);
  }
  // qemu-img is, for the rest of the test, a shell script of body.
  void FakeQemuImg(const std::string &body) {
    testsupport::WriteFile(bin_.file("qemu-img"), "#!/bin/sh\n" + body);
    chmod(bin_.file("qemu-img").c_str(), 0755);
    if (!path_) path_.emplace("PATH", bin_.path());
  }

  testsupport::TempDir bin_;
  std::optional<testsupport::ScopedEnv> path_;
};

TEST_F(DiskImageTest, RawStaysRawAndMixedChainsAreFollowed) {
  DiskImage image;
  std::string why;
  ASSERT_EQ(Probe("base.raw", &image, &why), ImageProblem::None) << why;
  EXPECT_TRUE(image.Raw());
  EXPECT_EQ(image.virtualSize, 4 * kMiB);

  // A split vmdk <- a vmdk delta (vmdk records no parent format: it is
  // probed) <- qcow2 <- qed.
  Convert("base.vmdk", "vmdk", {"-o", "subformat=twoGbMaxExtentSparse"});
  Child("vmdk", "delta.vmdk", "base.vmdk", "vmdk");
  Child("qcow2", "mid.qcow2", "delta.vmdk", "vmdk");
  Child("qed", "top.qed", file("mid.qcow2"), "qcow2");
  ASSERT_EQ(Probe("top.qed", &image, &why), ImageProblem::None) << why;
  ASSERT_EQ(image.layers.size(), 4u);
  EXPECT_EQ(image.layers[0].format, "qed");
  EXPECT_EQ(image.layers[1].format, "qcow2");
  EXPECT_EQ(image.layers[2].format, "vmdk");
  EXPECT_EQ(image.layers[3].path, file("base.vmdk"));
  EXPECT_EQ(image.Files().back(), file("base-s001.vmdk"));
  EXPECT_EQ(image.virtualSize, 4 * kMiB);
  image.layers.erase(image.layers.begin() + 2, image.layers.end());
  Convert("base.vdi", "vdi");
  image.layers.push_back({file("base.vdi"), "vdi", 4 * kMiB, {}});

  std::vector<nlohmann::json> nodes = DiskImage_Nodes(image, false, "d.");
  ASSERT_EQ(nodes.size(), 6u);
  // Parents first, each format node with its own file node and an explicit
  // parent where its format can have one.
  EXPECT_EQ(nodes[1]["driver"], "vdi");
  EXPECT_FALSE(nodes[1].contains("backing"));
  EXPECT_EQ(nodes[3]["driver"], "qcow2");
  EXPECT_EQ(nodes[3]["backing"], "d.l2");
  EXPECT_EQ(nodes[3]["file"], "d.f1");
  EXPECT_EQ(nodes[4]["filename"], file("top.qed"));
  EXPECT_EQ(nodes[5]["node-name"], "d.l0");
  EXPECT_EQ(nodes[5]["backing"], "d.l1");
  for (size_t i = 0; i < nodes.size(); ++i) EXPECT_EQ(nodes[i]["read-only"], i < 4) << i;
  Child("qcow2", "lone.qcow2", "base.vdi", "vdi");
  Rebase("lone.qcow2", "", "raw");
  ASSERT_EQ(Probe("lone.qcow2", &image, &why), ImageProblem::None) << why;
  nodes = DiskImage_Nodes(image, true, "d.");
  EXPECT_TRUE(nodes[1]["backing"].is_null());
  EXPECT_EQ(nodes[1]["read-only"], true);
  // QEMU fails writes over data already in a compressed vmdk.
  Convert("stream.vmdk", "vmdk", {"-o", "subformat=streamOptimized"});
  ASSERT_EQ(Probe("stream.vmdk", &image, &why), ImageProblem::None) << why;
  EXPECT_EQ(DiskImage_Nodes(image, false, "d.")[1]["read-only"], true);
  // Opening many extent files, qemu-img starts many threads: each time it
  // may start more.
  QemuImg(
      {"create", "-f", "vmdk", "-o", "subformat=twoGbMaxExtentSparse", file("split.vmdk"), "1T"});
  for (int i = 0; i < 8; ++i) {
    ASSERT_EQ(Probe("split.vmdk", &image, &why), ImageProblem::None) << why;
  }
  EXPECT_EQ(image.layers[0].extents.size(), 512u);
}

TEST_F(DiskImageTest, RelativeParentsResolveAgainstTheChildsRealFolder) {
  std::filesystem::create_directory(file("real"));
  std::filesystem::create_directory(file("elsewhere"));
  std::filesystem::create_directory_symlink(file("real"), file("linked"));
  Convert("real/base.qcow2", "qcow2");
  Child("qcow2", "real/child.qcow2", "base.qcow2", "qcow2");
  // A decoy beside the link must not be taken for the parent.
  Convert("elsewhere/base.qcow2", "vdi");
  std::filesystem::create_symlink(file("linked/child.qcow2"), file("elsewhere/child.qcow2"));
  DiskImage image;
  std::string why;
  ASSERT_EQ(Probe("elsewhere/child.qcow2", &image, &why), ImageProblem::None) << why;
  ASSERT_EQ(image.layers.size(), 2u);
  EXPECT_EQ(image.layers[0].path, file("real/child.qcow2"));
  EXPECT_EQ(image.layers[1].path, file("real/base.qcow2"));
}

TEST_F(DiskImageTest, RefusalsNameTheFile) {
  Convert("base.qcow2", "qcow2");
  // A damaged header is refused, never read as raw; so is a parent whose
  // header does not match the format its child recorded.
  std::string header = testsupport::ReadFile(file("base.qcow2"));
  testsupport::WriteFile(file("bad.qcow2"), header.replace(4, 4, "\xff\xff\xff\xff"));
  Child("qcow2", "wrongparent.qcow2", "base.qcow2", "vdi");
  // A vmdk child whose parent was written since it was made (a new CID).
  Convert("parent.vmdk", "vmdk");
  QemuImg({"create", "-f", "vmdk", "-b", "parent.vmdk", "-F", "vmdk", file("stale.vmdk")});
  std::string parent = testsupport::ReadFile(file("parent.vmdk"));
  parent.replace(parent.find("\nCID=") + 5, 8, "0badc0de");
  testsupport::WriteFile(file("parent.vmdk"), parent);
  QemuImg({"create", "-f", "qcow2", "-o", "data_file=" + file("data.bin"), file("datafile.qcow2"),
           "4M"});
  // Opening a FIFO extent would hold qemu-img until its time runs out.
  Convert("fifo.vmdk", "vmdk", {"-o", "subformat=twoGbMaxExtentFlat"});
  std::filesystem::remove(file("fifo-f001.vmdk"));
  ASSERT_EQ(mkfifo(file("fifo-f001.vmdk").c_str(), 0600), 0);
  // Hidden from a reading line by line: an extent over three lines, and one
  // in the first MiB of a larger file, which is all QEMU reads of it.
  const std::string head =
      "# Disk DescriptorFile\nversion=1\nCID=12345678\nparentCID=ffffffff\n"
      "createType=\"monolithicFlat\"\n";
  testsupport::WriteFile(file("split.vmdk"), head + "RW\n8192 FLAT\n\"fifo-f001.vmdk\" 0\n");
  testsupport::WriteFile(file("padded.vmdk"),
                         head + "RW 8192 FLAT \"fifo-f001.vmdk\" 0\n" + std::string(1100000, '#'));
  // And one in the descriptor a sparse file's header points to (read as the
  // disk's when the header declares no capacity), which QEMU reads from its
  // start on, whatever length the header gives it.
  const std::string line = "RW 8192 FLAT \"fifo-f001.vmdk\" 0\n";
  for (const auto &[name, sectors, text] :
       {std::tuple{"embedded.vmdk", 1, line}, std::tuple{"unsized.vmdk", 0, line},
        std::tuple{"short.vmdk", 1, "#" + std::string(600, ' ') + "\n" + line}}) {
    std::string sparse(2048, '\0');
    sparse.replace(0, 8, "KDMV\x01\0\0\0", 8);
    sparse[28] = 1;  // the descriptor at sector 1
    sparse[36] = static_cast<char>(sectors);
    sparse.replace(512, text.size(), text);
    testsupport::WriteFile(file(name), sparse);
  }
  const struct {
    const char *name;
    ImageProblem problem;
    const char *named;
  } files[] = {
      {"bad.qcow2", ImageProblem::Damaged, "bad.qcow2"},
      {"wrongparent.qcow2", ImageProblem::Damaged, "base.qcow2"},
      {"stale.vmdk", ImageProblem::Damaged, "another state of its parent"},
      {"datafile.qcow2", ImageProblem::Unsupported, "datafile.qcow2"},
      {"nothing-here", ImageProblem::Missing, "nothing-here"},
      {"fifo.vmdk", ImageProblem::Missing, "fifo-f001.vmdk"},
      {"split.vmdk", ImageProblem::Missing, "fifo-f001.vmdk"},
      {"padded.vmdk", ImageProblem::Missing, "fifo-f001.vmdk"},
      {"embedded.vmdk", ImageProblem::Missing, "fifo-f001.vmdk"},
      {"unsized.vmdk", ImageProblem::Missing, "fifo-f001.vmdk"},
      {"short.vmdk", ImageProblem::Missing, "fifo-f001.vmdk"},
  };
  for (const auto &f : files) {
    SCOPED_TRACE(f.name);
    DiskImage image;
    std::string why;
    EXPECT_EQ(Probe(f.name, &image, &why), f.problem);
    EXPECT_NE(why.find(f.named), std::string::npos) << why;
    EXPECT_TRUE(image.layers.empty());
  }
  // What QEMU does not open as an extent is no extent: a value of another
  // line (qemu-img's own flat vmdk beside a folder named as its hardware
  // version), or the name a sparse file with a capacity keeps of itself
  // (renamed, with a folder under its old name).
  Convert("flat.vmdk", "vmdk", {"-o", "subformat=monolithicFlat"});
  ASSERT_NE(testsupport::ReadFile(file("flat.vmdk")).find("virtualHWVersion = \"4\""),
            std::string::npos);
  std::filesystem::create_directory(file("4"));
  Convert("old.vmdk", "vmdk");
  std::filesystem::rename(file("old.vmdk"), file("renamed.vmdk"));
  std::filesystem::create_directory(file("old.vmdk"));
  for (const char *name : {"flat.vmdk", "renamed.vmdk"}) {
    DiskImage image;
    std::string why;
    EXPECT_EQ(Probe(name, &image, &why), ImageProblem::None) << name << ": " << why;
  }
}

// The limits end qemu-img with SIGXCPU (then SIGKILL); any other signal,
// an assertion of its own say, is named as it is.
TEST_F(DiskImageTest, AQemuImgEndedByASignalIsToldApart) {
  for (const auto &[signal, said] :
       {std::pair{"XCPU", "was stopped by its limits"}, std::pair{"ABRT", "ended with signal 6"}}) {
    FakeQemuImg(std::string("kill -") + signal + " $$\n");
    DiskImage image;
    std::string why;
    EXPECT_EQ(Probe("base.raw", &image, &why), ImageProblem::Tool);
    EXPECT_NE(why.find(said), std::string::npos) << why;
  }
}

// What qemu-img check says and how it ends tell damage from a check that
// could not end; either refuses the disk, each in its own words.
TEST_F(DiskImageTest, TheCheckBeforeWritingTellsDamageFromAFailedCheck) {
  struct Case {
    const char *said;
    int exit;
    bool dirty;
    ImageProblem expected;
    const char *why;
  } cases[] = {
      {"", 0, false, ImageProblem::None, ""},
      {"Leaked cluster 4 refcount=1 reference=0\n", 3, false, ImageProblem::None, ""},
      {"qemu-img: This image format does not support checks\n", 63, false, ImageProblem::Tool,
       "could not be checked (This image format does not support checks), and is not written"},
      {"Leaked cluster 4 refcount=1 reference=0\nERROR cluster 7 refcount=0 reference=1\n", 2,
       false, ImageProblem::Damaged, "is damaged (ERROR cluster 7 refcount=0 reference=1), and"},
      {"ERROR: cluster offset points after EOF\nqemu-img: Check failed: Invalid argument\n", 1,
       false, ImageProblem::Damaged, "(ERROR: cluster offset points after EOF)"},
      {"qemu-img: Could not open: Cannot allocate memory\n", 1, false, ImageProblem::Tool,
       "could not be checked (Could not open: Cannot allocate memory), and is not written"},
      {"qemu-img: Check failed: File too large\n", 1, false, ImageProblem::Tool,
       "(Check failed: File too large)"},
      {"ERROR cluster 7 refcount=0 reference=1\n", 2, true, ImageProblem::None, ""},
  };
  for (const Case &c : cases) {
    FakeQemuImg(std::string("printf '") + c.said + "' >&2\nexit " + std::to_string(c.exit) + "\n");
    DiskImage image;
    image.layers.push_back({file("disk.qcow2"), "qcow2", 1 << 20, {}});
    image.layers[0].dirty = c.dirty;
    std::string why;
    EXPECT_EQ(DiskImage_CheckTop(image, "", &why), c.expected) << c.said;
    EXPECT_NE(why.find(c.why), std::string::npos) << why;
  }
}

// Runs probe with no qemu-img to be found: only a cache hit can succeed.
ImageProblem WithoutQemuImg(DiskImageCache *cache, const std::string &path, DiskImage *image) {
  testsupport::ScopedEnv none("PATH", "/nonexistent");
  std::string why;
  return cache->Probe(path, image, &why);
}

// QEMU opens a descriptor's extents and a child's parent again by their
// names: one that leads to another file since must not be taken for the file
// checked before.
TEST_F(DiskImageTest, CacheLetsGoOfALinkRepointed) {
  std::filesystem::copy_file(file("base.raw"), file("other.raw"));
  std::filesystem::create_symlink(file("base.raw"), file("ext.raw"));
  testsupport::WriteFile(file("d.vmdk"),
                         "# Disk DescriptorFile\nversion=1\nCID=12345678\nparentCID=ffffffff\n"
                         "createType=\"monolithicFlat\"\nRW " +
                             std::to_string(std::filesystem::file_size(file("base.raw")) / 512) +
                             " FLAT \"ext.raw\" 0\n");
  DiskImageCache cache;
  DiskImage image;
  std::string why;
  ASSERT_EQ(cache.Probe(file("d.vmdk"), &image, &why), ImageProblem::None) << why;
  ASSERT_EQ(image.layers[0].extents, std::vector<std::string>{file("base.raw")});
  EXPECT_EQ(WithoutQemuImg(&cache, file("d.vmdk"), &image), ImageProblem::None);
  std::filesystem::remove(file("ext.raw"));
  std::filesystem::create_symlink(file("other.raw"), file("ext.raw"));
  EXPECT_EQ(WithoutQemuImg(&cache, file("d.vmdk"), &image), ImageProblem::Tool);

  std::filesystem::create_symlink(file("base.raw"), file("parent.raw"));
  Child("qcow2", "child.qcow2", "parent.raw", "raw");
  ASSERT_EQ(cache.Probe(file("child.qcow2"), &image, &why), ImageProblem::None) << why;
  ASSERT_EQ(image.layers[1].path, file("base.raw"));
  EXPECT_EQ(WithoutQemuImg(&cache, file("child.qcow2"), &image), ImageProblem::None);
  std::filesystem::remove(file("parent.raw"));
  std::filesystem::create_symlink(file("other.raw"), file("parent.raw"));
  EXPECT_EQ(WithoutQemuImg(&cache, file("child.qcow2"), &image), ImageProblem::Tool);
}

TEST_F(DiskImageTest, CacheHoldsWhileEveryFileStaysTheSame) {
  Convert("base.qcow2", "qcow2");
  Child("qcow2", "child.qcow2", "base.qcow2", "qcow2");
  std::filesystem::create_symlink(file("child.qcow2"), file("link.qcow2"));
  DiskImageCache cache;
  DiskImage image;
  std::string why;
  for (const char *name : {"base.raw", "link.qcow2"}) {
    ASSERT_EQ(cache.Probe(file(name), &image, &why), ImageProblem::None) << why;
    EXPECT_EQ(WithoutQemuImg(&cache, file(name), &image), ImageProblem::None) << name;
  }
  EXPECT_EQ(image.layers.size(), 2u);
  EXPECT_EQ(cache.Size(), 2u);
  // Volumes are kept for an image, read each time for a raw disk.
  const std::vector<VolumeExtent> kept = {{kMiB, kMiB}};
  std::vector<VolumeExtent> volumes;
  DiskImageCache::Seen seen;
  ASSERT_EQ(cache.Probe(file("base.raw"), &image, &why, &seen), ImageProblem::None) << why;
  cache.Remember(file("base.raw"), seen, kept);
  EXPECT_FALSE(cache.Volumes(file("base.raw"), seen, &volumes));
  // A changed parent, a link that leads elsewhere, a raw file turned into an
  // image: each is looked at again.
  auto settle = [&](std::chrono::milliseconds age = std::chrono::seconds(5)) {
    for (const char *name : {"base.qcow2", "child.qcow2"}) {
      std::filesystem::last_write_time(file(name),
                                       std::filesystem::file_time_type::clock::now() - age);
    }
  };
  const std::function<void()> changes[] = {
      [&] { Convert("base.qcow2", "qcow2"); },
      [&] {
        std::filesystem::remove(file("link.qcow2"));
        std::filesystem::create_symlink(file("base.qcow2"), file("link.qcow2"));
      },
  };
  for (const auto &change : changes) {
    // Volumes read just after a write are not kept: its stamp may hide a
    // second write in the same tick.
    ASSERT_EQ(cache.Probe(file("link.qcow2"), &image, &why, &seen), ImageProblem::None) << why;
    cache.Remember(file("link.qcow2"), seen, kept);
    EXPECT_FALSE(cache.Volumes(file("link.qcow2"), seen, &volumes));
    settle(std::chrono::milliseconds(1500));  // FAT stamps a later write alike
    ASSERT_EQ(cache.Probe(file("link.qcow2"), &image, &why, &seen), ImageProblem::None) << why;
    cache.Remember(file("link.qcow2"), seen, kept);
    EXPECT_FALSE(cache.Volumes(file("link.qcow2"), seen, &volumes));
    settle();
    ASSERT_EQ(cache.Probe(file("link.qcow2"), &image, &why, &seen), ImageProblem::None) << why;
    cache.Remember(file("link.qcow2"), seen, kept);
    ASSERT_TRUE(cache.Volumes(file("link.qcow2"), seen, &volumes));
    EXPECT_EQ(volumes[0].offset, kMiB);
    change();
    EXPECT_EQ(WithoutQemuImg(&cache, file("link.qcow2"), &image), ImageProblem::Tool);
    EXPECT_FALSE(cache.Volumes(file("link.qcow2"), seen, &volumes));
  }
  // Volumes read after a look that another probe has made anew since (on
  // another thread) may come from the files before it: not kept.
  DiskImageCache::Seen stale = seen;
  settle();
  ASSERT_EQ(cache.Probe(file("link.qcow2"), &image, &why, &seen), ImageProblem::None) << why;
  cache.Remember(file("link.qcow2"), stale, kept);
  EXPECT_FALSE(cache.Volumes(file("link.qcow2"), seen, &volumes));
  cache.Remember(file("link.qcow2"), seen, kept);
  EXPECT_TRUE(cache.Volumes(file("link.qcow2"), seen, &volumes));
  // A raw disk written by its guest stays raw, even with a header's magic at
  // its start.
  {
    std::fstream raw(file("base.raw"), std::ios::in | std::ios::out | std::ios::binary);
    raw.write("QFI\xfb", 4);
  }
  EXPECT_EQ(WithoutQemuImg(&cache, file("base.raw"), &image), ImageProblem::None);
  EXPECT_TRUE(image.Raw());
  Convert("base.vdi", "vdi");
  std::filesystem::rename(file("base.vdi"), file("base.raw"));
  EXPECT_EQ(WithoutQemuImg(&cache, file("base.raw"), &image), ImageProblem::Tool);
  ASSERT_EQ(cache.Probe(file("base.raw"), &image, &why), ImageProblem::None) << why;
  EXPECT_EQ(image.layers[0].format, "vdi");
}

// Extents are linked where QEMU looks for them from the descriptor's link:
// a name that climbs has the descriptor's own folders repeated above it, every
// folder a name walks through is there, and a name that is absolute, or
// climbs above the root, goes by its name.
TEST(DiskImageExtents, PlacesLeadWhereTheNamesLead) {
  struct Row {
    std::vector<std::string> names;
    std::string own;  // "" where the names cannot be placed
    std::vector<std::string> extents;
    std::vector<std::string> folders;
    bool relative = true;  // as the descriptor names them
  };
  const Row rows[] = {
      {{"/v/d/disk.vmdk"}, "disk.vmdk", {"disk.vmdk"}, {}},
      {{"/v/d/disk-s001.vmdk"}, "", {}, {}, false},
      {{"/v/d/disk-s001.vmdk", "/v/d/./sub//disk-s002.vmdk"},
       "disk.vmdk",
       {"disk-s001.vmdk", "sub/disk-s002.vmdk"},
       {"sub"}},
      {{"/v/d/disk-s001.vmdk", "/elsewhere/disk-s002.vmdk"}, "", {}, {}},
      {{"/v/d/sub/../x.vmdk"}, "disk.vmdk", {"x.vmdk"}, {"sub"}},
      {{"/v/d/../d/s1.vmdk", "/v/d/../../v/e/s2.vmdk"},
       "v/d/disk.vmdk",
       {"v/d/s1.vmdk", "v/e/s2.vmdk"},
       {"v", "v/d", "v/d", "v", "v/e"}},
      {{"/v/d/../../../x.vmdk"}, "", {}, {}},
      {{"/v/d/sub/.."}, "", {}, {}},
      {{"/v/d/"}, "", {}, {}},
      {{"/v/dx/disk.vmdk"}, "", {}, {}},
  };
  for (const Row &row : rows) {
    ImageLayer layer;
    layer.path = "/v/d/disk.vmdk";
    layer.extentNames = row.names;
    layer.extentsRelative = row.relative;
    ExtentPlaces placed;
    EXPECT_EQ(DiskImage_ExtentPlaces(layer, &placed), !row.own.empty()) << row.names.back();
    if (!row.own.empty()) {
      EXPECT_EQ(placed.own, row.own);
      EXPECT_EQ(placed.extents, row.extents);
      EXPECT_EQ(placed.folders, row.folders);
    }
  }
}
}  // namespace
