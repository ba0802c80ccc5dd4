// The daemon is started with nothing but its control socket, which this
// process creates (so a folder path of any length works) and hands over as
// descriptor 3; every node and the export are then added over QMP, each with
// an explicit driver, so an error names the step that failed. The pid file
// path on its command line tells the daemon apart from an unrelated process
// that got its pid after it ended.
#include "storageDaemon.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "host/descriptor.h"
#include "host/fs.h"
#include "host/lastError.h"
#include "host/lookup.h"
#include "host/mount.h"
#include "host/process.h"
#include "host/socket.h"
#include "host/stateFile.h"

namespace {

constexpr char kProgram[] = "qemu-storage-daemon";
constexpr char kExportPrefix[] = "export.";
// Folders of links a disk's layers are opened through: links-<disk>/<layer>.
constexpr char kLinksPrefix[] = "links-";
constexpr size_t kMaxId = 12;
constexpr int kCommandMs = 30000;
constexpr int kQuitMs = 10000;
constexpr size_t kMaxMessage = 16 << 20;
const char kLabelFile[] = "label";
const char *const kFiles[] = {"qmp", "pid", "log", kLabelFile};

std::string ErrorText(int code) {
  char text[256];
  return Host_ErrorText(code, text, sizeof text) ? text : "error " + std::to_string(code);
}

bool ValidName(const std::string &name) {
  if (name.empty() || name.size() > 64 || name[0] == '.') {
    return false;
  }
  for (char c : name) {
    bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
              c == '.' || c == '_' || c == '-';
    if (!ok) {
      return false;
    }
  }
  return true;
}

// Ids of disks and exports become parts of QEMU node names, which start with
// a letter and hold at most 31 characters.
bool ValidId(const std::string &id) {
  if (id.empty() || id.size() > kMaxId ||
      !((id[0] >= 'a' && id[0] <= 'z') || (id[0] >= 'A' && id[0] <= 'Z'))) {
    return false;
  }
  for (char c : id) {
    bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
              c == '_' || c == '-';
    if (!ok) {
      return false;
    }
  }
  return true;
}

std::string DiskOfNode(const std::string &node) { return node.substr(0, node.find('.')); }

// The node names a daemon of ours may hold, in an order in which each can be
// deleted once the ones before it are gone: users before what they use.
std::vector<std::string> DeletionOrder(const std::vector<std::string> &present) {
  std::vector<std::string> order;
  auto has = [&](const std::string &n) {
    return std::find(present.begin(), present.end(), n) != present.end();
  };
  std::vector<std::string> disks;
  for (const std::string &p : present) {
    if (std::find(disks.begin(), disks.end(), DiskOfNode(p)) == disks.end()) {
      disks.push_back(DiskOfNode(p));
    }
  }
  for (const std::string &disk : disks) {
    for (const std::string &p : present) {
      if (p.compare(0, disk.size() + 3, disk + ".r.") == 0) {
        order.push_back(p);
      }
    }
    for (size_t i = 0;; ++i) {
      std::string layer = DiskImage_NodeName(disk + ".", 'l', i);
      std::string file = DiskImage_NodeName(disk + ".", 'f', i);
      if (!has(layer) && !has(file)) {
        break;
      }
      for (const std::string &n : {layer, file}) {
        if (has(n)) {
          order.push_back(n);
        }
      }
    }
  }
  return order;
}

void CollectMount(const char *below, const char *, void *context) {
  static_cast<std::vector<std::string> *>(context)->push_back(below);
}

// Takes down the mounts below folder (an export whose server is gone). False
// when one stays.
bool UnmountBelow(const std::string &folder, std::string *why) {
  std::vector<std::string> below;
  int rc = HostMount_ForEachBelow(folder.c_str(), CollectMount, &below);
  if (rc != 0) {
    *why = "cannot list the mounts below " + folder + ": " + ErrorText(rc);
    return false;
  }
  // Deepest first.
  for (auto it = below.rbegin(); it != below.rend(); ++it) {
    std::string point = it->empty() ? folder : folder + "/" + *it;
    rc = HostMount_Unmount(point.c_str(), true);
    if (rc == 0 || Host_ErrorKind(rc) == HOST_ERROR_INVALID) {
      continue;
    }
    // Without the right to unmount, FUSE's own helper may take down a mount
    // of the caller's.
    const char *argv[] = {"fusermount3", "-u", "-z", point.c_str(), nullptr};
    HostRunLimits limits;
    limits.timeoutMs = kQuitMs;
    HostRunResult run;
    int helper = HostProcess_Run(argv, &limits, &run);
    bool done = helper == 0 && run.exitCode == 0;
    HostRunResult_Free(&run);
    if (!done) {
      *why = "cannot unmount " + point + ": " + ErrorText(rc);
      return false;
    }
  }
  return true;
}

bool RemoveFolder(const std::string &folder) {
  for (const char *file : kFiles) {
    HostState_RemoveFile((folder + "/" + file).c_str());
  }
  HostState_RemoveLeftovers(folder.c_str());
  std::vector<std::string> exports;
  HostDir *dir = HostDir_Open(folder.c_str());
  bool isDirectory = false;
  while (const char *entry = HostDir_Next(dir, &isDirectory)) {
    if (strncmp(entry, kExportPrefix, strlen(kExportPrefix)) == 0) {
      exports.push_back(folder + "/" + entry);
    } else if (strncmp(entry, kLinksPrefix, strlen(kLinksPrefix)) == 0) {
      HostState_RemoveTree((folder + "/" + entry).c_str());
    }
  }
  HostDir_Close(dir);
  for (const std::string &e : exports) {
    HostState_RemoveFile(e.c_str());
  }
  return HostState_RemoveDir(folder.c_str()) == 0;
}

// Puts name in place of every whole given in text ("/proc/1/fd/5" is not
// part of "/proc/1/fd/52", but "/links/0/" is of "/links/0/1x.raw").
void ReplaceName(const std::string &given, const std::string &name, std::string *text) {
  auto digit = [](char c) { return isdigit(static_cast<unsigned char>(c)) != 0; };
  for (size_t at = 0; given != name && (at = text->find(given, at)) != std::string::npos;) {
    if (at + given.size() < text->size() && !given.empty() && digit(given.back()) &&
        digit((*text)[at + given.size()])) {
      at += given.size();
      continue;
    }
    text->replace(at, given.size(), name);
    at += name.size();
  }
}

}  // namespace

