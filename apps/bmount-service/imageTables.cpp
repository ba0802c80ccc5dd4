#include "imageTables.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <optional>

#include "host/fs.h"

int ImageLayout::Kind(const char *name, uint64_t length, bool numbered) {
  kinds_.push_back({name, length, numbered});
  return static_cast<int>(kinds_.size() - 1);
}

void ImageLayout::Add(int kind, uint64_t at, uint64_t n) {
  // Blocks at whole sectors, as every format places them, take half the room:
  // an image's millions of them are sorted in memory.
  if (at % 512 == 0 && (at >> 9) <= UINT32_MAX && n <= UINT32_MAX) {
    packed_.resize(std::max(packed_.size(), static_cast<size_t>(kind) + 1));
    packed_[kind].push_back({static_cast<uint32_t>(at >> 9), static_cast<uint32_t>(n)});
  } else {
    spans_.push_back({at, static_cast<uint32_t>(kind), n});
  }
}

void ImageLayout::Structure(const char *name, uint64_t at, uint64_t length) {
  Add(Kind(name, length, false), at);
}

ImageLayout::Span ImageLayout::Unpacked(uint32_t kind, const Packed &p) {
  return {uint64_t{p.sector} << 9, kind, p.n};
}

std::string ImageLayout::Name(const Span &s) const {
  const Kinded &k = kinds_[s.kind];
  return k.numbered ? std::string(k.name) + " " + std::to_string(s.n) : std::string(k.name);
}

std::string ImageLayout::Fault() {
  auto past = [this](uint64_t at, uint32_t kind) {
    return at > end_ || end_ - at < kinds_[kind].length;
  };
  for (const Span &s : spans_) {
    if (past(s.at, s.kind)) return Name(s) + " lies past its end";
  }
  for (uint32_t k = 0; k < packed_.size(); k++) {
    for (const Packed &p : packed_[k]) {
      if (Span u = Unpacked(k, p); past(u.at, k)) return Name(u) + " lies past its end";
    }
  }
  // Structures before blocks at one place, then blocks by number: the later
  // is said to lie over the earlier.
  auto numbered = [this](const Span &s) { return kinds_[s.kind].numbered; };
  auto before = [&](const Span &a, const Span &b) {
    if (a.at != b.at) return a.at < b.at;
    if (numbered(a) != numbered(b)) return !numbered(a);
    return a.n < b.n;
  };
  std::sort(spans_.begin(), spans_.end(), before);
  for (std::vector<Packed> &kind : packed_) {
    std::sort(kind.begin(), kind.end(), [](const Packed &a, const Packed &b) {
      return a.sector != b.sector ? a.sector < b.sector : a.n < b.n;
    });
  }
  // The places of all, merged in that order.
  std::vector<size_t> next(packed_.size() + 1, 0);
  auto take = [&](Span *s) {
    bool found = false;
    size_t from = 0;
    for (size_t k = 0; k <= packed_.size(); k++) {
      Span candidate;
      if (k == packed_.size()) {
        if (next[k] == spans_.size()) continue;
        candidate = spans_[next[k]];
      } else {
        if (next[k] == packed_[k].size()) continue;
        candidate = Unpacked(static_cast<uint32_t>(k), packed_[k][next[k]]);
      }
      if (!found || before(candidate, *s)) {
        *s = candidate;
        from = k;
        found = true;
      }
    }
    if (found) next[from]++;
    return found;
  };
  std::optional<Span> reach;  // of those before, the one that ends last
  for (Span s; take(&s);) {
    if (reach && reach->at + kinds_[reach->kind].length > s.at && kinds_[s.kind].length > 0) {
      // A block is what lies over a structure, whichever starts first.
      bool swap = numbered(*reach) && !numbered(s);
      return Name(swap ? *reach : s) + " lies over " + Name(swap ? s : *reach);
    }
    if (!reach || s.at + kinds_[s.kind].length > reach->at + kinds_[reach->kind].length) {
      reach = s;
    }
  }
  return "";
}

ImageProblem ImageTables_Damaged(std::string *reason, std::string what) {
  *reason = std::move(what);
  return ImageProblem::Damaged;
}

ImageProblem ImageTables_Unread(std::string *reason, std::string what) {
  *reason = std::move(what);
  return ImageProblem::Tool;
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

// qemu-img has no check for a VHD; its checks of the others miss collisions.
constexpr OwnCheck kChecks[] = {
    {"vpc", false, ImageTables_CheckVhd},  {"vmdk", true, ImageTables_CheckVmdk},
    {"vdi", true, ImageTables_CheckVdi},   {"parallels", true, ImageTables_CheckParallels},
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
