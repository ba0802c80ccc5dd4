#include "configReader.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <system_error>
#include <utility>

#include "host/descriptor.h"
#include "host/fs.h"
#include "host/lastError.h"
#include "host/lookup.h"
#include "host/system.h"
#include "host/text.h"
#include "user/commonState.h"
#include "user/dictionary.h"
#include "user/msg.h"

namespace {

// Below this many configurations the thread costs more than it saves (at
// 100, 4 to 8% more time; at 200, even or less).
constexpr size_t kReadAheadFrom = 200;
// Paths a reader takes at once, how many such chunks the readers may be
// ahead of the scan, and the largest file they read: together they bound
// what waits in memory. A larger file, and one that fails, is read by the
// scan itself.
constexpr size_t kChunk = 8;
constexpr size_t kAhead = 8;
constexpr long long kAheadFileLimit = 128 << 10;
// Beside the scan, which reads too: a second reader on two processors cost
// more processor time and gained nothing.
constexpr int kMaxReaders = 1;

// Reads the regular file at path whole into *bytes. Returns 0, or the error:
// EFBIG when it holds more than limit bytes.
int ReadWhole(const std::string &path, long long limit, std::string *bytes) {
  long long size = 0;
  HostFd fd(HostFile_OpenRegular(path.c_str(), &size));
  if (!fd.Valid()) return Host_GetLastError();
  if (size > limit) return EFBIG;
  // Not a string of that size: filling it with zeros first cost more than
  // the copy.
  std::unique_ptr<char[]> buffer(new char[static_cast<size_t>(size)]);
  size_t done = 0;
  while (done < static_cast<size_t>(size)) {
    long n = HostFile_Read(fd.Get(), buffer.get() + done, static_cast<size_t>(size) - done);
    if (n < 0) return Host_GetLastError();
    if (n == 0) break;  // the file shrank meanwhile
    done += static_cast<size_t>(n);
  }
  bytes->assign(buffer.get(), done);
  return 0;
}

// The blanks of the classic locale.
bool IsBlank(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Whether p[0, n) is lower (lower-case) but for the case of its letters.
bool EqualsNoCase(const char *p, const char *lower, size_t n) {
  for (size_t i = 0; i < n; i++) {
    if (HostText_LowerAscii(p[i]) != lower[i]) return false;
  }
  return true;
}

// The version of the declaration that starts at p, or -1 when none does.
long long VersionAt(const char *p, const char *end) {
  constexpr size_t kName = sizeof "config.version" - 1;
  if (static_cast<size_t>(end - p) < kName || !EqualsNoCase(p, "config", 6) ||
      !EqualsNoCase(p + 7, "version", 7)) {
    return -1;
  }
  p += kName;
  while (p < end && IsBlank(*p)) p++;
  if (p == end || *p++ != '=') return -1;
  while (p < end && IsBlank(*p)) p++;
  if (p == end || *p++ != '"') return -1;
  const char *digits = p;
  long long version = 0;
  for (; p < end && IsDigit(*p); p++) {
    if (version <= INT_MAX) version = version * 10 + (*p - '0');
  }
  if (p == digits || p == end || *p != '"') return -1;
  return std::min<long long>(version, INT_MAX);
}

}  // namespace

// Every configuration is asked: a plain scan costs a small part of a
// pattern's search.
int ConfigVersionOf(std::string_view text) {
  const char *end = text.data() + text.size();
  for (const char *p = text.data(); p < end; p++) {
    if (HostText_LowerAscii(*p) != 'c') continue;
    if (long long version = VersionAt(p, end); version >= 0) return static_cast<int>(version);
  }
  return 0;
}

ConfigReader::ConfigReader(std::vector<std::string> paths, ConfigPrepare prepare)
    : paths_(std::move(paths)), prepare_(std::move(prepare)), slots_(new Slot[paths_.size()]) {
  if (paths_.size() < kReadAheadFrom) return;
  int processors = HostSystem_ProcessorCount();
  if (processors < 2) return;
  chunkRead_.assign((paths_.size() + kChunk - 1) / kChunk, false);
  int readers = std::min(processors - 1, kMaxReaders);
  readers_.reserve(static_cast<size_t>(readers));  // no thread may be left unjoined by a throw
  for (int i = 0; i < readers; i++) {
    try {
      readers_.emplace_back([this] { ReadAhead(); });
    } catch (const std::system_error &) {
      break;  // the readers there are do the work; none, and the scan does it
    }
  }
}

ConfigReader::~ConfigReader() {
  {
    std::lock_guard<std::mutex> hold(lock_);
    stop_ = true;
  }
  changed_.notify_all();
  for (std::thread &reader : readers_) reader.join();
}

void ConfigReader::ReadAhead() {
  CommonState_Init();
  std::unique_lock<std::mutex> hold(lock_);
  for (;;) {
    changed_.wait(hold, [this] { return stop_ || nextChunk_ < takenChunk_ + kAhead; });
    if (stop_ || nextChunk_ == chunkRead_.size()) break;
    ReadNextChunk(hold);
  }
  hold.unlock();
  Msg_Exit();
  CommonState_Exit();
}

void ConfigReader::ReadNextChunk(std::unique_lock<std::mutex> &hold) {
  size_t chunk = nextChunk_++;
  hold.unlock();
  bool held = Msg_HoldBack(true);
  size_t end = std::min(paths_.size(), (chunk + 1) * kChunk);
  for (size_t i = chunk * kChunk; i < end; i++) {
    Slot &slot = slots_[i];
    try {
      slot.done = ReadWhole(paths_[i], kAheadFileLimit, &slot.files.text) == 0;
      if (slot.done) prepare_(paths_[i], slot.files);
    } catch (...) {
      slot.done = false;  // the scan meets it again in its turn
    }
  }
  Msg_HoldBack(held);
  hold.lock();
  chunkRead_[chunk] = true;
  changed_.notify_all();
}

int ConfigReader::Take(size_t i, ConfigFiles *files) {
  Slot &slot = slots_[i];
  size_t chunk = i / kChunk;
  if (!readers_.empty() && chunk >= readyBelow_) {
    std::unique_lock<std::mutex> hold(lock_);
    takenChunk_ = chunk;
    changed_.notify_all();
    // Rather than wait, the scan reads the next chunk itself.
    while (!chunkRead_[chunk]) {
      if (nextChunk_ < chunkRead_.size() && nextChunk_ < chunk + kAhead) {
        ReadNextChunk(hold);
      } else {
        changed_.wait(hold);
      }
    }
    readyBelow_ = chunk + 1;
  }
  if (!slot.done) {
    slot.files = ConfigFiles();
    // As the snapshot reader bounds what it holds of another program's file.
    int error = ReadWhole(paths_[i], DICT_LOAD_BOUND, &slot.files.text);
    if (error != 0) return error;
    prepare_(paths_[i], slot.files);
  }
  *files = std::move(slot.files);
  return 0;
}
