// Loading dictionary files: what is kept (entries, lines, flags), duplicates,
// syntax and read errors with their messages, the failures that leave the
// dictionary as it was, standard input, and lines across the read pieces.
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "falseWarnings.h"
#include "host/socket.h"
#include "testSupport.h"
#include "user/dictionary.h"
#include "user/msg.h"

namespace {

using namespace std::string_literals;
using Strings = std::vector<std::string>;

void FailOnPost(int, const char *text, const char *) { ADD_FAILURE() << "posted: " << text; }

// The message of a failure at a line of a file.
std::string AtLine(const std::string &path, int line, const char *what) {
  std::string text = "File \"";
  text.append(path).append("\" line ").append(std::to_string(line));
  return text.append(": ").append(what).append(".\n");
}

// Loads path in a child process, after prepare there (false: it could not),
// and returns 0 only when the load fails with exactly want and keeps kept.
void ExpectLoadFailsInChild(const std::function<bool()> &prepare, const char *path,
                            const std::string &want, const char *kept = nullptr) {
  int code = testsupport::InChild([&] {
    if (!prepare()) return 10;
    Dictionary *d = Dictionary_Create();
    bool ok = Dictionary_Load(d, path, 0);
    if (ok || want != Msg_GetMessages() || (kept != nullptr && !Dictionary_IsDefined(d, kept))) {
      fprintf(stderr, "result %d, messages: %s", ok, Msg_GetMessages());
      return 1;
    }
    return 0;
  });
  EXPECT_EQ(code, 0) << want;
}

class DictionaryLoadTest : public testing::Test {
 protected:
  void SetUp() override {
    Msg_SetPostCallback(FailOnPost);
    Msg_Reset(false);
  }
  void TearDown() override {
    Msg_Reset(false);
    Msg_SetPostCallback(nullptr);
  }
  std::string Write(const std::string &bytes) {
    std::string path = dir_.file("config.bxx");
    testsupport::WriteFile(path, bytes);
    return path;
  }
  std::string Value(const char *name) {
    return testsupport::Take(Dict_GetString(dict_.get(), "<none>", "%s", name));
  }
  Strings Names() {
    Strings names;
    for (DictEntry *e = dict_->firstEntry; e != nullptr; e = e->next) names.push_back(e->name);
    return names;
  }
  Strings Lines() {
    Strings lines;
    for (DictLine *l = dict_->firstLine; l != nullptr; l = l->next) lines.push_back(l->text);
    return lines;
  }
  testsupport::TempDir dir_;
  std::unique_ptr<Dictionary, decltype(&Dictionary_Free)> dict_{Dictionary_Create(),
                                                                Dictionary_Free};
};

TEST_F(DictionaryLoadTest, KeepsEntriesAndLinesInFileOrder) {
  std::string path = Write(
      "# VM\nconfig.version = \"8\"\r\n\n   \t\n  # indented comment\n"
      "displayName = \"My VM\"  # main\nx =\nreadOnly = \"\"\nName = a|zzb");
  EXPECT_TRUE(Dictionary_Load(dict_.get(), path.c_str(), 18));
  EXPECT_STREQ(Msg_GetMessages(), "");
  EXPECT_EQ(Names(), (Strings{"config.version", "displayName", "x", "readOnly", "Name"}));
  EXPECT_EQ(Lines(),
            (Strings{"# VM", "config.version = \"8\"", "", "   \t", "  # indented comment",
                     "displayName = \"My VM\"  # main", "x =", "readOnly = \"\"", "Name = a|zzb"}));
  // Entries tied to their lines, with the load's flags, are the fuzzer's to check.
  EXPECT_EQ(dict_->firstLine->entry, nullptr);
  EXPECT_EQ(Value("config.version"), "8");
  EXPECT_EQ(Value("DISPLAYNAME"), "My VM");
  EXPECT_EQ(Value("x"), "");
  EXPECT_EQ(Value("name"), "a|zzb");
  EXPECT_TRUE(Dict_GetBool(dict_.get(), false, "readOnly"));
}

// The text in hand loads as its file would; a load for reading only keeps
// no lines and cuts names and values out of its copy of the text, with the
// same entries, values, result and messages.
GCC_FALSE_RESTRICT_BEGIN
TEST_F(DictionaryLoadTest, TextInHandAndReadOnlyLoadsGiveTheSameEntries) {
  const std::string texts[] = {
      "# VM\nconfig.version = \"8\"\r\n\n  x=1\ty = \"\" # c\n",
      "a = \"q|22uote|7C\"\nb = bare|20value # note\nc=\"\"\nd = \"x\"",
      "a = 1\nb = 2\nA = 3\nB = \"4\"\nc = 5\n",
      "a = 1\nb = \"2\"\n[section]\nc = 3\n",
      "n = \"v\"\0rest = 1\nm = \"w\" # \0\nk = \"unclosed\n"s,
      "a = 1\na = \"|zz\"\nb = \"|41\"\n",
      "a = 1\nb = 2\nA = 3\nc = \"" + std::string(100000, 'v') + "\"",
  };
  auto load = [&](const std::string &text, int flags, bool fromFile) {
    std::string path = Write(text);
    Msg_Reset(false);
    bool ok = fromFile
                  ? Dictionary_Load(dict_.get(), path.c_str(), flags)
                  : Dictionary_LoadText(dict_.get(), path.c_str(), text.data(), text.size(), flags);
    EXPECT_EQ(dict_->loadFileName, nullptr);
    std::string seen = std::string(ok ? "ok" : "failed") + "\n" + Msg_GetMessages();
    for (DictEntry *e = dict_->firstEntry; e != nullptr; e = e->next) {
      seen += std::string(e->name) + "=" + Value(e->name) + "/" + std::to_string(e->flags) + "\n";
    }
    return seen;
  };
  for (const std::string &text : texts) {
    std::string kept = load(text, 18, true);
    Strings lines = Lines();
    EXPECT_EQ(load(text, 18, false), kept) << text;
    EXPECT_EQ(Lines(), lines);
    for (bool fromFile : {false, true}) {
      EXPECT_EQ(load(text, 18 | DICT_LOAD_READ_ONLY, fromFile), kept) << text;
      EXPECT_EQ(dict_->firstLine, nullptr);
    }
  }
  // The text is what is read, not the file; without a text the file is.
  std::string path = Write("a = 1\n");
  EXPECT_TRUE(Dictionary_LoadText(dict_.get(), path.c_str(), "a = 7", 5, 0));
  EXPECT_EQ(Dict_GetInt(dict_.get(), 0, "a"), 7);
  EXPECT_TRUE(Dictionary_LoadText(dict_.get(), path.c_str(), "", 0, 0));
  EXPECT_EQ(Dict_GetInt(dict_.get(), 0, "a"), 1);
}

TEST_F(DictionaryLoadTest, ManyDuplicatesBetweenLongAndShortValues) {
  // Long lines outgrow the pieces the file is read in; a NUL ends a line's text.
  std::string text = "b = \"1\"\0ignored\n"s;
  auto valueOf = [](int i) {
    return i % 97 == 0 ? std::string(70000 + i, static_cast<char>('a' + i % 26))
                       : "v" + std::to_string(i);
  };
  for (int i = 0; i < 3000; i++) {
    text += "k" + std::to_string(i) + " = \"" + valueOf(i) + "\"\n";
    text +=
        "K" + std::to_string(i) + " = " + (i % 89 == 0 ? std::string(90000, 'd') : "dup") + "\n";
  }
  std::string path = Write(text);
  EXPECT_FALSE(Dictionary_Load(dict_.get(), path.c_str(), 0));
  EXPECT_EQ(Lines().size(), 6001u);
  EXPECT_EQ(Names().size(), 3001u);
  EXPECT_EQ(Value("b"), "1");
  for (int i = 0; i < 3000; i++) {
    ASSERT_EQ(Value(("k" + std::to_string(i)).c_str()), valueOf(i)) << i;
  }
}
GCC_FALSE_RESTRICT_END

TEST_F(DictionaryLoadTest, FailuresBeforeReadingLeaveTheDictionary) {
  EXPECT_EQ(Dict_GetInt(dict_.get(), 42, "kept"), 42);
  // A socket exists and is no folder, but is no file either. Neither a FIFO,
  // which would block the open, nor a device without end is opened.
  std::string socketPath = dir_.file("sock");
  int fd = -1;
  ASSERT_EQ(HostEndpoint_Listen(dir_.path().c_str(), "sock", &fd), 0);
  std::string fifo = dir_.file("fifo");
  std::string zero = dir_.file("zero");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  ASSERT_EQ(symlink("/dev/zero", zero.c_str()), 0);
  // Another program's file past the bound is not held, whatever it holds.
  std::string huge = Write("big = 1\n");
  ASSERT_EQ(truncate(huge.c_str(), DICT_LOAD_BOUND + 1), 0);
  const char kOpen[] = "Cannot open file \"";
  const struct {
    std::string path;
    const char *before, *after;
    int flags = 0;
  } cases[] = {
      {dir_.file("missing.bxx"), "Unable to get information about file \"",
       "\": No such file or directory.\n"},
      {dir_.path(), "\"", "\" is a directory.\n"},
      {socketPath, kOpen, "\": Invalid argument.\n"},
      {fifo, kOpen, "\": Invalid argument.\n"},
      {zero, kOpen, "\": Invalid argument.\n"},
      {huge, kOpen, "\": File too large.\n", DICT_LOAD_BOUNDED},
  };
  for (const auto &c : cases) {
    Msg_Reset(false);
    EXPECT_FALSE(Dictionary_Load(dict_.get(), c.path.c_str(), c.flags)) << c.path;
    EXPECT_EQ(Msg_GetMessages(), std::string(c.before).append(c.path).append(c.after));
  }
  HostStream_Close(fd);
  EXPECT_EQ(Names(), Strings{"kept"});
  EXPECT_EQ(Dict_GetInt(dict_.get(), 0, "kept"), 42);

  // A load that reads replaces the content; no path only empties.
  EXPECT_TRUE(Dictionary_Load(dict_.get(), Write("new = 1\n").c_str(), 0));
  EXPECT_EQ(Names(), Strings{"new"});
  EXPECT_TRUE(Dictionary_Load(dict_.get(), nullptr, 0));
  EXPECT_EQ(dict_->firstEntry, nullptr);
}

// Standard input is replaced inside a child; the lines before an error stay.
TEST_F(DictionaryLoadTest, StandardInputAndAReadError) {
  std::string path = Write("a = 1\nfoo\n");
  auto stdinFrom = [](const std::string &file, const char *mode) {
    return [=] { return freopen(file.c_str(), mode, stdin) != nullptr; };
  };
  ExpectLoadFailsInChild(stdinFrom(path, "r"), "-", AtLine("<stdin>", 2, "Syntax error"), "a");
  // A write-only standard input fails on the first read.
  ExpectLoadFailsInChild(stdinFrom(dir_.file("sink"), "w"), "-",
                         AtLine("<stdin>", 0, "Bad file descriptor"));
}

TEST_F(DictionaryLoadTest, LineLongerThanTheMemoryIsAReadError) {
  if (BRENIX_TEST_ASAN) GTEST_SKIP() << "an address-space limit cannot be combined with ASan";
  // One short line, then 1 GiB of NUL bytes without a LF (a sparse file), read
  // in a child limited to 256 MiB of address space.
  std::string path = Write("a = 1\n");
  std::filesystem::resize_file(path, (uint64_t{1} << 30) + 6);
  auto limit = [] {
    struct rlimit limit = {uint64_t{256} << 20, uint64_t{256} << 20};
    return setrlimit(RLIMIT_AS, &limit) == 0;
  };
  ExpectLoadFailsInChild(limit, path.c_str(), AtLine(path, 1, "Cannot allocate memory"), "a");
}

// A large file's assignments are indexed a few lines after they are read, a
// small file's at once: either way duplicates near and far, and a syntax
// error right behind them, come out in file order with their line numbers.
GCC_FALSE_RESTRICT_BEGIN
TEST_F(DictionaryLoadTest, DuplicatesNearAndFarThenASyntaxError) {
  std::string text = "a = 1\nA = 2\n";
  for (int i = 0; i < 20; i++) text += "k" + std::to_string(i) + " = " + std::to_string(i) + "\n";
  text += "K3 = x\n# note\nb = 1\n[section]\nc = 1\n";
  for (size_t padding : {size_t{0}, size_t{2} << 20}) {
    Msg_Reset(false);
    std::string path = Write(text + std::string(padding, '#'));
    EXPECT_FALSE(Dictionary_Load(dict_.get(), path.c_str(), 0));
    EXPECT_EQ(Msg_GetMessages(), AtLine(path, 2, "Variable `A' is already defined") +
                                     AtLine(path, 23, "Variable `K3' is already defined") +
                                     AtLine(path, 26, "Syntax error"));
    Strings names = Names();
    ASSERT_EQ(names.size(), 22u);
    EXPECT_EQ(names.front(), "a");
    EXPECT_EQ(names.back(), "b");
    EXPECT_EQ(Value("k3"), "3");
    EXPECT_EQ(Value("A"), "1");
    ASSERT_EQ(Lines().size(), 25u);
    EXPECT_STREQ(dict_->firstLine->next->text, "A = 2");
    EXPECT_EQ(dict_->firstLine->next->entry, nullptr);
    EXPECT_EQ(Lines().back(), "b = 1");
    EXPECT_FALSE(Dictionary_IsDefined(dict_.get(), "c"));
  }
}
GCC_FALSE_RESTRICT_END

// The file is read up to the size it had at the open and no further: the
// last line ends exactly there, on either side of the pieces it is read in.
TEST_F(DictionaryLoadTest, TheLastLineEndsAtTheFileSize) {
  const size_t kPiece = size_t{64} * 1024;
  const std::string last = "last = x";  // no LF
  for (size_t size : {last.size(), kPiece - 1, kPiece, kPiece + 1, 2 * kPiece + 7}) {
    std::string text;
    if (size > last.size()) {
      text = "# ";
      text.append(size - last.size() - 3, '.');
      text += '\n';
    }
    text += last;
    ASSERT_EQ(text.size(), size);
    ASSERT_TRUE(Dictionary_Load(dict_.get(), Write(text).c_str(), 0)) << size;
    EXPECT_EQ(Value("last"), "x") << size;
    EXPECT_EQ(Lines().size(), size > last.size() ? 2u : 1u) << size;
  }
  // A kernel's file reports 0 bytes, whatever it holds.
  std::string kernel = dir_.file("kernel.bxsd");
  ASSERT_EQ(symlink("/proc/self/status", kernel.c_str()), 0);
  EXPECT_TRUE(Dictionary_Load(dict_.get(), kernel.c_str(), 0));
  EXPECT_EQ(dict_->firstLine, nullptr);
}

// Large enough for a helper to fill the storage in ahead; a first piece of
// comments only sizes the index too small, so it grows while the helper
// works. CR LF lines straddle the read pieces; all come back intact.
TEST_F(DictionaryLoadTest, LargeFileFilledInAheadWhileTheIndexGrows) {
  std::string text;
  while (text.size() < 80000) {
    text += "# a comment that the sizing of the index sees and nothing else\n";
  }
  size_t comments = static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
  auto line = [](int i) {
    return "disk" + std::to_string(i) + ".fileName = \"image-" + std::to_string(i * 7) + ".bxdk\"";
  };
  int count = 0;
  for (; text.size() < (size_t{9} << 20); count++) text += line(count) + "\r\n";
  text += "last = x\r";
  std::string path = Write(text);
  for (int load = 0; load < 2; load++) {
    ASSERT_TRUE(Dictionary_Load(dict_.get(), path.c_str(), 2));
    EXPECT_EQ(dict_->prefaulter, nullptr);  // gone when the load returns
    ASSERT_EQ(Names().size(), static_cast<size_t>(count) + 1);
    size_t lines = 0;
    for (DictLine *l = dict_->firstLine; l->next != nullptr; l = l->next, lines++) {
      if (lines >= comments) {
        ASSERT_EQ(l->text, line(static_cast<int>(lines - comments)));
        ASSERT_EQ(l->entry->line, l);
        ASSERT_EQ(l->entry->flags, 2u);
      }
    }
    EXPECT_EQ(lines, comments + static_cast<size_t>(count));
    // A CR without its LF is data.
    EXPECT_STREQ(dict_->lastLine->text, "last = x\r");
    for (int i = 0; i < count; i += 997) {
      EXPECT_EQ(Value(("DISK" + std::to_string(i) + ".FILENAME").c_str()),
                "image-" + std::to_string(i * 7) + ".bxdk");
    }
    // A name that differs only past the hashed words is another name.
    EXPECT_EQ(Value("disk1.fileName2"), "<none>");
  }
}

}  // namespace
