// Loading dictionary files: what is kept (entries, lines, flags), duplicates,
// syntax and read errors with their appended messages, the stat, directory
// and open failures (sockets, FIFOs, devices) that leave the dictionary as it
// was, standard input, and a line too long for the memory.
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "falseWarnings.h"
#include "misc/panic.h"
#include "testSupport.h"
#include "user/dictionary.h"
#include "user/msg.h"

namespace {

using namespace std::string_literals;

void FailOnPost(int, const char *text, const char *) { ADD_FAILURE() << "posted: " << text; }

struct DictDeleter {
  void operator()(Dictionary *d) const { Dictionary_Free(d); }
};

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
    char *v = Dict_GetString(dict_.get(), "<none>", "%s", name);
    std::string s = v != nullptr ? v : "<null>";
    free(v);
    return s;
  }
  std::vector<std::string> Names() {
    std::vector<std::string> names;
    for (DictEntry *e = dict_->firstEntry; e != nullptr; e = e->next) names.push_back(e->name);
    return names;
  }
  std::vector<std::string> Lines() {
    std::vector<std::string> lines;
    for (DictLine *l = dict_->firstLine; l != nullptr; l = l->next) lines.push_back(l->text);
    return lines;
  }
  testsupport::TempDir dir_;
  std::unique_ptr<Dictionary, DictDeleter> dict_{Dictionary_Create()};
};

TEST_F(DictionaryLoadTest, KeepsEntriesAndLinesInFileOrder) {
  std::string path = Write(
      "# VM\n"
      "config.version = \"8\"\r\n"
      "\n"
      "   \t\n"
      "  # indented comment\n"
      "displayName = \"My VM\"  # main\n"
      "x =\n"
      "readOnly = \"\"\n"
      "Name = a|zzb");
  EXPECT_TRUE(Dictionary_Load(dict_.get(), path.c_str(), 18));
  EXPECT_STREQ(Msg_GetMessages(), "");
  EXPECT_EQ(Names(),
            (std::vector<std::string>{"config.version", "displayName", "x", "readOnly", "Name"}));
  EXPECT_EQ(Lines(),
            (std::vector<std::string>{"# VM", "config.version = \"8\"", "", "   \t",
                                      "  # indented comment", "displayName = \"My VM\"  # main",
                                      "x =", "readOnly = \"\"", "Name = a|zzb"}));
  // Entries tied to their lines, with the load's flags, are the fuzzer's to check.
  EXPECT_EQ(dict_->firstLine->entry, nullptr);
  EXPECT_EQ(Value("config.version"), "8");
  EXPECT_EQ(Value("DISPLAYNAME"), "My VM");
  EXPECT_EQ(Value("x"), "");
  EXPECT_EQ(Value("name"), "a|zzb");
  EXPECT_TRUE(Dict_GetBool(dict_.get(), false, "readOnly"));
}

GCC_FALSE_RESTRICT_BEGIN
TEST_F(DictionaryLoadTest, TextInHandLoadsAsItsFileWould) {
  std::string file = "a = 1\nb = 2\nA = 3\nc = \"" + std::string(100000, 'v') + "\"";
  std::string path = Write(file);
  EXPECT_FALSE(Dictionary_Load(dict_.get(), path.c_str(), 0));
  std::string messages = Msg_GetMessages();
  std::vector<std::string> names = Names();
  std::vector<std::string> lines = Lines();
  Msg_Reset(false);
  // The text differs from the file in a value: the text is what is read.
  std::string text = "a = 7" + file.substr(5);
  EXPECT_FALSE(Dictionary_LoadText(dict_.get(), path.c_str(), text.data(), text.size(), 0));
  EXPECT_EQ(Msg_GetMessages(), messages);
  EXPECT_EQ(Names(), names);
  EXPECT_EQ(Lines().size(), lines.size());
  EXPECT_EQ(Dict_GetInt(dict_.get(), 0, "a"), 7);
  EXPECT_EQ(dict_->loadFileName, nullptr);
  Msg_Reset(false);
  // No text at all: the file is read.
  EXPECT_FALSE(Dictionary_LoadText(dict_.get(), path.c_str(), "", 0, 0));
  EXPECT_EQ(Dict_GetInt(dict_.get(), 0, "a"), 1);
}

