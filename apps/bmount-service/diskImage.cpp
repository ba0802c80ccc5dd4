// Probing a disk file with qemu-img. Each layer gets its own "qemu-img info",
// which opens the one file (and the extent files of a descriptor, which QEMU
// always reads as plain files beside it) but never a parent: the parent's
// name is checked and resolved here, and the parent probed in turn with the
// format its child recorded. A file whose format nobody recorded is probed.
#include "diskImage.h"

#include <algorithm>
#include <csignal>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <set>

#include "host/disk.h"
#include "host/fs.h"
#include "host/lastError.h"
#include "host/lookup.h"
#include "host/process.h"
#include "host/socket.h"
#include "imageTables.h"

namespace {

// One list, in one place: the image formats of QEMU's block layer that carry
// a header of their own. Protocols, network and host-device drivers, filters
// and formats that need secrets (luks) are not on it. Writable ones are
// checked before they are written; qcow (version 1) has no check, and is
// only read.
constexpr ImageFormat kFormats[] = {
    {"bochs", false, false, false},    {"cloop", false, false, false}, {"dmg", false, false, false},
    {"parallels", true, false, false}, {"qcow", false, true, false},   {"qcow2", true, true, false},
    {"qed", true, true, false},        {"vdi", true, false, false},    {"vhdx", true, false, false},
    {"vmdk", true, true, true},        {"vpc", true, false, false},
};

// A chain deeper than this is taken for a loop of names or an attack.
constexpr size_t kMaxLayers = 64;
constexpr size_t kMaxCached = 256;
// QEMU reads no more of a vmdk descriptor than this.
constexpr uint64_t kMaxDescriptor = (1 << 20) - 1;

// What every qemu-img run of one probe may take together: a chain of many
// layers, each with many extent files, must not hold the service for each.
constexpr int kProbeMs = 30000;
// What the check of a disk before writing may take, of the time and of a
// processor: it reads every table, so its time grows with the image's size
// more than with its data (an empty 8 TiB vmdk: 25 s of a busy machine; a
// 6 TiB qcow2 with its tables made in advance: 11 s of a processor). A check
// that cannot end refuses the disk; what another client asks meanwhile
// waits, and its own call may last 60 s in all.
constexpr int kCheckMs = 25000;
constexpr int kCheckCpuSeconds = 25;

HostRunLimits QemuImgLimits(int timeoutMs, int cpuSeconds) {
  HostRunLimits limits;
  // Not tight: opening many extent files, qemu-img runs up to 64 I/O threads,
  // each reserving a stack and a heap arena (about 72 MiB of addresses).
  limits.addressSpace = uint64_t{8} << 30;
  limits.cpuSeconds = cpuSeconds;
  limits.timeoutMs = timeoutMs;
  limits.maxOutput = 4 << 20;
  limits.maxErrors = 16 << 10;
  return limits;
}

std::string Trimmed(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) {
    text.pop_back();
  }
  const std::string prefix = "qemu-img: ";
  if (text.compare(0, prefix.size(), prefix) == 0) {
    text.erase(0, prefix.size());
  }
  return text;
}

// True when QEMU would take name for something else than a file path: a
// "json:" name or a protocol prefix (a colon before the first slash).
bool NotAPlainPath(const std::string &name) {
  if (name.empty()) {
    return true;
  }
  size_t colon = name.find(':');
  return colon != std::string::npos && colon < name.find('/');
}

std::string FolderOf(const std::string &path) {
  size_t slash = path.rfind('/');
  return slash == 0 ? "/" : path.substr(0, slash);
}

// name, as the file at base names it, with base's folder when it is relative.
std::string Joined(const std::string &name, const std::string &base) {
  return name[0] == '/' ? name : FolderOf(base) + "/" + name;
}

// Resolves name, as the file at base names it, to an absolute path with links
// resolved. "" with *problem set when it is no plain path or does not exist.
std::string ResolveName(const std::string &name, const std::string &base, const char *what,
                        ImageProblem *problem, std::string *why) {
  if (NotAPlainPath(name)) {
    *problem = ImageProblem::Unsupported;
    *why = "The disk file " + DiskImage_Quoted(base) + " names its " + what + " " +
           DiskImage_Quoted(name) + ", which is not a plain file path.";
    return "";
  }
  std::string joined = Joined(name, base);
  // The disk names it, but another user may lead the name elsewhere.
  if (HostDisk_ThroughOthersLink(joined.c_str())) {
    *problem = ImageProblem::Unsupported;
    *why = "The " + std::string(what) + " " + DiskImage_Quoted(joined) + " of the disk file " +
           DiskImage_Quoted(base) +
           " is reached through a symbolic link of another user's, to a file that is not theirs.";
    return "";
  }
  char *real = HostFs_RealPath(joined.c_str());
  if (real == nullptr || !HostFs_IsRegularFile(real)) {
    free(real);
    *problem = ImageProblem::Missing;
    *why = "The " + std::string(what) + " " + DiskImage_Quoted(joined) + " of the disk file " +
           DiskImage_Quoted(base) + " is missing or is not a regular file.";
    return "";
  }
  std::string resolved = real;
  free(real);
  return resolved;
}

