// The mount table's saved form, its ids, and saving that never leaves a
// damaged table behind.
#include "mountTable.h"

#include <signal.h>
#include <sys/resource.h>

#include <filesystem>

#include <gtest/gtest.h>

#include "testSupport.h"

namespace {

MountRecord Attached(MountTable *table, const std::string &disk, char letter) {
  MountRecord r;
  r.disk = disk;
  r.volume = 2;
  r.offset = 1048576;
  r.length = uint64_t{3} << 40;
  r.backend = "record";
  EXPECT_TRUE(table->Create(&r));
  table->Find(r.id)->letter = letter;
  return *table->Find(r.id);
}

TEST(MountTable, IdsGrowAndAreNeverReused) {
  MountTable table;
  MountRecord a, b, c;
  ASSERT_TRUE(table.Create(&a));
  ASSERT_TRUE(table.Create(&b));
  EXPECT_EQ(a.id, 1);
  EXPECT_EQ(b.id, 2);
  table.Erase(b.id);
  ASSERT_TRUE(table.Create(&c));
  EXPECT_EQ(c.id, 3);

  // A reloaded table keeps counting where the old one stopped, even though
  // no mount with the highest id was saved.
  MountTable reloaded;
  reloaded.Parse(table.Format(), nullptr);
  MountRecord d;
  ASSERT_TRUE(reloaded.Create(&d));
  EXPECT_EQ(d.id, 4);
}

TEST(MountTable, SavesAttachedMountsOnly) {
  MountTable table;
  MountRecord unattached;
  ASSERT_TRUE(table.Create(&unattached));
  MountRecord e = Attached(&table, "/vms/a disk with spaces=and equals.img", 'e');
  MountRecord f = Attached(&table, "/vms/b.img", 'f');

  MountTable copy;
  std::vector<std::string> problems;
  copy.Parse(table.Format(), &problems);
  EXPECT_TRUE(problems.empty());
  EXPECT_EQ(copy.Find(unattached.id), nullptr);
  ASSERT_EQ(copy.Attached().size(), 2u);
  const MountRecord *r = copy.Find(e.id);
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->disk, e.disk);
  EXPECT_EQ(r->volume, 2);
  EXPECT_EQ(r->offset, 1048576u);
  EXPECT_EQ(r->length, uint64_t{3} << 40);
  EXPECT_EQ(r->letter, 'e');
  EXPECT_EQ(r->backend, "record");
  EXPECT_EQ(copy.Attached()[1]->id, f.id);
  EXPECT_EQ(copy.NextId(), table.NextId());
}

