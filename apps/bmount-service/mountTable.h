// The mount table: every mount the service knows, by id. Ids are handed out
// in increasing order and never reused by one table, even across restarts,
// because the next id is saved with the table. Only attached mounts are
// saved; a mount that was created but never attached lives in memory only.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

// Reads all of text as a decimal number of at most max: no sign, no blank,
// not empty. False (and *value untouched) for anything else.
bool ReadDecimal(std::string_view text, uint64_t max, uint64_t *value);

struct MountRecord {
  int32_t id = 0;
  std::string disk;     // the disk path as the client gave it
  int32_t volume = 0;   // counted from 1
  uint64_t offset = 0;  // first byte of the volume
  uint64_t length = 0;  // bytes
  char letter = 0;      // lower-case drive letter while attached, else 0
  std::string backend;  // what attached it
  // The loop backend's part, saved with the record: the loop device number
  // (-1: none) and whether its file system is mounted at bmount/mnt/<l>.
  int32_t loop = -1;
  bool mounted = false;
  // For a disk that is not a raw file: the qemu-storage-daemon that presents
  // it as a raw file, "<pid>,<name>" (storageDaemon.h); empty for a raw disk.
  std::string daemon;
  // In memory only: the raw view of such a disk that the backend reads
  // instead of the disk (its daemon's export file), or "" to read the disk.
  std::string view;
  // In memory only: whether this process holds the disk's lock file.
  bool diskLocked = false;
  // In memory only: the service's claimed descriptor on the disk while
  // attached (-1: none), and whether the disk must be attached read-only.
  int diskHandle = -1;
  bool diskReadOnly = false;
};

class MountTable {
 public:
  // Adds a record with the next id (filled in *record). False when the ids
  // are exhausted.
  bool Create(MountRecord *record);
  // The record, or NULL.
  MountRecord *Find(int32_t id);
  void Erase(int32_t id);
  // Attached records in increasing id order.
  std::vector<const MountRecord *> Attached() const;
  std::vector<MountRecord *> Attached();
  int32_t NextId() const { return nextId_; }
  // Adds a record under its own id, found again after the saved table was
  // lost, and keeps the next id above it. False when its id or its letter
  // is taken.
  bool Restore(const MountRecord &record);
  // Makes sure no id up to id is handed out.
  void KeepNextIdAbove(int32_t id);

  // The saved form: the next id and the attached records.
  std::string Format() const;
  // Replaces the contents with a saved form. Lines it cannot understand or
  // that were cut short, and a text without the next id, add a text to
  // *problems (may be NULL); such lines are skipped. The next id never goes below one
  // past the largest id read.
  void Parse(const std::string &text, std::vector<std::string> *problems);

  // Saves atomically: flushed to the disk, or (flush false) safe only from a
  // crash of the process. Returns 0 or a system error code (the file on disk
  // is then the previous one).
  int Save(const std::string &path, bool flush = true) const;
  // Loads the file. Returns 0 or a system error code (ENOENT when there is
  // none); the table is empty on failure.
  int Load(const std::string &path, std::vector<std::string> *problems);

 private:
  std::map<int32_t, MountRecord> records_;
  int32_t nextId_ = 1;
};