// Reads [offset, offset + length) of file into text, up to its first zero
// byte, which ends a padded descriptor.
std::string ReadText(int file, uint64_t offset, size_t length) {
  std::string text(length, '\0');
  size_t got = 0;
  for (long n = 1; file != HOSTFILE_INVALID && n > 0 && got < length; got += n) {
    n = std::max(HostFile_ReadAt(file, text.data() + got, length - got, offset + got), 0L);
  }
  text.resize(strnlen(text.data(), got));
  return text;
}

// The descriptor whose extents QEMU opens for a vmdk file: a text file's
// first MiB, or the one a sparse file's header points to when the header
// declares no capacity (otherwise the file is its own one extent).
std::string DescriptorText(const std::string &path) {
  int file = HostFile_OpenRegular(path.c_str());
  std::string text = ReadText(file, 0, kMaxDescriptor);
  unsigned char header[44] = {};  // zeros past the file's end, as QEMU reads it
  if (ReadText(file, 0, 4) == "KDMV" && HostFile_ReadAt(file, header, sizeof header, 0) > 0) {
    auto le64 = [&](size_t at) {
      uint64_t v = 0;
      for (size_t i = 0; i < 8; i++) v |= uint64_t{header[at + i]} << (8 * i);
      return v;
    };
    // QEMU ignores the descriptor's length: it reads up to its limit from the
    // offset on (shifted as QEMU shifts it, which may wrap), to the first
    // zero byte.
    uint64_t offset = le64(28), at = offset << 9;
    text = le64(12) != 0 || offset == 0 || at > INT64_MAX ? "" : ReadText(file, at, kMaxDescriptor);
  }
  HostFile_Close(file);
  return text;
}

// The parts of a name, "." and empty ones left out.
std::vector<std::string> Parts(const std::string &name) {
  std::vector<std::string> parts;
  for (size_t at = 0; at <= name.size();) {
    size_t slash = std::min(name.find('/', at), name.size());
    std::string part = name.substr(at, slash - at);
    if (!part.empty() && part != ".") {
      parts.push_back(part);
    }
    at = slash + 1;
  }
  return parts;
}

std::string FromParts(const std::vector<std::string> &parts) {
  std::string name;
  for (const std::string &part : parts) {
    name += (name.empty() ? "" : "/") + part;
  }
  return name;
}

// qemu-img opens the extent files a vmdk descriptor names as it reads it,
// and opening a FIFO would hold it until its time runs out: the names are
// checked first, read as QEMU reads its extent lines. *relative counts the
// names QEMU opens from the descriptor's folder.
ImageProblem CheckDescriptorNames(const std::string &path, std::string *why, size_t *relative) {
  std::string text = DescriptorText(path);
  ImageProblem problem = ImageProblem::None;
  *relative = 0;
  for (size_t start = 0; start < text.size() && problem == ImageProblem::None;) {
    size_t end = std::min(text.find('\n', start), text.size());
    const char *line = text.c_str() + start;
    start = end + 1;
    // <access> <sectors> <type> "<name>" [<offset>], where a blank may be
    // any white space: an extent may go on over the next lines.
    char access[11], type[11], name[512];
    long long sectors = 0;
    if (sscanf(line, "%10s %lld %10s \"%511[^\n\r\"]\"", access, &sectors, type, name) != 4 ||
        (strcmp(access, "RW") != 0 && strcmp(access, "RDONLY") != 0 &&
         strcmp(access, "NOACCESS") != 0) ||
        NotAPlainPath(name)) {
      continue;
    }
    // QEMU opens the extents of RW lines only.
    *relative += strcmp(access, "RW") == 0 && name[0] != '/' ? 1 : 0;
    // A missing file is left for qemu-img to report, as before.
    char *real = HostFs_RealPath(Joined(name, path).c_str());
    if (real != nullptr && !HostFs_IsRegularFile(real)) {
      ResolveName(name, path, "extent file", &problem, why);
    }
    free(real);
  }
  return problem;
}

