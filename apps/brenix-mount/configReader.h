// The configurations of a disk's folder, read and looked at in their scan's
// order. A folder of many machines is read ahead on other processors: each
// configuration there is read, and its snapshot reader asked, while the scan
// takes the ones before. What says something (a message, a warning) there is
// done again by the scan in its turn, so that the output stays in order.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

// A configuration as the scan needs it.
struct ConfigFiles {
  std::string text;   // as read
  std::string lower;  // lower-cased, same offsets; for a version below 8
  int version = 0;    // 0 when it has none
  // A version-8 one's answer from the snapshot reader: whether the machine
  // uses the disk, and the reader's result code.
  bool answered = false;
  bool used = false;
  int snapshotResult = 0;
};

// The version a configuration's text declares: the number of its first
// "config", any byte, "version" (letters in either case), blanks, "=",
// blanks and a run of digits in quotes; INT_MAX when larger, 0 when there is
// none.
int ConfigVersionOf(std::string_view text);

// Completes the files of the configuration at path just read. Runs on the
// readers' threads, which hold back every message, as on the scan's.
using ConfigPrepare = std::function<void(const std::string &path, ConfigFiles &files)>;

class ConfigReader {
 public:
  ConfigReader(std::vector<std::string> paths, ConfigPrepare prepare);
  ~ConfigReader();
  ConfigReader(const ConfigReader &) = delete;
  ConfigReader &operator=(const ConfigReader &) = delete;

  // Sets *files to those of the i-th path; i goes up from 0 by one. Returns
  // 0, or the error when the configuration is no regular file, is larger
  // than the bound of files looked at (EFBIG), or cannot be read.
  int Take(size_t i, ConfigFiles *files);
  size_t Count() const { return paths_.size(); }
  const std::string &Path(size_t i) const { return paths_[i]; }

 private:
  struct Slot {
    ConfigFiles files;
    bool done = false;  // else the scan reads and prepares it
  };
  void ReadAhead();
  // Takes the next chunk, and reads and prepares it holding back what it
  // says; hold is locked before and after.
  void ReadNextChunk(std::unique_lock<std::mutex> &hold);

  std::vector<std::string> paths_;
  ConfigPrepare prepare_;
  std::unique_ptr<Slot[]> slots_;
  // The readers take the paths a chunk at a time, so that they and the scan
  // meet once a chunk. All below but the threads is guarded by lock_.
  std::mutex lock_;
  std::condition_variable changed_;
  size_t nextChunk_ = 0;         // the next chunk a reader takes
  size_t takenChunk_ = 0;        // the chunk the scan is at; readers stay near
  std::vector<bool> chunkRead_;  // by the readers
  size_t readyBelow_ = 0;        // the scan's own: every chunk below is read
  bool stop_ = false;
  std::vector<std::thread> readers_;
};
