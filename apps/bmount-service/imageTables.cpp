#include "imageTables.h"

#include <algorithm>
#include <cstring>

#include "host/fs.h"

int ImageLayout::Kind(const char *name, uint64_t length, bool numbered) {
  kinds_.push_back({name, length, numbered});
  return static_cast<int>(kinds_.size() - 1);
}

void ImageLayout::Add(int kind, uint64_t at, uint64_t n) {
  spans_.push_back({at, static_cast<uint32_t>(kind), static_cast<uint32_t>(n)});
}

void ImageLayout::Structure(const char *name, uint64_t at, uint64_t length) {
  Add(Kind(name, length, false), at);
}

std::string ImageLayout::Name(const Span &s) const {
  const Kinded &k = kinds_[s.kind];
  return k.numbered ? std::string(k.name) + " " + std::to_string(s.n) : std::string(k.name);
}

std::string ImageLayout::Fault() {
  for (const Span &s : spans_) {
    uint64_t length = kinds_[s.kind].length;
    if (s.at > end_ || end_ - s.at < length) {
      return Name(s) + " lies past its end";
    }
  }
  // Structures before blocks at one place, then blocks by number: the later
  // is said to lie over the earlier.
  auto numbered = [this](const Span &s) { return kinds_[s.kind].numbered; };
  std::sort(spans_.begin(), spans_.end(), [&](const Span &a, const Span &b) {
    if (a.at != b.at) return a.at < b.at;
    if (numbered(a) != numbered(b)) return !numbered(a);
    return a.n < b.n;
  });
  const Span *reach = nullptr;  // of those before, the one that ends last
  for (const Span &s : spans_) {
    if (reach != nullptr && reach->at + kinds_[reach->kind].length > s.at &&
        kinds_[s.kind].length > 0) {
      // A block is what lies over a structure, whichever starts first.
      bool swap = numbered(*reach) && !numbered(s);
      return Name(swap ? *reach : s) + " lies over " + Name(swap ? s : *reach);
    }
    if (reach == nullptr || s.at + kinds_[s.kind].length > reach->at + kinds_[reach->kind].length) {
      reach = &s;
    }
  }
  return "";
}

uint64_t ImageLayout::Last() const {
  uint64_t last = 0;
  for (const Span &s : spans_) last = std::max(last, s.at + kinds_[s.kind].length);
  return last;
}

bool ImageTables_Read(int file, void *buf, size_t size, uint64_t offset) {
  auto *at = static_cast<unsigned char *>(buf);
  for (long n = 0; size > 0; at += n, offset += n, size -= n) {
    n = HostFile_ReadAt(file, at, size, offset);
    if (n <= 0) {
      return false;
    }
  }
  return true;
}

uint64_t ImageTables_BigEndian(const unsigned char *bytes, int count) {
  uint64_t v = 0;
  for (int i = 0; i < count; i++) v = v << 8 | bytes[i];
  return v;
}

uint64_t ImageTables_LittleEndian(const unsigned char *bytes, int count) {
  uint64_t v = 0;
  for (int i = count; i-- > 0;) v = v << 8 | bytes[i];
  return v;
}

bool ImageTables_Entries(int file, uint64_t offset, uint64_t count, int width,
                         const std::function<bool(uint64_t, uint64_t)> &each) {
  std::vector<unsigned char> chunk(64 << 10);
  const uint64_t perChunk = chunk.size() / width;
  for (uint64_t i = 0; i < count; i++) {
    size_t in = (i % perChunk) * width;
    if (in == 0 && !ImageTables_Read(file, chunk.data(), std::min(perChunk, count - i) * width,
                                     offset + i * width)) {
      return false;
    }
    if (!each(i, ImageTables_LittleEndian(&chunk[in], width))) break;
  }
  return true;
}

namespace {

struct OwnCheck {
  const char *format;
  bool qemuImgToo;  // qemu-img check looks at it first
  ImageProblem (*check)(const ImageLayer &layer, int file, uint64_t size, std::string *reason);
};

// qemu-img has no check for a VHD; its check of a vmdk misses collisions.
constexpr OwnCheck kChecks[] = {
    {"vpc", false, ImageTables_CheckVhd},
    {"vmdk", true, ImageTables_CheckVmdk},
    {"vdi", true, ImageTables_CheckVdi},
    {"parallels", true, ImageTables_CheckParallels},
    {"vhdx", true, ImageTables_CheckVhdx},
};

const OwnCheck *Find(const std::string &format) {
  for (const OwnCheck &c : kChecks) {
    if (format == c.format) return &c;
  }
  return nullptr;
}

}  // namespace

bool ImageTables_Checks(const std::string &format, bool *qemuImgToo) {
  const OwnCheck *c = Find(format);
  if (qemuImgToo != nullptr) *qemuImgToo = c == nullptr || c->qemuImgToo;
  return c != nullptr;
}

ImageProblem ImageTables_Check(const ImageLayer &layer, int file, uint64_t size,
                               std::string *reason) {
  const OwnCheck *c = Find(layer.format);
  return c != nullptr ? c->check(layer, file, size, reason) : ImageProblem::None;
}
