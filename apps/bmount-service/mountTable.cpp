// The mount table's text form, one mount a line, the next id last:
//   mount id=<n> volume=<v> offset=<byte> length=<bytes> letter=<l> backend=<name>
//         [loop=<n> mounted=<0|1>] [daemon=<pid>,<name>] disk=<path>
//   nextId=<n>
// The disk path comes last and runs to the end of the line; paths holding a
// line break never get this far (the service refuses them). The next id
// closes the table, so a table cut short anywhere, even between two lines,
// reads as damaged. (Tables of earlier versions name the next id first.)
#include "mountTable.h"

#include <algorithm>
#include <charconv>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "host/lastError.h"
#include "host/stateFile.h"
#include "storageDaemon.h"
#include "string/str.h"

namespace {

constexpr size_t kMaxTableBytes = 16 << 20;
const char kHeader[] = "# bmount-service mount table\n";

// Splits "key=value" fields up to "disk=", which takes the rest of the line.
bool ParseMountLine(const std::string &line, MountRecord *r, std::string *why) {
  size_t pos = strlen("mount ");
  bool haveId = false, haveVolume = false, haveOffset = false, haveLength = false;
  bool haveLetter = false, haveDisk = false;
  while (pos < line.size()) {
    size_t eq = line.find('=', pos);
    if (eq == std::string::npos) {
      *why = "field without a value";
      return false;
    }
    std::string key = line.substr(pos, eq - pos);
    if (key == "disk") {
      r->disk = line.substr(eq + 1);
      haveDisk = !r->disk.empty();
      break;
    }
    size_t end = line.find(' ', eq + 1);
    if (end == std::string::npos) {
      end = line.size();
    }
    std::string value = line.substr(eq + 1, end - eq - 1);
    uint64_t v = 0;
    DaemonRecord daemon;
    if (key == "id" && ReadDecimal(value, INT32_MAX, &v) && v > 0) {
      r->id = static_cast<int32_t>(v);
      haveId = true;
    } else if (key == "volume" && ReadDecimal(value, INT32_MAX, &v) && v > 0) {
      r->volume = static_cast<int32_t>(v);
      haveVolume = true;
    } else if (key == "offset" && ReadDecimal(value, UINT64_MAX, &v)) {
      r->offset = v;
      haveOffset = true;
    } else if (key == "length" && ReadDecimal(value, UINT64_MAX, &v)) {
      r->length = v;
      haveLength = true;
    } else if (key == "letter" && value.size() == 1 && value[0] >= 'a' && value[0] <= 'z') {
      r->letter = value[0];
      haveLetter = true;
    } else if (key == "backend" && !value.empty()) {
      r->backend = value;
    } else if (key == "loop" && ReadDecimal(value, INT32_MAX, &v)) {
      r->loop = static_cast<int32_t>(v);
    } else if (key == "mounted" && (value == "0" || value == "1")) {
      r->mounted = value == "1";
    } else if (key == "daemon" && DaemonRecord_Parse(value, &daemon)) {
      r->daemon = value;
    } else {
      *why = "bad field \"" + key + "\"";
      return false;
    }
    pos = end + 1;
  }
  if (!(haveId && haveVolume && haveOffset && haveLength && haveLetter && haveDisk)) {
    *why = "missing field";
    return false;
  }
  if (r->backend.empty()) {
    r->backend = "record";
  }
  return true;
}

}  // namespace

bool ReadDecimal(std::string_view text, uint64_t max, uint64_t *value) {
  const char *end = text.data() + text.size();
  uint64_t v = 0;
  auto [stop, error] = std::from_chars(text.data(), end, v);
  if (error != std::errc() || stop != end || v > max) {
    return false;
  }
  *value = v;
  return true;
}

bool MountTable::Create(MountRecord *record) {
  if (nextId_ == INT32_MAX) {
    return false;
  }
  record->id = nextId_++;
  record->letter = 0;
  record->diskLocked = false;
  records_[record->id] = *record;
  return true;
}

MountRecord *MountTable::Find(int32_t id) {
  auto it = records_.find(id);
  return it == records_.end() ? nullptr : &it->second;
}

void MountTable::Erase(int32_t id) { records_.erase(id); }