std::string DaemonRecord_Format(const DaemonRecord &record) {
  return std::to_string(record.pid) + "," + record.name;
}

bool DaemonRecord_Parse(const std::string &text, DaemonRecord *record) {
  size_t comma = text.find(',');
  if (comma == std::string::npos || comma == 0 || comma > 10) {
    return false;
  }
  long pid = 0;
  for (size_t i = 0; i < comma; ++i) {
    if (text[i] < '0' || text[i] > '9') {
      return false;
    }
    pid = pid * 10 + (text[i] - '0');
  }
  std::string name = text.substr(comma + 1);
  if (pid <= 0 || pid > INT32_MAX || !ValidName(name)) {
    return false;
  }
  *record = {pid, name};
  return true;
}

StorageDaemon::StorageDaemon(std::string base) : base_(std::move(base)) {}

StorageDaemon::~StorageDaemon() { Disconnect(); }

std::string StorageDaemon::Folder() const { return base_ + "/" + name_; }

int StorageDaemon::Label(const std::string &text) const {
  return HostState_ReplaceFile((Folder() + "/" + kLabelFile).c_str(), text.data(), text.size());
}

std::string StorageDaemon_Label(const std::string &base, const std::string &name) {
  char *data = nullptr;
  size_t length = 0;
  std::string text;
  if (HostState_ReadFile((base + "/" + name + "/" + kLabelFile).c_str(), HOSTFS_PATH_MAX, &data,
                         &length) == 0) {
    text.assign(data, length);
  }
  free(data);
  return text;
}

std::string StorageDaemon::ExportFile(const std::string &id) const {
  return Folder() + "/" + kExportPrefix + id;
}

void StorageDaemon::Disconnect() {
  qmp_.Reset();
  buffer_.clear();
}