// Runs qemu-img with argv for the file at path; Tool, with *why and in a few
// words *failure, when it did not run to its end within its limits.
ImageProblem RunQemuImg(const std::vector<const char *> &argv, const std::string &path,
                        int timeoutMs, HostRunResult *run, std::string *why, std::string *failure,
                        int cpuSeconds = 10) {
  HostRunLimits limits = QemuImgLimits(std::max(timeoutMs, 1), cpuSeconds);
  int rc = HostProcess_Run(argv.data(), &limits, run);
  if (rc != 0) {
    *failure = Host_ErrorKind(rc) == HOST_ERROR_NOT_FOUND ? "qemu-img is not installed"
                                                          : "qemu-img cannot be started";
  } else if (run->timedOut || run->outputTooLarge || run->signal != 0) {
    // The limits end it with SIGXCPU, then SIGKILL; another signal is its own.
    *failure = "qemu-img " + (run->timedOut         ? std::string("took too long")
                              : run->outputTooLarge ? std::string("said too much")
                              : run->signal == SIGXCPU || run->signal == SIGKILL
                                  ? std::string("was stopped by its limits")
                                  : "ended with signal " + std::to_string(run->signal) + " (" +
                                        strsignal(run->signal) + ")");
  } else {
    return ImageProblem::None;
  }
  *why = "The disk file " + DiskImage_Quoted(path) + " cannot be examined: " + *failure + ".";
  return ImageProblem::Tool;
}

// Runs qemu-img info on one file, with format given when it is known. Fills
// *info with what qemu-img printed.
ImageProblem RunInfo(const std::string &path, const std::string &format, int timeoutMs,
                     nlohmann::json *info, std::string *why) {
  std::vector<const char *> argv = {"qemu-img", "info", "--output=json", "-U"};
  if (!format.empty()) {
    argv.push_back("-f");
    argv.push_back(format.c_str());
  }
  argv.push_back(path.c_str());
  argv.push_back(nullptr);
  HostRunResult run;
  std::string failure;
  ImageProblem problem = RunQemuImg(argv, path, timeoutMs, &run, why, &failure);
  if (problem == ImageProblem::None && run.exitCode != 0) {
    // qemu-img recognised a format (or was told one) and could not open it.
    problem = ImageProblem::Damaged;
    std::string text = Trimmed(std::string(run.err, run.errLength));
    *why = "The disk file " + DiskImage_Quoted(path) + " cannot be opened" +
           (format.empty() ? "" : " as " + format) + (text.empty() ? "." : ": " + text + ".");
  } else if (problem == ImageProblem::None) {
    *info = nlohmann::json::parse(run.out, run.out + run.outLength, nullptr, false);
    if (!info->is_object()) {
      problem = ImageProblem::Tool;
      *why = "The disk file " + DiskImage_Quoted(path) +
             " cannot be examined: qemu-img said nothing usable.";
    }
  }
  HostRunResult_Free(&run);
  return problem;
}

// Members of qemu-img's answer, read without trusting its shape.
const nlohmann::json *Member(const nlohmann::json &object, const char *key) {
  if (!object.is_object()) {
    return nullptr;
  }
  auto it = object.find(key);
  return it != object.end() ? &*it : nullptr;
}

std::string Text(const nlohmann::json &object, const char *key) {
  const nlohmann::json *m = Member(object, key);
  return m != nullptr && m->is_string() ? m->get<std::string>() : "";
}

bool Flag(const nlohmann::json &object, const char *key) {
  const nlohmann::json *m = Member(object, key);
  return m != nullptr && m->is_boolean() && m->get<bool>();
}

// The format's own part of qemu-img's description of a file; an empty
// object when it has none.
const nlohmann::json &FormatData(const nlohmann::json &info) {
  static const nlohmann::json none = nlohmann::json::object();
  const nlohmann::json *specific = Member(info, "format-specific");
  const nlohmann::json *data = specific != nullptr ? Member(*specific, "data") : nullptr;
  return data != nullptr ? *data : none;
}

// A vmdk's identifier ("cid", "parent-cid") as qemu-img tells it, or -1.
int64_t VmdkId(const nlohmann::json &info, const char *key) {
  const nlohmann::json *id = Member(FormatData(info), key);
  return id != nullptr && id->is_number_unsigned() && id->get<uint64_t>() <= UINT32_MAX
             ? static_cast<int64_t>(id->get<uint64_t>())
             : -1;
}