TEST(MountTable, LoopDeviceAndMountAreSaved) {
  MountTable table;
  MountRecord e = Attached(&table, "/vms/a.img", 'e');
  MountRecord *r = table.Find(e.id);
  r->backend = "loop";
  r->loop = 7;
  r->mounted = true;
  r->daemon = "4242,m1";
  MountRecord f = Attached(&table, "/vms/b.img", 'f');
  std::string text = table.Format();
  EXPECT_NE(text.find(" letter=e backend=loop loop=7 mounted=1 daemon=4242,m1 disk=/vms/a.img\n"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find(" letter=f backend=record disk=/vms/b.img\n"), std::string::npos) << text;

  MountTable copy;
  std::vector<std::string> problems;
  copy.Parse(text, &problems);
  EXPECT_TRUE(problems.empty());
  ASSERT_NE(copy.Find(e.id), nullptr);
  EXPECT_EQ(copy.Find(e.id)->loop, 7);
  EXPECT_TRUE(copy.Find(e.id)->mounted);
  EXPECT_EQ(copy.Find(e.id)->daemon, "4242,m1");
  ASSERT_NE(copy.Find(f.id), nullptr);
  EXPECT_EQ(copy.Find(f.id)->loop, -1);
  EXPECT_EQ(copy.Find(f.id)->daemon, "");
  EXPECT_FALSE(copy.Find(f.id)->mounted);

  copy.Parse(
      "mount id=1 volume=1 offset=0 length=1 letter=e backend=loop loop=-1 mounted=1 disk=/a\n"
      "mount id=2 volume=1 offset=0 length=1 letter=f backend=loop loop=3 mounted=yes disk=/b\n"
      "mount id=3 volume=1 offset=0 length=1 letter=g backend=loop daemon=0,m3 disk=/c\n"
      "mount id=4 volume=1 offset=0 length=1 letter=h backend=loop daemon=5,../m disk=/d\n"
      "nextId=5\n",
      &problems);
  EXPECT_EQ(problems.size(), 4u);
  EXPECT_TRUE(copy.Attached().empty());
}

TEST(MountTable, DamagedLinesAreSkipped) {
  MountTable table;
  std::vector<std::string> problems;
  table.Parse(
      "mount id=1 volume=1 offset=0 length=512 letter=e backend=record disk=/a\n"
      "mount id=1 volume=1 offset=0 length=512 letter=g backend=record disk=/b\n"
      "mount id=7 volume=1 offset=0 length=512 letter=e backend=record disk=/c\n"
      "mount id=8 volume=0 offset=0 length=512 letter=h backend=record disk=/d\n"
      "mount id=9 volume=1 offset=0 length=512 letter=H backend=record disk=/d\n"
      "mount id=10 volume=1 offset=0 length=99999999999999999999999 letter=i disk=/d\n"
      "mount id=11 volume=1 offset=0 length=512 letter=j\n"
      "garbage\n"
      "nextId=3\n",
      &problems);
  EXPECT_EQ(problems.size(), 7u);
  ASSERT_EQ(table.Attached().size(), 1u);
  EXPECT_EQ(table.Find(1)->disk, "/a");
  EXPECT_EQ(table.NextId(), 3);

  // A line that survives but carries an id above nextId moves it up.
  table.Parse("nextId=2\nmount id=5 volume=1 offset=0 length=512 letter=e disk=/a\n", nullptr);
  EXPECT_EQ(table.NextId(), 6);
  EXPECT_EQ(table.Find(5)->backend, "record");
}

// The next id closes the table: a table cut short anywhere, even between
// two lines, reads as damaged.
TEST(MountTable, TableCutShortIsDamaged) {
  MountTable table;
  Attached(&table, "/vms/a.img", 'e');
  Attached(&table, "/vms/b.img", 'f');
  std::string text = table.Format();
  for (size_t cut = 0; cut < text.size(); cut++) {
    MountTable copy;
    std::vector<std::string> problems;
    copy.Parse(text.substr(0, cut), &problems);
    EXPECT_FALSE(problems.empty()) << text.substr(0, cut);
  }
  // Earlier versions wrote the next id first.
  MountTable earlier;
  std::vector<std::string> problems;
  earlier.Parse("nextId=3\nmount id=1 volume=1 offset=0 length=512 letter=e disk=/a\n", &problems);
  EXPECT_TRUE(problems.empty());
  EXPECT_EQ(earlier.Attached().size(), 1u);
}

TEST(MountTable, RestoredRecordsKeepTheirIds) {
  MountTable source;
  MountRecord r = Attached(&source, "/vms/a.img", 'e');
  MountTable table;
  table.KeepNextIdAbove(4);
  r.id = 7;
  EXPECT_TRUE(table.Restore(r));
  EXPECT_FALSE(table.Restore(r));  // the id is taken
  r.id = 2;
  EXPECT_FALSE(table.Restore(r));  // the letter is taken
  r.letter = 'f';
  EXPECT_TRUE(table.Restore(r));
  EXPECT_EQ(table.NextId(), 8);
  EXPECT_EQ(table.Attached().size(), 2u);
}

// Saves with files limited to the size of the old table; exits 0 when the
// save failed and the old table is intact.
[[noreturn]] void SaveUnderSizeLimit(const MountTable &table, const std::string &path,
                                     const std::string &before) {
  signal(SIGXFSZ, SIG_IGN);
  struct rlimit limit;
  limit.rlim_cur = limit.rlim_max = before.size();
  setrlimit(RLIMIT_FSIZE, &limit);
  int rc = table.Save(path);
  bool intact = testsupport::ReadFile(path) == before;
  exit(rc != 0 && intact ? 0 : 1);
}

// A write that runs out of room (here: the file size limit) must fail and
// leave the table that was there before.
TEST(MountTableDeathTest, FailedSaveKeepsThePreviousTable) {
  testsupport::TempDir dir;
  std::string path = dir.file("mounts");
  MountTable small;
  Attached(&small, "/vms/a.img", 'e');
  ASSERT_EQ(small.Save(path), 0);
  std::string before = testsupport::ReadFile(path);

  MountTable large = small;
  for (char l = 'f'; l <= 'z'; l++) {
    Attached(&large, "/vms/a-rather-long-path-to-make-the-table-grow/disk.img", l);
  }
  EXPECT_EXIT(SaveUnderSizeLimit(large, path, before), testing::ExitedWithCode(0), "");
  // Nothing but the table is left in the folder.
  EXPECT_EQ(testsupport::ReadFile(path), before);
  int entries = 0;
  for ([[maybe_unused]] auto &e : std::filesystem::directory_iterator(dir.path())) {
    entries++;
  }
  EXPECT_EQ(entries, 1);
}

}  // namespace
