// The mount table's saved form and restored ids. That ids are never reused,
// within an instance or across restarts, is seen through the service objects.
#include "mountTable.h"

#include <gtest/gtest.h>

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

TEST(MountTable, AttachedMountsAreSavedWithEveryField) {
  MountTable table;
  MountRecord unattached;
  ASSERT_TRUE(table.Create(&unattached));
  MountRecord e = Attached(&table, "/vms/a disk with spaces=and equals.img", 'e');
  MountRecord *r = table.Find(e.id);
  r->backend = "loop";
  r->loop = 7;
  r->mounted = true;
  r->daemon = "4242,m1";
  Attached(&table, "/vms/b.img", 'f');
  std::string text = table.Format();
  EXPECT_EQ(text,
            "# bmount-service mount table\n"
            "mount id=2 volume=2 offset=1048576 length=3298534883328 letter=e backend=loop "
            "loop=7 mounted=1 daemon=4242,m1 disk=/vms/a disk with spaces=and equals.img\n"
            "mount id=3 volume=2 offset=1048576 length=3298534883328 letter=f backend=record "
            "disk=/vms/b.img\n"
            "nextId=4\n");

  MountTable copy;
  std::vector<std::string> problems;
  copy.Parse(text, &problems);
  EXPECT_TRUE(problems.empty());
  EXPECT_EQ(copy.Find(unattached.id), nullptr);
  EXPECT_EQ(copy.Format(), text);  // every field read back
}

TEST(MountTable, DamagedLinesAreSkipped) {
  const char *const kDamaged[] = {
      "mount id=8 volume=0 offset=0 length=512 letter=h backend=record disk=/d",
      "mount id=9 volume=1 offset=0 length=512 letter=H backend=record disk=/d",
      "mount id=10 volume=1 offset=0 length=99999999999999999999999 letter=i disk=/d",
      "mount id=2147483648 volume=1 offset=0 length=1 letter=i disk=/d",
      "mount id=11 volume=1 offset=0 length=512 letter=j",
      "mount id=12 volume=1 offset=0 length=1 letter=k backend=loop loop=-1 mounted=1 disk=/a",
      "mount id=13 volume=1 offset=0 length=1 letter=k backend=loop loop=3 mounted=yes disk=/b",
      "mount id=14 volume=1 offset=0 length=1 letter=k backend=loop daemon=0,m3 disk=/c",
      "mount id=15 volume=1 offset=0 length=1 letter=k backend=loop daemon=5,../m disk=/d",
      "mount id=16 volume=+1 offset=0 length=1 letter=k disk=/d",
      "mount id=16 volume=1 offset=-1 length=1 letter=k disk=/d",
      "mount id=17 volume=1 offset= length=1 letter=k disk=/d",
      "mount id=18 volume",
      "garbage",
      "nextId=0",
      "nextId=x",
  };
  for (const char *line : kDamaged) {
    MountTable table;
    std::vector<std::string> problems;
    table.Parse(std::string("mount id=1 volume=1 offset=0 length=512 letter=e disk=/a\n") + line +
                    "\nnextId=3\n",
                &problems);
    EXPECT_EQ(problems.size(), 1u) << line;
    EXPECT_EQ(problems.empty() ? "" : problems[0].substr(0, 7), "line 2:") << line;
    EXPECT_EQ(table.Attached().size(), 1u) << line;
  }
  // A second mount with an id or a letter already taken.
  MountTable table;
  std::vector<std::string> problems;
  table.Parse(
      "mount id=1 volume=1 offset=0 length=512 letter=e backend=record disk=/a\n"
      "mount id=1 volume=1 offset=0 length=512 letter=g backend=record disk=/b\n"
      "mount id=7 volume=1 offset=0 length=512 letter=e backend=record disk=/c\n"
      "nextId=3\n",
      &problems);
  EXPECT_EQ(problems, (std::vector<std::string>{"line 2: duplicate id 1",
                                                "line 3: duplicate drive letter e"}));
  EXPECT_EQ(table.Find(1)->disk, "/a");
  EXPECT_EQ(table.NextId(), 3);

  // A line that survives but carries an id above nextId moves it up; and
  // earlier versions wrote the next id first.
  problems.clear();
  table.Parse("nextId=2\nmount id=5 volume=1 offset=0 length=512 letter=e disk=/a\n", &problems);
  EXPECT_TRUE(problems.empty());
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

}  // namespace