// Fills *layer from qemu-img's description of one file and returns the
// parent's name and format ("" when none) in *parent and *parentFormat.
ImageProblem ReadLayer(const nlohmann::json &info, ImageLayer *layer, std::string *parent,
                       std::string *parentFormat, std::string *why) {
  const std::string &path = layer->path;
  std::string format = Text(info, "format");
  if (format != "raw" && DiskImage_Format(format) == nullptr) {
    *why = "The disk file " + DiskImage_Quoted(path) + " is in the format " +
           DiskImage_Quoted(format) + ", which cannot be opened here.";
    return ImageProblem::Unsupported;
  }
  if (!layer->format.empty() && layer->format != format) {
    *why =
        "The disk file " + DiskImage_Quoted(path) + " is not in the format " + layer->format + ".";
    return ImageProblem::Damaged;
  }
  layer->format = format;
  const nlohmann::json *size = Member(info, "virtual-size");
  if (size == nullptr || !size->is_number_unsigned()) {
    *why = "The disk file " + DiskImage_Quoted(path) + " has no virtual size.";
    return ImageProblem::Damaged;
  }
  layer->virtualSize = size->get<uint64_t>();
  layer->dirty = Flag(info, "dirty-flag");
  if (Flag(info, "encrypted")) {
    *why = "The disk file " + DiskImage_Quoted(path) + " is encrypted.";
    return ImageProblem::Unsupported;
  }
  const nlohmann::json &data = FormatData(info);
  if (Member(data, "data-file") != nullptr) {
    *why = "The disk file " + DiskImage_Quoted(path) + " keeps its data in a separate data file " +
           DiskImage_Quoted(Text(data, "data-file")) + ", which is not supported.";
    return ImageProblem::Unsupported;
  }
  if (Flag(data, "corrupt")) {
    *why = "The disk file " + DiskImage_Quoted(path) + " is marked as damaged.";
    return ImageProblem::Damaged;
  }
  const nlohmann::json *extents = Member(data, "extents");
  if (extents != nullptr && extents->is_array()) {
    for (const nlohmann::json &extent : *extents) {
      std::string name = Text(extent, "filename");
      ImageProblem problem = ImageProblem::None;
      std::string file = ResolveName(name, path, "extent file", &problem, why);
      if (file.empty()) {
        return problem;
      }
      layer->extentNames.push_back(name);
      layer->extentFiles.push_back(file);
      layer->extentKinds.push_back(Text(extent, "format"));
      if (file != path) {
        layer->extents.push_back(file);
      }
      layer->writable = layer->writable && !Flag(extent, "compressed");
    }
  }
  *parent = Text(info, "backing-filename");
  *parentFormat = Text(info, "backing-filename-format");
  if (Member(info, "backing-filename") != nullptr && parent->empty()) {
    *why = "The disk file " + DiskImage_Quoted(path) + " names an empty parent.";
    return ImageProblem::Unsupported;
  }
  const ImageFormat *known = DiskImage_Format(format);
  if (!parent->empty() && (known == nullptr || !known->backing)) {
    *why = "The disk file " + DiskImage_Quoted(path) +
           " names a parent, which its format cannot have.";
    return ImageProblem::Damaged;
  }
  return ImageProblem::None;
}

}  // namespace

const ImageFormat *DiskImage_Format(const std::string &name) {
  for (const ImageFormat &f : kFormats) {
    if (name == f.name) {
      return &f;
    }
  }
  return nullptr;
}

std::string DiskImage_Quoted(const std::string &name) {
  std::string quoted = "\"";
  quoted += name;
  quoted += '"';
  return quoted;
}

std::vector<std::string> DiskImage_FormatNames(void) {
  std::vector<std::string> names;
  for (const ImageFormat &f : kFormats) {
    names.push_back(f.name);
  }
  return names;
}

std::vector<std::string> DiskImage::Files() const {
  std::vector<std::string> files;
  for (const ImageLayer &layer : layers) {
    files.push_back(layer.path);
    files.insert(files.end(), layer.extents.begin(), layer.extents.end());
  }
  return files;
}

