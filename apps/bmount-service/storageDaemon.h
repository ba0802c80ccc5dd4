// A raw view of a non-raw disk: one qemu-storage-daemon per opened disk opens
// the disk's block nodes and exports them through FUSE onto a file, which
// then reads and writes like a raw image. The daemon is the caller's child in
// a session of its own (terminal signals never reach it, and it outlives a
// killed caller so attached volumes keep working); it is controlled over its
// QMP socket. Everything of one daemon lives in one folder:
//   <base>/<name>/qmp          the QMP socket
//   <base>/<name>/export.<id>  the file of export id (several may exist)
// Node names carry the disk's id: "<disk>.l<i>", "<disk>.f<i>" for layer i
// (see DiskImage_Nodes), "<disk>.r.<export>" for the range of an export.
//   <base>/<name>/pid          the daemon's pid file
//   <base>/<name>/log          what the daemon writes to standard error
// A restarted caller finds it again from a DaemonRecord (pid and name), which
// has a text form without spaces for the mount table.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "diskImage.h"
#include "host/descriptor.h"

struct DaemonRecord {
  long pid = -1;
  std::string name;  // the daemon's folder below the base folder

  bool Empty() const { return pid <= 0; }
};

// "<pid>,<name>" (name holds only letters, digits, '.', '_' and '-').
std::string DaemonRecord_Format(const DaemonRecord &record);
// False when text is not a form DaemonRecord_Format gives.
bool DaemonRecord_Parse(const std::string &text, DaemonRecord *record);

// The files a service holds open, by the paths an image names them by (links
// resolved): for each, a name by which the daemon opens the very file held
// (HostDisk_OpenedName), whatever its path leads to by then.
using HeldFiles = std::map<std::string, std::string>;

class StorageDaemon {
 public:
  // base: the folder that holds one folder per daemon (created when missing).
  explicit StorageDaemon(std::string base);
  // Closes the control connection only: a daemon that was not stopped keeps
  // serving, and its record finds it again.
  ~StorageDaemon();
  StorageDaemon(const StorageDaemon &) = delete;
  StorageDaemon &operator=(const StorageDaemon &) = delete;

  // Starts a daemon in folder <base>/<name>, with no disk open yet. False
  // with *why when it cannot; nothing is left running then.
  bool Launch(const std::string &name, std::string *why);
  // Opens every node of image (not raw) under the id disk, the top read-only
  // when readOnly is set. One daemon may hold several disks (a service may
  // keep one for looking at disks). Ids of disks and exports: a letter, then
  // up to 11 letters, digits, '_' or '-'. The files in held are opened as
  // held, the rest by their paths.
  bool Open(const std::string &disk, const DiskImage &image, bool readOnly, std::string *why,
            const HeldFiles &held = {});
  // Launch, then Open under the id "disk".
  bool Start(const std::string &name, const DiskImage &image, bool readOnly, std::string *why,
             const HeldFiles &held = {});
  // Ends the exports of disk as Unexport does, then deletes its nodes.
  bool Close(const std::string &disk, std::string *why);
  // Exports the whole of disk onto ExportFile(id). Each loop device keeps to
  // its volume's range: QEMU refuses a second writable range export of one
  // disk, so a disk with several attached volumes could not be exported by
  // range.
  bool Export(const std::string &id, const std::string &disk, bool writable, std::string *why);
  // Deletes export id and waits until the daemon reports it gone (its file
  // is then unmounted).
  bool Unexport(const std::string &id, std::string *why);
  // Takes the daemon of a record over after a restart. True when it still
  // runs and answers; false with *why otherwise (then see Clean).
  bool Adopt(const DaemonRecord &record, std::string *why);
  // Ends the daemon in order: deletes every export and waits until each is
  // gone, deletes the nodes, quits and waits for the daemon to end. A daemon that
  // does not answer is killed. Removes its folder. True when everything went;
  // false with *why when something stays (the export file is still mounted).
  bool Stop(std::string *why);

  // True while the daemon runs (reaps it when it was our child and ended).
  bool Alive();
  DaemonRecord Record() const { return {pid_, name_}; }
  std::string ExportFile(const std::string &id) const;
  std::string Folder() const;
  // The ids of the exports that exist.
  std::vector<std::string> Exports() const;
  // Keeps text (the name of what the daemon serves) in its folder, for a
  // finder that has no record of it; 0 or a system error code.
  int Label(const std::string &text) const;

 private:
  // A folder of links through which the daemon opens layer i of disk's image
  // and the extents it names, each leading to the file held; the layer's
  // name there, or "" (opened by its names) when one cannot be given so.
  std::string LinkLayer(const std::string &disk, size_t i, const ImageLayer &layer,
                        const HeldFiles &held);
  bool Connect(std::string *why);
  // Runs a QMP command; *reply (may be NULL) receives its return value.
  bool Command(const char *name, const nlohmann::json &arguments, nlohmann::json *reply,
               std::string *why);
  // Reads one message within the deadline; events are noted, not returned.
  bool Receive(int64_t deadline, nlohmann::json *message);
  bool WaitExportDeleted(const std::string &id, int timeoutMs);
  bool WaitGone(int timeoutMs);
  void Disconnect();

  std::string base_;
  std::string name_;
  long pid_ = -1;
  bool child_ = false;  // started by this process, which must reap it
  HostFd qmp_;
  bool silent_ = false;                         // a command's time ran out: it is ended, not asked
  std::string buffer_;                          // received and not yet read
  std::vector<std::string> events_;             // ids of BLOCK_EXPORT_DELETED seen
  std::vector<std::string> nodes_;              // node names, in the order added
  std::map<std::string, std::string> exports_;  // export id -> disk id
};

// The label the daemon of folder <base>/<name> keeps, or "" when none.
std::string StorageDaemon_Label(const std::string &base, const std::string &name);

// Removes what a daemon that is gone left behind: its exports' mounts (FUSE
// endpoints without a server) and its folder. True when nothing is left;
// false with *why otherwise. Does nothing to a daemon that still runs (false).
bool StorageDaemon_Clean(const std::string &base, const DaemonRecord &record, std::string *why);

// At start, after adoption: ends and removes every daemon folder below base
// whose name is not in keep (a daemon that runs is stopped in order first).
// Adds a text to *problems for each that stays.
void StorageDaemon_RemoveStrays(const std::string &base, const std::vector<std::string> &keep,
                                std::vector<std::string> *problems);