// A load for reading only keeps no lines and cuts names and values out of
// its copy of the text: entries, values, result and messages stay the same.
TEST_F(DictionaryLoadTest, ReadOnlyLoadGivesTheSameEntries) {
  const std::string texts[] = {
      "# VM\nconfig.version = \"8\"\r\n\n  x=1\ty = \"\" # c\n",
      "a = \"q|22uote|7C\"\nb = bare|20value # note\nc=\"\"\nd = \"x\"",
      "a = 1\nb = 2\nA = 3\nB = \"4\"\nc = 5\n",
      "a = 1\nb = \"2\"\n[section]\nc = 3\n",
      "n = \"v\"\0rest = 1\nm = \"w\" # \0\nk = \"unclosed\n",
      "a = 1\na = \"|zz\"\nb = \"|41\"\n",
  };
  // From the text in hand, or with no text from the file.
  auto load = [&](const std::string &text, int flags, bool fromFile = false) {
    std::string path = Write(text);
    Msg_Reset(false);
    bool ok = fromFile
                  ? Dictionary_Load(dict_.get(), path.c_str(), flags)
                  : Dictionary_LoadText(dict_.get(), path.c_str(), text.data(), text.size(), flags);
    std::string seen = std::string(ok ? "ok" : "failed") + "\n" + Msg_GetMessages();
    for (DictEntry *e = dict_->firstEntry; e != nullptr; e = e->next) {
      seen += std::string(e->name) + "=" + Value(e->name) + "/" + std::to_string(e->flags) + "\n";
    }
    return seen;
  };
  for (const std::string &text : texts) {
    std::string kept = load(text, 18);
    EXPECT_NE(dict_->firstLine, nullptr);
    EXPECT_EQ(load(text, 18 | DICT_LOAD_READ_ONLY), kept) << text;
    EXPECT_EQ(dict_->firstLine, nullptr);
    EXPECT_EQ(load(text, 18 | DICT_LOAD_READ_ONLY, true), kept) << text;
    EXPECT_EQ(dict_->firstLine, nullptr);
  }
  Msg_Reset(false);
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

  std::string missing = dir_.file("missing.bxx");
  EXPECT_FALSE(Dictionary_Load(dict_.get(), missing.c_str(), 0));
  EXPECT_EQ(Msg_GetMessages(), "Unable to get information about file \"" + missing +
                                   "\": No such file or directory.\n");
  Msg_Reset(false);

  EXPECT_FALSE(Dictionary_Load(dict_.get(), dir_.path().c_str(), 0));
  EXPECT_EQ(Msg_GetMessages(), "\"" + dir_.path() + "\" is a directory.\n");
  Msg_Reset(false);

  // A socket exists and is no folder, but cannot be opened as a file, not
  // even by the superuser.
  std::string socketPath = dir_.file("sock");
  int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(fd, 0);
  struct sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  ASSERT_LT(socketPath.size(), sizeof address.sun_path);
  memcpy(address.sun_path, socketPath.c_str(), socketPath.size() + 1);
  ASSERT_EQ(bind(fd, reinterpret_cast<struct sockaddr *>(&address), sizeof address), 0);
  EXPECT_FALSE(Dictionary_Load(dict_.get(), socketPath.c_str(), 0));
  EXPECT_EQ(Msg_GetMessages(),
            "Cannot open file \"" + socketPath + "\": No such device or address.\n");
  close(fd);
  // Neither a FIFO, which would block the open, nor a device without end is read.
  std::string fifo = dir_.file("fifo");
  std::string zero = dir_.file("zero");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  ASSERT_EQ(symlink("/dev/zero", zero.c_str()), 0);
  for (const std::string &special : {fifo, zero}) {
    Msg_Reset(false);
    EXPECT_FALSE(Dictionary_Load(dict_.get(), special.c_str(), 0));
    EXPECT_EQ(Msg_GetMessages(), "Cannot open file \"" + special + "\": Invalid argument.\n");
  }
  // Another program's file past the bound is not held, whatever it holds.
  std::string huge = Write("big = 1\n");
  ASSERT_EQ(truncate(huge.c_str(), DICT_LOAD_BOUND + 1), 0);
  Msg_Reset(false);
  EXPECT_FALSE(Dictionary_Load(dict_.get(), huge.c_str(), DICT_LOAD_BOUNDED));
  EXPECT_EQ(Msg_GetMessages(), "Cannot open file \"" + huge + "\": File too large.\n");

  EXPECT_EQ(Dict_GetInt(dict_.get(), 0, "kept"), 42);
  EXPECT_EQ(Names(), (std::vector<std::string>{"kept"}));

  // A load that reads replaces the content; no path only empties.
  std::string path = Write("new = 1\n");
  EXPECT_TRUE(Dictionary_Load(dict_.get(), path.c_str(), 0));
  EXPECT_EQ(Names(), (std::vector<std::string>{"new"}));
  EXPECT_TRUE(Dictionary_Load(dict_.get(), nullptr, 0));
  EXPECT_EQ(dict_->firstEntry, nullptr);
}