namespace {

bool DifferencingVhd(const std::string &path) {
  long long size = 0;
  int file = HostFile_OpenRegular(path.c_str(), &size);
  uint32_t type =
      file != HOSTFILE_INVALID ? ImageTables_VhdType(file, static_cast<uint64_t>(size)) : 0;
  HostFile_Close(file);
  return type == 4;
}

ImageProblem ProbeChain(const std::string &path, DiskImage *image, std::string *why) {
  char *real = HostFs_RealPath(path.c_str());
  if (real == nullptr) {
    *why = "The disk file " + DiskImage_Quoted(path) + " does not exist.";
    return ImageProblem::Missing;
  }
  std::string current = real;
  free(real);
  if (!HostFs_IsRegularFile(current.c_str())) {
    // A device or other special file is read as it is; qemu-img would only
    // call it raw.
    image->layers.push_back({current, "raw", 0, {}});
    return ImageProblem::None;
  }
  std::string format;        // as the child recorded it; "" for the named file
  int64_t expectedCid = -1;  // of the parent, as the child recorded it
  std::set<std::string> seen;
  int64_t deadline = HostClock_NowMs() + kProbeMs;
  for (;;) {
    if (image->layers.size() == kMaxLayers || !seen.insert(current).second) {
      *why = "The disk file " + DiskImage_Quoted(path) +
             " has a chain of parents that loops or is too long.";
      return ImageProblem::Unsupported;
    }
    if (!format.empty() && format != "raw" && DiskImage_Format(format) == nullptr) {
      *why = "The parent " + DiskImage_Quoted(current) + " is recorded in the format " +
             DiskImage_Quoted(format) + ", which cannot be opened here.";
      return ImageProblem::Unsupported;
    }
    size_t relative = 0;
    ImageProblem problem = CheckDescriptorNames(current, why, &relative);
    if (problem != ImageProblem::None) {
      return problem;
    }
    nlohmann::json info;
    problem = RunInfo(current, format, static_cast<int>(deadline - HostClock_NowMs()), &info, why);
    if (problem != ImageProblem::None) {
      return problem;
    }
    ImageLayer layer;
    layer.path = current;
    layer.format = format;
    std::string parent, parentFormat;
    problem = ReadLayer(info, &layer, &parent, &parentFormat, why);
    if (problem != ImageProblem::None) {
      return problem;
    }
    if (layer.format == "vpc" && DifferencingVhd(current)) {
      // QEMU reads one as if it had no parent: its volumes would be shown,
      // and written, without the parent's data.
      *why = "The disk file " + DiskImage_Quoted(current) +
             " is a differencing VHD, whose parent cannot be read here.";
      return ImageProblem::Unsupported;
    }
    // A vmdk child is made on its vmdk parent as it was: a parent written
    // since (attached on its own, say) has a new CID, and QEMU then fails
    // every read of the child.
    if (!image->layers.empty() && image->layers.back().format == "vmdk" && layer.format == "vmdk" &&
        VmdkId(info, "cid") != expectedCid) {
      *why = "The disk file " + DiskImage_Quoted(image->layers.back().path) +
             " was made on another state of its parent " + DiskImage_Quoted(current) +
             ", which has been written since: the child cannot be read.";
      return ImageProblem::Damaged;
    }
    expectedCid = VmdkId(info, "parent-cid");
    layer.parentName = parent;
    // Any name the check did not read (too long for it, say) may lie elsewhere.
    layer.extentsRelative = relative == layer.extentNames.size();
    image->layers.push_back(layer);
    if (parent.empty()) {
      break;
    }
    current = ResolveName(parent, current, "parent", &problem, why);
    if (current.empty()) {
      return problem;
    }
    format = parentFormat;
  }
  image->virtualSize = image->layers[0].virtualSize;
  const ImageFormat *top = DiskImage_Format(image->layers[0].format);
  image->writable = (top == nullptr || top->writable) && image->layers[0].writable;
  return ImageProblem::None;
}

}  // namespace

ImageProblem DiskImage_Probe(const std::string &path, DiskImage *image, std::string *why) {
  *image = DiskImage();
  ImageProblem problem = ProbeChain(path, image, why);
  if (problem != ImageProblem::None) {
    *image = DiskImage();
  }
  return problem;
}