bool StorageDaemon::Launch(const std::string &name, std::string *why) {
  if (!ValidName(name) || pid_ > 0) {
    *why = "cannot start a storage daemon named \"" + name + "\"";
    return false;
  }
  name_ = name;
  std::string folder = Folder();
  int rc = HostState_MakeDir(base_.c_str());
  if (rc == 0) {
    rc = HostState_MakeDir(folder.c_str());
  }
  int fd = -1;
  if (rc == 0) {
    rc = HostEndpoint_Listen(folder.c_str(), "qmp", &fd);
  }
  HostFd listening(fd);
  if (rc != 0) {
    *why = "cannot prepare " + folder + " for the storage daemon: " + ErrorText(rc);
    RemoveFolder(folder);
    return false;
  }
  std::string pidFile = folder + "/pid";
  std::string log = folder + "/log";
  const char *argv[] = {kProgram,
                        "--chardev",
                        "socket,id=qmp,fd=3,server=on,wait=off",
                        "--monitor",
                        "chardev=qmp,mode=control",
                        "--pidfile",
                        pidFile.c_str(),
                        nullptr};
  rc = HostProcess_StartChild(argv, &fd, 1, log.c_str(), &pid_);
  listening.Reset();
  if (rc != 0) {
    *why = std::string(kProgram) + (Host_ErrorKind(rc) == HOST_ERROR_NOT_FOUND
                                        ? " is not installed"
                                        : " cannot be started: " + ErrorText(rc));
    pid_ = -1;
    RemoveFolder(folder);
    return false;
  }
  child_ = true;
  if (!Connect(why)) {
    char *text = nullptr;
    size_t length = 0;
    if (WaitGone(kQuitMs / 10) && HostState_ReadFile(log.c_str(), 4096, &text, &length) == 0) {
      // What it said on its way out says why (its log goes with its folder).
      std::string said(text, length);
      while (!said.empty() && (said.back() == '\n' || said.back() == ' ')) {
        said.pop_back();
      }
      said.erase(0, said.rfind('\n') + 1);
      *why = "the storage daemon ended at start" + (said.empty() ? "" : ": " + said);
    }
    free(text);
    std::string ignored;
    Stop(&ignored);
    return false;
  }
  return true;
}

bool StorageDaemon::Open(const std::string &disk, const DiskImage &image, bool readOnly,
                         std::string *why, const HeldFiles &held) {
  std::string prefix = disk + ".";
  bool taken = std::any_of(nodes_.begin(), nodes_.end(), [&](const std::string &n) {
    return n.compare(0, prefix.size(), prefix) == 0;
  });
  if (!ValidId(disk) || taken || image.Raw() || image.layers.empty()) {
    *why = "cannot open the disk as \"" + disk + "\" in the storage daemon";
    return false;
  }
  std::vector<std::string> opened(image.layers.size());
  for (size_t i = 0; i < opened.size(); i++) {
    const ImageLayer &layer = image.layers[i];
    auto own = held.find(layer.path);
    if (own != held.end()) {
      opened[i] = layer.extentNames.empty() ? own->second : LinkLayer(disk, i, layer, held);
    }
  }
  std::vector<nlohmann::json> nodes = DiskImage_Nodes(image, readOnly, prefix, opened);
  for (size_t k = 0; k < nodes.size(); k++) {
    const nlohmann::json &node = nodes[k];
    if (!Command("blockdev-add", node, nullptr, why)) {
      // Two nodes a layer, parents first, its file node before its format
      // node: either names the layer's file by its path, whatever name QEMU
      // was given (and says in *why); an extent, by its own.
      const ImageLayer &layer = image.layers[nodes.size() / 2 - 1 - k / 2];
      std::string given = nodes[k - k % 2].value("filename", layer.path);
      ReplaceName(given, layer.path, why);
      if (!layer.extentNames.empty() && given != layer.path) {
        ReplaceName(given.substr(0, given.rfind('/') + 1),
                    layer.path.substr(0, layer.path.rfind('/') + 1), why);
      }
      *why = "the storage daemon cannot open " + layer.path + ": " + *why;
      std::string ignored;
      Close(disk, &ignored);
      return false;
    }
    nodes_.push_back(node["node-name"].get<std::string>());
  }
  return true;
}

std::string StorageDaemon::LinkLayer(const std::string &disk, size_t i, const ImageLayer &layer,
                                     const HeldFiles &held) {
  ExtentPlaces placed;
  if (!DiskImage_ExtentPlaces(layer, &placed)) {
    return "";
  }
  std::vector<std::pair<std::string, std::string>> links{{placed.own, held.at(layer.path)}};
  for (size_t j = 0; j < placed.extents.size(); j++) {
    auto file = held.find(layer.extentFiles[j]);
    if (file == held.end()) {
      return "";
    }
    links.emplace_back(placed.extents[j], file->second);
  }
  std::string disks = Folder() + "/" + kLinksPrefix + disk;
  std::string folder = disks + "/" + std::to_string(i);
  if (HostState_MakeDir(disks.c_str()) != 0 || HostState_RemoveTree(folder.c_str()) != 0 ||
      HostState_MakeDir(folder.c_str()) != 0) {
    return "";
  }
  for (const std::string &below : placed.folders) {
    if (HostState_MakeDir((folder + "/" + below).c_str()) != 0) {
      return "";
    }
  }
  for (const auto &[place, target] : links) {
    std::string link = folder + "/" + place;
    char *there = nullptr;
    bool same = HostState_ReadLink(link.c_str(), &there) == 0 && target == there;
    free(there);
    if (!same && HostState_MakeLink(target.c_str(), link.c_str()) != 0) {
      return "";  // one name for two files, or a folder's
    }
  }
  return folder + "/" + placed.own;
}