// Standard input is replaced inside a child process; the child reports
// mismatches on standard error and exits with 0 only when all is well.
[[noreturn]] void LoadStdinChild(const std::string &inputPath, const char *mode, bool wantResult,
                                 const std::string &wantMessages) {
  if (freopen(inputPath.c_str(), mode, stdin) == nullptr) _Exit(10);
  Dictionary *d = Dictionary_Create();
  bool ok = Dictionary_Load(d, "-", 0);
  std::string messages = Msg_GetMessages();
  if (ok != wantResult || messages != wantMessages) {
    fprintf(stderr, "result %d, messages: %s", ok, messages.c_str());
    _Exit(1);
  }
  _Exit(0);
}

TEST_F(DictionaryLoadTest, StandardInputAndAReadError) {
  std::string path = Write("a = 1\nfoo\n");
  EXPECT_EXIT(LoadStdinChild(path, "r", false, "File \"<stdin>\" line 2: Syntax error.\n"),
              testing::ExitedWithCode(0), "");
  // A write-only standard input fails on the first read.
  path = dir_.file("sink");
  EXPECT_EXIT(LoadStdinChild(path, "w", false, "File \"<stdin>\" line 0: Bad file descriptor.\n"),
              testing::ExitedWithCode(0), "");
}

#if defined(__SANITIZE_ADDRESS__)
#define BRENIX_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define BRENIX_ASAN 1
#endif
#endif

TEST_F(DictionaryLoadTest, LineLongerThanTheMemoryIsAReadError) {
#ifdef BRENIX_ASAN
  GTEST_SKIP() << "an address-space limit cannot be combined with the address sanitizer";
#else
  // One short line, then 1 GiB of NUL bytes without a LF (a sparse file), read
  // in a child limited to 256 MiB of address space.
  std::string path = Write("a = 1\n");
  std::filesystem::resize_file(path, (uint64_t{1} << 30) + 6);
  auto child = [&path]() {
    struct rlimit limit = {uint64_t{256} << 20, uint64_t{256} << 20};
    if (setrlimit(RLIMIT_AS, &limit) != 0) _Exit(10);
    Dictionary *d = Dictionary_Create();
    bool ok = Dictionary_Load(d, path.c_str(), 0);
    std::string want = "File \"" + path + "\" line 1: Cannot allocate memory.\n";
    if (ok || Msg_GetMessages() != want || !Dictionary_IsDefined(d, "a")) {
      fprintf(stderr, "result %d, messages: %s", ok, Msg_GetMessages());
      _Exit(1);
    }
    _Exit(0);
  };
  EXPECT_EXIT(child(), testing::ExitedWithCode(0), "");
#endif
}

}  // namespace

// A large file's assignments are indexed a few lines after they are read, a
// small file's at once: duplicates close together or far apart, and a syntax
// error right behind them, must still come out in file order with their own
// line numbers, either way.
GCC_FALSE_RESTRICT_BEGIN
TEST_F(DictionaryLoadTest, DuplicatesNearAndFarThenASyntaxError) {
  std::string text = "a = 1\nA = 2\n";
  for (int i = 0; i < 20; i++) text += "k" + std::to_string(i) + " = " + std::to_string(i) + "\n";
  text += "K3 = x\n# note\nb = 1\n[section]\nc = 1\n";
  for (size_t padding : {size_t{0}, size_t{2} << 20}) {
    Msg_Reset(false);
    std::string path = Write(text + std::string(padding, '#'));
    EXPECT_FALSE(Dictionary_Load(dict_.get(), path.c_str(), 0));
    EXPECT_EQ(Msg_GetMessages(), "File \"" + path +
                                     "\" line 2: Variable `A' is already defined.\n" + "File \"" +
                                     path + "\" line 23: Variable `K3' is already defined.\n" +
                                     "File \"" + path + "\" line 26: Syntax error.\n");
    std::vector<std::string> names = Names();
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
}

// A file large enough to have its storage filled in ahead by a helper: a
// first piece of comments only, so that the name index is sized too small
// and grows many times while the helper works. Lines end in CR LF and
// straddle the pieces the file is read in; every name reads back in any
// letter case, and every line comes back intact.
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