namespace {

// The stamps of files, or false when one cannot be examined.
bool StampAll(const std::vector<std::string> &files, std::vector<HostFileStamp> *stamps) {
  stamps->clear();
  for (const std::string &f : files) {
    HostFileStamp stamp;
    if (!HostState_Stamp(f.c_str(), &stamp) || !stamp.exists) {
      return false;
    }
    stamps->push_back(stamp);
  }
  return true;
}

// Whether the extent names of a layer still lead to the files they led to:
// a link repointed since would have QEMU open a file nobody checked.
bool SameExtents(const ImageLayer &layer) {
  std::vector<std::string> now;
  for (const std::string &name : layer.extentNames) {
    ImageProblem problem = ImageProblem::None;
    std::string why;
    std::string file = ResolveName(name, layer.path, "extent file", &problem, &why);
    if (file.empty()) {
      return false;
    }
    if (file != layer.path) {
      now.push_back(file);
    }
  }
  return now == layer.extents;
}

// Whether the parent names of the layers still lead to the files they led
// to: a link repointed since leads QEMU, and a new probe, to another parent.
bool SameParents(const DiskImage &image) {
  for (size_t i = 0; i + 1 < image.layers.size(); i++) {
    ImageProblem problem = ImageProblem::None;
    std::string why;
    const ImageLayer &layer = image.layers[i];
    if (ResolveName(layer.parentName, layer.path, "parent", &problem, &why) !=
        image.layers[i + 1].path) {
      return false;
    }
  }
  return true;
}

// Whether a file is still the one probed. A raw disk stays raw while it is
// the same file of the same size: what its guest writes is data, and reading
// new bytes at its start as another format's header would be the very danger
// of probing. Any other image must not have changed at all.
bool StillSame(const HostFileStamp &now, const HostFileStamp &then, bool raw) {
  if (raw) {
    return now.device == then.device && now.inode == then.inode && now.size == then.size;
  }
  return HostState_SameStamp(now, then);
}

}  // namespace

ImageProblem DiskImageCache::Probe(const std::string &path, DiskImage *image, std::string *why,
                                   Seen *seen) {
  Seen found;
  found.checked = std::chrono::system_clock::now();
  std::optional<Entry> kept;
  {
    std::lock_guard<std::mutex> hold(lock_);
    if (auto it = entries_.find(path); it != entries_.end()) {
      kept = it->second;
    }
  }
  if (kept) {
    // The named file may since lead elsewhere through a link.
    char *real = HostFs_RealPath(path.c_str());
    bool same = real != nullptr && kept->image.layers[0].path == real;
    free(real);
    std::vector<HostFileStamp> now;
    if (same && StampAll(kept->image.Files(), &now) && now.size() == kept->stamps.size()) {
      for (size_t i = 0; same && i < now.size(); ++i) {
        same = StillSame(now[i], kept->stamps[i], kept->image.Raw());
      }
      for (const ImageLayer &layer : kept->image.layers) {
        same = same && SameExtents(layer);
      }
      same = same && SameParents(kept->image);
      if (same) {
        *image = std::move(kept->image);
        found.entry = kept->serial;
        if (seen != nullptr) {
          *seen = found;
        }
        return ImageProblem::None;
      }
    }
    std::lock_guard<std::mutex> hold(lock_);
    if (auto it = entries_.find(path); it != entries_.end() && it->second.serial == kept->serial) {
      entries_.erase(it);
    }
  }
  // A disk written to while qemu-img looked at it is not kept.
  HostFileStamp before;
  bool stamped = HostState_Stamp(path.c_str(), &before);
  ImageProblem problem = DiskImage_Probe(path, image, why);
  Entry entry;
  if (problem == ImageProblem::None && stamped && StampAll(image->Files(), &entry.stamps) &&
      StillSame(before, entry.stamps[0], image->Raw())) {
    entry.image = *image;
    std::lock_guard<std::mutex> hold(lock_);
    if (entries_.size() >= kMaxCached) {
      entries_.clear();
    }
    entry.serial = ++serials_;
    found.entry = entry.serial;
    entries_[path] = std::move(entry);
  }
  if (seen != nullptr) {
    *seen = found;
  }
  return problem;
}

size_t DiskImageCache::Size() const {
  std::lock_guard<std::mutex> hold(lock_);
  return entries_.size();
}

bool DiskImageCache::Volumes(const std::string &path, const Seen &seen,
                             std::vector<VolumeExtent> *volumes) const {
  std::lock_guard<std::mutex> hold(lock_);
  auto it = entries_.find(path);
  if (it == entries_.end() || it->second.serial != seen.entry || !it->second.volumesKnown) {
    return false;
  }
  *volumes = it->second.volumes;
  return true;
}