bool StorageDaemon::Start(const std::string &name, const DiskImage &image, bool readOnly,
                          std::string *why, const HeldFiles &held) {
  if (!Launch(name, why)) {
    return false;
  }
  if (!Open("disk", image, readOnly, why, held)) {
    std::string ignored;
    Stop(&ignored);
    return false;
  }
  return true;
}

bool StorageDaemon::Close(const std::string &disk, std::string *why) {
  std::vector<std::string> ids;
  for (const auto &[id, owner] : exports_) {
    if (owner == disk) {
      ids.push_back(id);
    }
  }
  for (const std::string &id : ids) {
    if (!Unexport(id, why)) {
      return false;
    }
  }
  // Users before what they use: the reverse of the order they were added.
  for (size_t i = nodes_.size(); i-- > 0;) {
    if (DiskOfNode(nodes_[i]) == disk) {
      if (!Command("blockdev-del", {{"node-name", nodes_[i]}}, nullptr, why)) {
        return false;
      }
      nodes_.erase(nodes_.begin() + static_cast<long>(i));
    }
  }
  HostState_RemoveTree((Folder() + "/" + kLinksPrefix + disk).c_str());
  return true;
}

std::vector<std::string> StorageDaemon::Exports() const {
  std::vector<std::string> ids;
  for (const auto &entry : exports_) {
    ids.push_back(entry.first);
  }
  return ids;
}

bool StorageDaemon::Connect(std::string *why) {
  Disconnect();
  int fd = -1;
  int rc = HostEndpoint_Connect(Folder().c_str(), "qmp", kCommandMs, &fd);
  if (rc != 0) {
    *why = "the storage daemon does not answer: " + ErrorText(rc);
    return false;
  }
  qmp_.Reset(fd);
  nlohmann::json greeting;
  if (!Receive(HostClock_NowMs() + kQuitMs, &greeting) || !greeting.contains("QMP")) {
    *why = "the storage daemon does not answer";
    silent_ = true;
    Disconnect();
    return false;
  }
  return Command("qmp_capabilities", nullptr, nullptr, why);
}

bool StorageDaemon::Receive(int64_t deadline, nlohmann::json *message) {
  for (;;) {
    size_t end = buffer_.find('\n');
    if (end != std::string::npos) {
      *message = nlohmann::json::parse(buffer_.begin(), buffer_.begin() + end, nullptr, false);
      buffer_.erase(0, end + 1);
      if (!message->is_object()) {
        return false;
      }
      auto event = message->find("event");
      if (event == message->end()) {
        return true;
      }
      if (*event == "BLOCK_EXPORT_DELETED") {
        auto data = message->find("data");
        if (data != message->end() && data->is_object() && data->contains("id") &&
            (*data)["id"].is_string()) {
          events_.push_back((*data)["id"].get<std::string>());
        }
      }
      continue;
    }
    int64_t left = deadline - HostClock_NowMs();
    if (!qmp_.Valid() || left <= 0 || buffer_.size() > kMaxMessage) {
      return false;
    }
    HostPollEntry entry = {qmp_.Get(), true, false, false, false, false};
    if (HostPoll_Wait(&entry, 1, static_cast<int>(left)) < 0) {
      return false;
    }
    if (!entry.readable && !entry.closed) {
      continue;
    }
    char chunk[65536];
    long n = HostStream_Read(qmp_.Get(), chunk, sizeof chunk);
    if (n <= 0) {
      Disconnect();
      return false;
    }
    buffer_.append(chunk, static_cast<size_t>(n));
  }
}