std::vector<const MountRecord *> MountTable::Attached() const {
  std::vector<const MountRecord *> out;
  for (const auto &entry : records_) {
    if (entry.second.letter != 0) {
      out.push_back(&entry.second);
    }
  }
  return out;
}

std::vector<MountRecord *> MountTable::Attached() {
  std::vector<MountRecord *> out;
  for (auto &entry : records_) {
    if (entry.second.letter != 0) {
      out.push_back(&entry.second);
    }
  }
  return out;
}

bool MountTable::Restore(const MountRecord &record) {
  if (record.id <= 0 || records_.count(record.id) != 0) {
    return false;
  }
  for (const MountRecord *other : Attached()) {
    if (other->letter == record.letter) {
      return false;
    }
  }
  records_[record.id] = record;
  KeepNextIdAbove(record.id);
  return true;
}

void MountTable::KeepNextIdAbove(int32_t id) {
  if (id >= nextId_) {
    nextId_ = id == INT32_MAX ? INT32_MAX : id + 1;
  }
}

std::string MountTable::Format() const {
  std::string text = kHeader;
  for (const MountRecord *r : Attached()) {
    text += "mount id=" + std::to_string(r->id) + " volume=" + std::to_string(r->volume) +
            " offset=" + std::to_string(r->offset) + " length=" + std::to_string(r->length) +
            " letter=" + std::string(1, r->letter) + " backend=" + r->backend;
    if (r->loop >= 0) {
      text += " loop=" + std::to_string(r->loop) + " mounted=" + (r->mounted ? "1" : "0");
    }
    if (!r->daemon.empty()) {
      text += " daemon=" + r->daemon;
    }
    text += " disk=" + r->disk + "\n";
  }
  text += "nextId=" + std::to_string(nextId_) + "\n";
  return text;
}

void MountTable::Parse(const std::string &text, std::vector<std::string> *problems) {
  records_.clear();
  nextId_ = 1;
  int32_t next = 1;
  int lineNumber = 0;
  bool haveNextId = false;
  std::vector<std::string_view> lines = Str_SplitLines(text);
  for (std::string_view view : lines) {
    std::string line(view);
    lineNumber++;
    std::string why;
    if (line.empty() || line[0] == '#') {
      continue;
    }
    if (static_cast<size_t>(lineNumber) == lines.size() && text.back() != '\n') {
      why = "cut short";  // every line the table writes ends with a line feed
    } else if (line.compare(0, 7, "nextId=") == 0) {
      uint64_t v = 0;
      if (ReadDecimal(line.substr(7), INT32_MAX, &v) && v > 0) {
        next = std::max(next, static_cast<int32_t>(v));
        haveNextId = true;
        continue;
      }
      why = "bad next id";
    } else if (line.compare(0, 6, "mount ") == 0) {
      MountRecord r;
      if (ParseMountLine(line, &r, &why)) {
        bool letterTaken = false;
        for (const MountRecord *other : Attached()) {
          letterTaken = letterTaken || other->letter == r.letter;
        }
        if (records_.count(r.id) != 0) {
          why = "duplicate id " + std::to_string(r.id);
        } else if (letterTaken) {
          why = std::string("duplicate drive letter ") + r.letter;
        } else {
          records_[r.id] = r;
          if (r.id >= next) {
            next = r.id == INT32_MAX ? INT32_MAX : r.id + 1;
          }
          continue;
        }
      }
    } else {
      why = "unknown line";
    }
    if (problems != nullptr) {
      problems->push_back("line " + std::to_string(lineNumber) + ": " + why);
    }
  }
  nextId_ = next;
  if (!haveNextId && problems != nullptr) {
    problems->push_back("no next id: the table was cut short");
  }
}

int MountTable::Save(const std::string &path, bool flush) const {
  std::string text = Format();
  return flush ? HostState_WriteFile(path.c_str(), text.data(), text.size())
               : HostState_ReplaceFile(path.c_str(), text.data(), text.size());
}

int MountTable::Load(const std::string &path, std::vector<std::string> *problems) {
  records_.clear();
  nextId_ = 1;
  char *data = nullptr;
  size_t length = 0;
  int rc = HostState_ReadFile(path.c_str(), kMaxTableBytes, &data, &length);
  if (rc != 0) {
    return rc;
  }
  Parse(std::string(data, length), problems);
  free(data);
  return 0;
}