void DiskImageCache::Remember(const std::string &path, const Seen &seen,
                              const std::vector<VolumeExtent> &volumes) {
  std::lock_guard<std::mutex> hold(lock_);
  auto it = entries_.find(path);
  // A raw disk's guest writes its partition table without changing a stamp
  // that the cache compares. Volumes read after another probe's look may
  // come from files that probe no longer finds.
  if (it == entries_.end() || it->second.serial != seen.entry || it->second.image.Raw()) {
    return;
  }
  // Writes after the look stamp a time no earlier than a tick before it, and
  // FAT's tick is 2 s; the margin also covers a file system whose clock lags
  // the host's.
  auto settled = seen.checked - std::chrono::seconds(3);
  for (const HostFileStamp &stamp : it->second.stamps) {
    auto modified = std::chrono::system_clock::time_point(
        std::chrono::duration_cast<std::chrono::system_clock::duration>(
            std::chrono::seconds(stamp.modifiedSeconds) +
            std::chrono::nanoseconds(stamp.modifiedNanoseconds)));
    if (modified >= settled) {
      return;
    }
  }
  it->second.volumesKnown = true;
  it->second.volumes = volumes;
}

bool DiskImage_ExtentPlaces(const ImageLayer &layer, ExtentPlaces *placed) {
  const std::string folder = layer.path.substr(0, layer.path.rfind('/') + 1);
  const std::vector<std::string> above = Parts(folder);
  *placed = ExtentPlaces{};
  if (!layer.extentsRelative || folder.empty()) {
    return false;  // an absolute name is opened as it is
  }
  // As deep as the names climb, the descriptor's own folders repeated:
  // "../x" from a/b/ is a/x here as there.
  std::vector<std::vector<std::string>> relative;
  ptrdiff_t climb = 0;
  for (const std::string &name : layer.extentNames) {
    if (name.compare(0, folder.size(), folder) != 0) {
      return false;
    }
    relative.push_back(Parts(name.substr(folder.size())));
    ptrdiff_t depth = 0;
    for (const std::string &part : relative.back()) {
      depth += part == ".." ? -1 : 1;
      climb = std::max(climb, -depth);
    }
  }
  if (climb > static_cast<ptrdiff_t>(above.size())) {
    return false;  // above the root, where ".." leads nowhere higher
  }
  std::vector<std::string> here(above.end() - climb, above.end());
  for (size_t depth = 1; depth <= here.size(); depth++) {
    placed->folders.push_back(FromParts({here.begin(), here.begin() + depth}));
  }
  here.push_back(layer.path.substr(folder.size()));
  placed->own = FromParts(here);
  for (const auto &parts : relative) {
    std::vector<std::string> place(above.end() - climb, above.end());
    for (size_t i = 0; i < parts.size(); i++) {
      if (parts[i] == "..") {
        place.pop_back();
        continue;
      }
      place.push_back(parts[i]);
      // The kernel walks "sub/.." through sub: it must be there.
      if (i + 1 < parts.size()) {
        placed->folders.push_back(FromParts(place));
      }
    }
    if (place.empty()) {
      return false;
    }
    placed->extents.push_back(FromParts(place));
  }
  return true;
}

namespace {

// Runs qemu-img check on the top alone (its parents are only read, and
// looked at as they are), by name: the damage it finds, in its first ERROR
// line, or why it could not end goes to *reason.
ImageProblem CheckWithQemuImg(const ImageLayer &top, const std::string &name, std::string *reason) {
  nlohmann::json node = {{"driver", top.format},
                         {"file", {{"driver", "file"}, {"filename", name}}}};
  const ImageFormat *format = DiskImage_Format(top.format);
  if (format != nullptr && format->backing) {
    node["backing"] = nullptr;
  }
  std::string json = "json:" + node.dump();
  std::vector<const char *> argv = {"qemu-img", "check", "-U", "-q", json.c_str(), nullptr};
  HostRunResult run;
  std::string why;
  ImageProblem problem = RunQemuImg(argv, top.path, kCheckMs, &run, &why, reason, kCheckCpuSeconds);
  // It says ERROR of each fault it finds, and exits with 2 for faults in the
  // tables, 3 for clusters leaked (room wasted, nothing lost), 63 for a format
  // without a check, and 1 when it could not end, also for want of memory.
  std::string said = run.err != nullptr ? std::string(run.err, run.errLength) : "";
  size_t error = said.compare(0, 5, "ERROR") == 0 ? 0 : said.find("\nERROR");
  if (problem == ImageProblem::None &&
      (run.exitCode == 2 || (run.exitCode == 1 && error != std::string::npos))) {
    problem = ImageProblem::Damaged;
    size_t from = error == std::string::npos ? said.size() : error == 0 ? 0 : error + 1;
    *reason = said.substr(from, said.find('\n', from) - from);
  } else if (problem == ImageProblem::None && run.exitCode != 0 && run.exitCode != 3) {
    problem = ImageProblem::Tool;
    // Its own words, after any it says of the image.
    size_t own = said.compare(0, 10, "qemu-img: ") == 0 ? 0 : said.find("\nqemu-img: ");
    std::string text = Trimmed(said.substr(own == std::string::npos || own == 0 ? 0 : own + 1));
    *reason = text.empty() ? "qemu-img check ended with " + std::to_string(run.exitCode)
                           : text.substr(0, text.find('\n'));
  }
  HostRunResult_Free(&run);
  return problem;
}

}  // namespace