bool StorageDaemon::Command(const char *name, const nlohmann::json &arguments,
                            nlohmann::json *reply, std::string *why) {
  nlohmann::json request = {{"execute", name}};
  if (!arguments.is_null()) {
    request["arguments"] = arguments;
  }
  std::string line = request.dump() + "\n";
  if (!qmp_.Valid() || !HostStream_WriteAll(qmp_.Get(), line.data(), line.size())) {
    *why = "the storage daemon is gone";
    Disconnect();
    return false;
  }
  int64_t deadline = HostClock_NowMs() + kCommandMs;
  for (;;) {
    nlohmann::json message;
    if (!Receive(deadline, &message)) {
      *why = std::string("the storage daemon did not answer ") + name;
      silent_ = true;
      Disconnect();
      return false;
    }
    auto result = message.find("return");
    if (result != message.end()) {
      if (reply != nullptr) {
        *reply = *result;
      }
      return true;
    }
    auto error = message.find("error");
    if (error != message.end()) {
      *why = error->is_object() && error->contains("desc") && (*error)["desc"].is_string()
                 ? (*error)["desc"].get<std::string>()
                 : std::string(name) + " failed";
      return false;
    }
  }
}

bool StorageDaemon::Export(const std::string &id, const std::string &disk, bool writable,
                           std::string *why) {
  std::string top = DiskImage_NodeName(disk + ".", 'l', 0);
  if (!ValidId(id) || exports_.count(id) != 0 ||
      std::find(nodes_.begin(), nodes_.end(), top) == nodes_.end()) {
    *why = "the export \"" + id + "\" exists already, or cannot be made of \"" + disk + "\"";
    return false;
  }
  // FUSE mounts the export over an existing file. An empty one, gone with
  // the export: nothing in it needs a flush.
  int rc = HostState_ReplaceFile(ExportFile(id).c_str(), "", 0);
  if (rc != 0) {
    *why = "cannot create " + ExportFile(id) + ": " + ErrorText(rc);
    return false;
  }
  nlohmann::json request = {{"type", "fuse"},       {"id", id},
                            {"node-name", top},     {"mountpoint", ExportFile(id)},
                            {"writable", writable}, {"allow-other", "off"}};
  if (!Command("block-export-add", request, nullptr, why)) {
    *why = "the storage daemon cannot export the disk: " + *why;
    HostState_RemoveFile(ExportFile(id).c_str());
    return false;
  }
  exports_[id] = disk;
  events_.erase(std::remove(events_.begin(), events_.end(), id), events_.end());
  return true;
}

bool StorageDaemon::Unexport(const std::string &idGiven, std::string *why) {
  const std::string id = idGiven;  // may be a key of exports_, erased below
  auto it = exports_.find(id);
  if (it == exports_.end()) {
    *why = "there is no export \"" + id + "\"";
    return false;
  }
  if (!Command("block-export-del", {{"id", id}}, nullptr, why) ||
      !WaitExportDeleted(id, kCommandMs)) {
    *why = "the storage daemon cannot end the export " + ExportFile(id) + ": " + *why;
    return false;
  }
  exports_.erase(it);
  HostState_RemoveFile(ExportFile(id).c_str());
  return true;
}

bool StorageDaemon::WaitExportDeleted(const std::string &id, int timeoutMs) {
  int64_t deadline = HostClock_NowMs() + timeoutMs;
  for (;;) {
    // Taken once seen: a later export of the same id has its own event.
    auto seen = std::find(events_.begin(), events_.end(), id);
    if (seen != events_.end()) {
      events_.erase(seen);
      return true;
    }
    nlohmann::json message;
    if (!Receive(deadline, &message)) {
      return false;
    }
  }
}

bool StorageDaemon::Adopt(const DaemonRecord &record, std::string *why) {
  if (!ValidName(record.name) || record.pid <= 0) {
    *why = "the storage daemon record is not valid";
    return false;
  }
  Disconnect();
  name_ = record.name;
  pid_ = record.pid;
  child_ = false;
  if (!HostProcess_Alive(pid_) || !HostProcess_HasArgument(pid_, (Folder() + "/pid").c_str())) {
    *why = "the storage daemon " + std::to_string(pid_) + " of " + Folder() + " is gone";
    pid_ = -1;
    return false;
  }
  nlohmann::json nodes, exports;
  if (!Connect(why) || !Command("query-named-block-nodes", {{"flat", true}}, &nodes, why) ||
      !Command("query-block-exports", nullptr, &exports, why)) {
    return false;
  }
  nodes_.clear();
  for (const nlohmann::json &n : nodes) {
    if (n.is_object() && n.contains("node-name") && n["node-name"].is_string()) {
      nodes_.push_back(n["node-name"].get<std::string>());
    }
  }
  nodes_ = DeletionOrder(nodes_);
  std::reverse(nodes_.begin(), nodes_.end());
  exports_.clear();
  for (const nlohmann::json &e : exports) {
    if (e.is_object() && e.contains("id") && e["id"].is_string() && e.contains("node-name") &&
        e["node-name"].is_string()) {
      exports_[e["id"].get<std::string>()] = DiskOfNode(e["node-name"].get<std::string>());
    }
  }
  return true;
}

