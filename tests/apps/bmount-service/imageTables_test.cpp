// Where an image's structures and blocks collide, whatever order they are
// listed in and whether or not they lie at whole sectors.
#include "imageTables.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

struct Place {
  char kind;  // 'h' the header (1,000 bytes), 't' the table (100 bytes), 'b' a block (4 KiB)
  uint64_t at;
  uint64_t n = 0;
};

TEST(ImageLayoutTest, FindsTheFirstCollision) {
  const struct {
    std::vector<Place> places;
    const char *fault;
  } rows[] = {
      {{{'h', 0}, {'t', 1000}, {'b', 8192, 1}, {'b', 4096, 0}}, ""},
      {{{'h', 0}, {'b', 4096, 3}, {'b', 4096, 2}}, "block 3 lies over block 2"},
      // A block over a structure, whichever starts first; a block off the
      // sectors among blocks on them.
      {{{'h', 5000}, {'b', 4096, 0}}, "block 0 lies over its header"},
      {{{'h', 0}, {'b', 512, 0}}, "block 0 lies over its header"},
      {{{'b', 4096, 0}, {'b', 8191, 1}, {'b', 16384, 2}}, "block 1 lies over block 0"},
      {{{'b', 4096, 0}, {'b', 12288, 2}, {'b', 8200, 1}}, "block 2 lies over block 1"},
      {{{'b', 0, 0}, {'b', 512, uint64_t{1} << 33}}, "block 8589934592 lies over block 0"},
      // One that holds others is found before them.
      {{{'t', 10}, {'h', 0}, {'b', 8192, 0}}, "its table lies over its header"},
      {{{'b', 0, 0}, {'t', 100}, {'b', 2048, 1}}, "block 0 lies over its table"},
      {{{'b', 1 << 20, 9}}, "block 9 lies past its end"},
      {{{'b', (1 << 20) - 4095, 9}}, "block 9 lies past its end"},
      {{{'b', ~uint64_t{0} - 10, 9}}, "block 9 lies past its end"},
  };
  for (const auto &row : rows) {
    ImageLayout layout(1 << 20);
    int header = layout.Kind("its header", 1000, false);
    int table = layout.Kind("its table", 100, false);
    int block = layout.Kind("block", 4096, true);
    std::string listed;
    for (const Place &p : row.places) {
      layout.Add(p.kind == 'h' ? header : p.kind == 't' ? table : block, p.at, p.n);
      listed.push_back(p.kind);
      listed.append(std::to_string(p.at)).push_back(' ');
    }
    SCOPED_TRACE(listed);
    EXPECT_EQ(layout.Fault(), row.fault);
  }
}

}  // namespace