ImageProblem DiskImage_CheckTop(const DiskImage &image, const std::string &opened,
                                std::string *why) {
  if (image.Raw() || image.layers.empty() || image.layers[0].dirty) {
    return ImageProblem::None;
  }
  const ImageLayer &top = image.layers[0];
  // Extents are named from the descriptor's folder: read by their names.
  const std::string &name = !opened.empty() && top.extents.empty() ? opened : top.path;
  std::string reason;
  bool qemuImg = true;
  bool own = ImageTables_Checks(top.format, &qemuImg);
  ImageProblem problem = qemuImg ? CheckWithQemuImg(top, name, &reason) : ImageProblem::None;
  if (own && problem == ImageProblem::None) {
    long long size = 0;
    int file = HostFile_OpenRegular(name.c_str(), &size);
    problem = ImageProblem::Tool;
    reason = "it cannot be opened";
    if (file != HOSTFILE_INVALID) {
      problem = ImageTables_Check(top, file, static_cast<uint64_t>(size), &reason);
    }
    HostFile_Close(file);
  }
  // qemu-img has no check for a VHD: its users are not sent there.
  const char *checker = top.format == "vpc" ? "a tool that checks VHD files" : "qemu-img check";
  if (problem == ImageProblem::Damaged) {
    *why = "The disk file " + DiskImage_Quoted(top.path) + " is damaged" +
           (reason.empty() ? std::string() : " (" + reason + ")") +
           ", and writing to it would damage it further. Check and repair it first " +
           (top.format == "vpc" ? "(with " + std::string(checker) + ", on a copy)."
                                : std::string("(qemu-img check -r all, on a copy)."));
  } else if (problem == ImageProblem::Tool) {
    *why = "The disk file " + DiskImage_Quoted(top.path) + " could not be checked (" + reason +
           "), and is not written unchecked: writing to a damaged image would damage it "
           "further. Check it with " +
           checker + ", on a copy.";
  }
  return problem;
}

std::string DiskImage_NodeName(const std::string &prefix, char kind, size_t layer) {
  return prefix + kind + std::to_string(layer);
}

std::vector<nlohmann::json> DiskImage_Nodes(const DiskImage &image, bool readOnly,
                                            const std::string &prefix,
                                            const std::vector<std::string> &opened) {
  std::vector<nlohmann::json> nodes;
  for (size_t i = image.layers.size(); i-- > 0;) {
    const ImageLayer &layer = image.layers[i];
    const ImageFormat *format = DiskImage_Format(layer.format);
    bool layerReadOnly = i > 0 || readOnly || !image.writable;
    bool byOpened = i < opened.size() && !opened[i].empty();
    std::string file = DiskImage_NodeName(prefix, 'f', i);
    nlohmann::json fileNode = {{"driver", "file"},
                               {"node-name", file},
                               {"filename", byOpened ? opened[i] : layer.path},
                               {"read-only", layerReadOnly}};
    if (readOnly) {
      // A look that changes nothing takes no locks: it must not keep anybody
      // else from writing meanwhile, nor look like a writer to an attach of
      // the same disk that runs while it reads. Sharing alone still holds
      // the lock of a consistent read.
      fileNode["force-share"] = true;
      fileNode["locking"] = "off";
    }
    nodes.push_back(fileNode);
    nlohmann::json node = {{"driver", layer.format},
                           {"node-name", DiskImage_NodeName(prefix, 'l', i)},
                           {"file", file},
                           {"read-only", layerReadOnly}};
    if (readOnly) {
      node["force-share"] = true;  // and so the extents the layer opens itself
    }
    if (format != nullptr && format->backing) {
      // null: no parent at all, rather than whatever the header names.
      node["backing"] = i + 1 < image.layers.size()
                            ? nlohmann::json(DiskImage_NodeName(prefix, 'l', i + 1))
                            : nullptr;
    }
    nodes.push_back(node);
  }
  return nodes;
}