bool StorageDaemon::Alive() {
  if (pid_ <= 0) {
    return false;
  }
  if (child_ && HostProcess_Wait(pid_, 0, nullptr)) {
    return false;
  }
  return HostProcess_Alive(pid_);
}

bool StorageDaemon::WaitGone(int timeoutMs) {
  if (child_) {
    return HostProcess_Wait(pid_, timeoutMs, nullptr) || !HostProcess_Alive(pid_);
  }
  int64_t deadline = HostClock_NowMs() + timeoutMs;
  while (HostProcess_Alive(pid_)) {
    if (HostClock_NowMs() >= deadline) {
      return false;
    }
    HostClock_SleepMs(5);
  }
  return true;
}

bool StorageDaemon::Stop(std::string *why) {
  if (name_.empty()) {
    return true;
  }
  if (pid_ > 0 && Alive()) {
    // One that let a command's time run out is not asked again.
    bool answering = !silent_ && (qmp_.Valid() || Connect(why));
    while (answering && !exports_.empty()) {
      answering = Unexport(exports_.begin()->first, why);
    }
    while (answering && !nodes_.empty()) {
      answering = Close(DiskOfNode(nodes_.back()), why);
    }
    exports_.clear();
    nodes_.clear();
    if (answering) {
      // The daemon may close the connection before it answers.
      std::string ignored;
      Command("quit", nullptr, nullptr, &ignored);
    }
    Disconnect();
    if (!WaitGone(answering ? kQuitMs : 0)) {
      // Either it hangs or it did not answer: only the daemon itself is
      // ended, which the pid file argument has told apart.
      if (child_ || HostProcess_HasArgument(pid_, (Folder() + "/pid").c_str())) {
        HostProcess_Stop(pid_, true);
      }
      WaitGone(kQuitMs);
    }
  }
  Disconnect();
  bool clean = StorageDaemon_Clean(base_, {pid_, name_}, why);
  pid_ = -1;
  child_ = false;
  return clean;
}

bool StorageDaemon_Clean(const std::string &base, const DaemonRecord &record, std::string *why) {
  if (!ValidName(record.name)) {
    *why = "the storage daemon record is not valid";
    return false;
  }
  std::string folder = base + "/" + record.name;
  if (record.pid > 0 && HostProcess_Alive(record.pid) &&
      HostProcess_HasArgument(record.pid, (folder + "/pid").c_str())) {
    *why = "the storage daemon " + std::to_string(record.pid) + " still runs";
    return false;
  }
  if (!UnmountBelow(folder, why)) {
    return false;
  }
  if (!RemoveFolder(folder)) {
    *why = "cannot remove " + folder;
    return false;
  }
  return true;
}

void StorageDaemon_RemoveStrays(const std::string &base, const std::vector<std::string> &keep,
                                std::vector<std::string> *problems) {
  std::vector<std::string> names;
  HostDir *dir = HostDir_Open(base.c_str());
  bool isDirectory = false;
  while (const char *entry = HostDir_Next(dir, &isDirectory)) {
    if (isDirectory && ValidName(entry) &&
        std::find(keep.begin(), keep.end(), entry) == keep.end()) {
      names.push_back(entry);
    }
  }
  HostDir_Close(dir);
  for (const std::string &name : names) {
    // The daemon's pid file says which process to look for.
    DaemonRecord record = {-1, name};
    char *text = nullptr;
    size_t length = 0;
    if (HostState_ReadFile((base + "/" + name + "/pid").c_str(), 64, &text, &length) == 0) {
      std::string pid(text, length);
      while (!pid.empty() && (pid.back() == '\n' || pid.back() == ' ')) {
        pid.pop_back();
      }
      DaemonRecord_Parse(pid + "," + name, &record);
    }
    free(text);
    std::string why;
    StorageDaemon daemon(base);
    bool gone = record.pid > 0 && daemon.Adopt(record, &why)
                    ? daemon.Stop(&why)
                    : StorageDaemon_Clean(base, record, &why);
    if (!gone) {
      problems->push_back(name + ": " + why);
    }
  }
}
