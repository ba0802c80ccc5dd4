// Disk validation through ValidateDisk, one table of folders built for the
// case: the disk checks and their order (read-only, already mounted under any
// name of the file, compressed, suspended machine), redo logs found through
// old configurations, version 8 snapshots and stray redo chains, the question
// and its answers, and the host's case-sensitive names.
#include "vdiskValidate.h"

#include <sched.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <filesystem>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "brenixMount.h"
#include "errors.h"
#include "messages.h"
#include "testSupport.h"
#include "user/dictionary.h"
#include "user/msg.h"

namespace {

namespace fs = std::filesystem;

// The front end's texts, from its catalogue.
std::string Text(const char *literal, const char *letter = "") {
  return Msg_FormatToString(literal, product::kName, letter);
}
const std::string kAsk = Text(msg::kRedoAsk);
const std::string kShortAbort = Text(msg::kRedoAbortShort);
const std::string kLongAbort = Text(msg::kRedoAbortLong);
const std::string kMultiple = Text(msg::kMultipleRedo);
const std::string kReadOnly = Text(msg::kCantMountReadOnly);
const std::string kCompressed = Text(msg::kNoCompressed);
const std::string kSuspended = Text(msg::kNoSuspended);
std::string Mounted(const char *letter) { return Text(msg::kOneVolumePerDisk, letter); }
// The outcome of a run that uses the file name (relative to the case folder).
std::string Use(const std::string &name) { return "use " + name; }
// The outcome of a host failure, with the detail after its source.
std::string Api(const std::string &detail) { return "api: " + detail; }

// An old configuration with one disk device.
std::string OldConfig(const std::string &device, const std::string &fileName,
                      const std::string &redo = "", const std::string &present = "TRUE",
                      const std::string &mode = "undoable", const std::string &version = "7") {
  std::string text = "config.version = \"" + version + "\"\n";
  text += "displayName = \"Test machine\"\nmemsize = \"256\"\n";
  text += device + ".present = \"" + present + "\"\n";
  text += device + ".fileName = \"" + fileName + "\"\n";
  if (!mode.empty()) text += device + ".mode = \"" + mode + "\"\n";
  if (!redo.empty()) text += device + ".redo = \"" + redo + "\"\n";
  return text;
}

// A version 8 configuration whose scsi0:0 is fileName, and its snapshot
// database with one snapshot of base on that device.
std::string Config8(const std::string &fileName) {
  return "config.version = \"8\"\nscsi0.present = \"TRUE\"\nscsi0:0.present = \"TRUE\"\n"
         "scsi0:0.fileName = \"" +
         fileName + "\"\n";
}

using Entries = std::vector<std::pair<std::string, std::string>>;

// The child disk, a version 8 machine running it, and its snapshot of base.
Entries Child8(const std::string &child, const std::string &base) {
  std::string database =
      "snapshot.numSnapshots = \"1\"\nsnapshot.current = \"1\"\nsnapshot0.uid = \"1\"\n"
      "snapshot0.numDisks = \"1\"\nsnapshot0.disk0.node = \"scsi0:0\"\n"
      "snapshot0.disk0.fileName = \"" +
      base + "\"\n";
  return {{child, ""}, {"vm.bxx", Config8(child)}, {"vm.bxsd", database}};
}
using Mounts = std::vector<std::pair<std::string, std::string>>;

struct Case {
  std::string what;
  std::string want;  // Use(...), the refusal text, or Api(...)
  // Made in order after the disk (which holds "disk"), names relative to the
  // case folder. Besides bytes an entry can be "<folder>", "<fifo>", "<huge>", "<gone>",
  // "<chmod>" (read-only mode bits), "<nobody>" (another user's), "<dos>0x.." (DOS attributes),
  // "<link>x" or "<symlink>x" (links to x, relative to the case folder unless full).
  Entries files;
  std::string how;  // "/y", "/n", or what is typed at the question
  bool asked = false;
  Mounts mounts;  // letter and file name relative to the case folder
  std::string disk = "disk.bxdk";
};

// Replaces "@" by the case folder and "@\" by the folder written with "\"
// (in file bytes and in the wanted outcome).
std::string Expand(std::string text, const std::string &root) {
  std::string back = root;
  for (char &c : back) c = c == '/' ? '\\' : c;
  for (size_t at = 0; (at = text.find('@', at)) != std::string::npos;) {
    bool backslashed = text.compare(at, 2, "@\\") == 0;
    text.replace(at, backslashed ? 2 : 1, backslashed ? back + "\\" : root);
    at += root.size();
  }
  return text;
}

// Makes one entry; false when the file system keeps no DOS attributes.
bool Make(const std::string &root, const std::string &name, const std::string &bytes) {
  std::string path = root + "/" + name;
  fs::create_directories(fs::path(path).parent_path());
  if (bytes == "<folder>") {
    fs::create_directories(path);
  } else if (bytes == "<fifo>") {
    EXPECT_EQ(mkfifo(path.c_str(), 0600), 0);
  } else if (bytes == "<huge>") {  // a sparse file past what is read of a machine's
    testsupport::WriteFile(path, "");
    fs::resize_file(path, DICT_LOAD_BOUND + 1);
  } else if (bytes == "<gone>") {
    fs::remove(path);
  } else if (bytes == "<nobody>") {  // another user's (a link itself), in a folder they may search
    fs::permissions(root, fs::perms::others_exec, fs::perm_options::add);
    return lchown(path.c_str(), 65534, 65534) == 0;
  } else if (bytes == "<chmod>") {
    fs::permissions(path, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
  } else if (bytes.starts_with("<dos>")) {
    if (!fs::exists(path)) testsupport::WriteFile(path, "");
    std::string value = bytes.substr(5);
    return setxattr(path.c_str(), "user.DOSATTRIB", value.data(), value.size(), 0) == 0;
  } else if (bytes.starts_with("<link>")) {
    fs::create_hard_link(root + "/" + bytes.substr(6), path);
  } else if (bytes.starts_with("<symlink>")) {
    std::string target = bytes.substr(9);
    fs::create_symlink(target.starts_with("/") ? target : root + "/" + target, path);
  } else {
    testsupport::WriteFile(path, Expand(bytes, root));
  }
  return true;
}

// Builds the case's folder below root and validates its disk; returns the
// outcome as Case::want, or nothing when the case cannot be built here.
std::optional<std::string> Validate(const Case &c, const std::string &root) {
  std::string disk = c.disk.starts_with("/") ? c.disk : root + "/" + c.disk;
  if (!c.disk.starts_with("/")) Make(root, c.disk, "disk");
  for (const auto &[name, bytes] : c.files) {
    if (!Make(root, name, bytes)) return std::nullopt;
  }
  std::vector<MountedVolume> mounts;
  for (const auto &[letter, name] : c.mounts) mounts.push_back({letter, root + "/" + name});
  int mode = c.how == "/y" ? kSnapshotYes : c.how == "/n" ? kSnapshotNo : kSnapshotAsk;
  std::istringstream in(mode == kSnapshotAsk ? c.how : "");
  std::ostringstream question;
  int reads = 0;
  ValidationIo io{[&] {
                    reads++;
                    return mounts;
                  },
                  &in, &question};
  std::string result;
  try {
    EXPECT_TRUE(ValidateDisk(disk, mode, io));
    result = Use(disk.starts_with(root + "/") ? disk.substr(root.size() + 1) : disk);
  } catch (const UserError &e) {
    result = e.what();
  } catch (const ApiException &e) {
    std::string text = e.what();  // the system's text and the source, then the detail
    size_t detail = text.find(" while ");
    result = Api(detail == std::string::npos ? "" : text.substr(detail + 1));
  }
  EXPECT_EQ(question.str(), c.asked ? kAsk : "");
  // Of the answer only its first letter is read: the rest may never end.
  size_t letter = c.how.find_first_not_of(" \n");
  if (c.asked && letter != std::string::npos) {
    EXPECT_EQ(in.tellg(), letter + 1) << c.how;
  }
  // The mounts are read once, after the disk's own attributes.
  EXPECT_EQ(reads, c.want == kReadOnly || c.want == Api("") ? 0 : 1);
  return result;
}

Case C(std::string what, std::string want, Entries files = {}, std::string how = "",
       bool asked = false, Mounts mounts = {}, std::string disk = "disk.bxdk") {
  return {what,  std::move(want),   std::move(files), std::move(how),
          asked, std::move(mounts), std::move(disk)};
}

std::vector<Case> Cases() {
  const std::string redo = "disk.bxdk.REDO";
  std::vector<Case> cases = {
      // The disk file checks, in their order.
      C("read-only mode bits, refused before the service is asked", kReadOnly,
        {{"disk.bxdk", "<chmod>"}, {redo, ""}}, "/y"),
      C("read-only attribute", kReadOnly, {{"disk.bxdk", "<dos>0x21"}}),
      C("archive attribute", Use("disk.bxdk"), {{"disk.bxdk", "<dos>0x20"}}),
      C("vanished disk", Api(""), {{"disk.bxdk", "<gone>"}}),
      C("no full path can be made", Api(""), {}, "", false, {}, "/" + std::string(5000, 'a')),
      C("compressed disk, after the mounted check", kCompressed, {{"disk.bxdk", "<dos>0x800"}}),
      C("compressed redo image taken by /y", kCompressed, {{redo, "<dos>0x800"}}, "/y"),
      C("compressed redo image taken by the answer", kCompressed, {{redo, "<dos>0x800"}}, "y",
        true),
      C("compressed redo image not taken", kLongAbort, {{redo, "<dos>0x800"}}, "/n"),
      C("mounted through a symbolic link", Mounted("G"),
        {{"link.bxdk", "<symlink>disk.bxdk"}, {"other/disk.bxdk", ""}}, "", false,
        {{"E", "other/disk.bxdk"}, {"G", "link.bxdk"}}),
      C("mounted through a hard link, the first match named", Mounted("H"),
        {{"link.bxdk", "<symlink>disk.bxdk"}, {"hard.bxdk", "<link>disk.bxdk"}}, "", false,
        {{"H", "hard.bxdk"}, {"G", "link.bxdk"}}),
      C("mounted through a dotted path", Mounted("G"), {}, "", false, {{"G", "./disk.bxdk"}}),
      C("a disk of the same name elsewhere is mounted", Use("disk.bxdk"), {{"other/disk.bxdk", ""}},
        "", false, {{"E", "other/disk.bxdk"}}),
      C("mounted files that cannot be looked up match nothing", Use("disk.bxdk"), {}, "", false,
        {{"K", "gone.bxdk"}, {"L", "gone2.bxdk"}}),
      C("the redo image taken by /y is mounted", Mounted("K"), {{redo, ""}}, "/y", false,
        {{"K", redo}}),
      C("the redo image taken by the answer is mounted", Mounted("K"), {{redo, ""}}, "y", true,
        {{"K", redo}}),
      C("a redo image of the same name elsewhere is mounted", Use(redo),
        {{redo, ""}, {"other/" + redo, ""}}, "/y", false, {{"K", "other/" + redo}}),
      C("suspended machine, refused after the question", kSuspended,
        {{"Win.bxx", OldConfig("scsi0:0", "disk.bxdk")}, {redo, ""}, {"WIN.BXSS", ""}}, "y", true),
      C("a suspended machine that does not use the disk", Use("disk.bxdk"),
        {{"other.bxx", OldConfig("scsi0:0", "other.bxdk")}, {"other.bxss", ""}}),
      C("the mounted check comes before the scan", Mounted("E"), {{"vm.bxx", "<folder>"}}, "",
        false, {{"E", "disk.bxdk"}}),
      C("a configuration that is a folder stops the scan", Api("while reading @/vm.bxx"),
        {{"vm.bxx", "<folder>"}}),
      C("a configuration that is a pipe stops the scan without waiting",
        Api("while reading @/pipe.bxx"), {{"pipe.bxx", "<fifo>"}}),
      C("a configuration too large to be one stops the scan unread",
        Api("while reading @/huge.bxx"), {{"huge.bxx", "<huge>"}}),
      // A link to the disk: the machines beside the file itself count too.
      C("a link to the disk of a suspended machine elsewhere", kSuspended,
        {{"vms/disk.bxdk", "disk"},
         {"vms/vm.bxx", OldConfig("scsi0:0", "disk.bxdk")},
         {"vms/vm.bxss", ""},
         {"home/link.bxdk", "<gone>"},
         {"home/link.bxdk", "<symlink>vms/disk.bxdk"}},
        "", false, {}, "home/link.bxdk"),
      C("a link to a disk with a redo log elsewhere", Use("vms/disk.bxdk.REDO"),
        {{"vms/disk.bxdk", "disk"},
         {"vms/disk.bxdk.REDO", ""},
         {"home/link.bxdk", "<gone>"},
         {"home/link.bxdk", "<symlink>vms/disk.bxdk"}},
        "/y", false, {}, "home/link.bxdk"),
      C("a link beside the disk of a suspended machine", kSuspended,
        {{"disk.bxdk", "disk"},
         {"vm.bxx", OldConfig("scsi0:0", "disk.bxdk")},
         {"vm.bxss", ""},
         {"link.bxdk", "<gone>"},
         {"link.bxdk", "<symlink>disk.bxdk"}},
        "", false, {}, "link.bxdk"),
      C("a large configuration is read whole", kSuspended,
        {{"vm.bxx", std::string(100000, '#') + "\n" + OldConfig("ide0:0", "disk.bxdk")},
         {"vm.bxss", ""}}),

      // Redo logs of old configurations and stray chains.
      C("nothing in the folder uses the disk", Use("disk.bxdk"),
        {{"notes.txt", "disk.bxdk"}, {"other.bxdk.REDO", ""}}),
      C("a configuration and the stray scan find one redo log: one question", Use("Disk.bxdk.REDO"),
        {{"win.bxx", OldConfig("scsi0:0", "Disk.bxdk")}, {"Disk.bxdk.REDO", ""}}, "y\n", true, {},
        "Disk.bxdk"),
      C("a relative redo value; only its last name ignores case", Use("VM/Redo Logs/Disk.REDO"),
        {{"VM/Redo Logs/Disk.REDO", ""},
         {"VM/a.bxx", OldConfig("scsi0:0", "disk.bxdk", "redo logs/../Redo Logs/disk.redo")}},
        "/y", false, {}, "VM/disk.bxdk"),
      C("a redo value's folder is taken as written", Use("VM/disk.bxdk"),
        {{"VM/Redo Logs/Disk.REDO", ""},
         {"VM/a.bxx", OldConfig("scsi0:0", "disk.bxdk", "redo logs/disk.redo")}},
        "/y", false, {}, "VM/disk.bxdk"),
      C("an absolute redo value", Use("other/Abs.Redo"),
        {{"other/Abs.Redo", ""}, {"a.bxx", OldConfig("scsi0:0", "disk.bxdk", "@/other/abs.redo")}},
        "/y"),
      C("a redo value written on the original platform names nothing here", Use("disk.bxdk"),
        {{"d:\\redo\\x.redo", ""},
         {"a.bxx", OldConfig("scsi0:0", "disk.bxdk", "d:\\redo\\x.redo")}},
        "/y"),
      C("the end of a stray redo chain; lock files and folders are skipped",
        Use("DATA.BXDK.REDO.redo_a01234"),
        {{"win.bxx", OldConfig("scsi0:0", "Data.bxdk", "", "false")},
         {"data.bxdk.redo", ""},
         {"DATA.BXDK.REDO.redo_a01234", ""},
         {"DATA.BXDK.REDO.redo_a01234.lck", ""},
         {"Data.bxdk.REDO.redo_a01234.REDO", "<folder>"}},
        "/y", false, {}, "Data.bxdk"),
      C("a lock file alone is no redo log", Use("disk.bxdk"), {{redo + ".lck", ""}}),
      C("/n refuses without asking", kLongAbort, {{redo, ""}}, "/n"),
      C("mixed case and pattern characters in the names",
        Use("VMs/Win [A]/disk+1 (COPY).bxdk.redo"),
        {{"VMs/Win [A]/disk+1 (COPY).bxdk.redo", ""},
         {"VMs/Win [A]/Win.BXX", OldConfig("ide0:0", "disk+1 (copy).BXDK")}},
        "y", true, {}, "VMs/Win [A]/Disk+1 (copy).bxdk"),
      C("a dot in the disk name is no wildcard", Use("disk.1.bxdk"),
        {{"vm.bxx", OldConfig("ide0:0", "diskx1.bxdk")}, {"vm.bxss", ""}}, "", false, {},
        "disk.1.bxdk"),
      // Letters at every offset of the eight-byte steps of the case folding.
      C("names compared without regard to case", kSuspended,
        {{"vm.bxx", OldConfig("ide0:1", "@/ABCDEFGHIJKLMNOPQRSTUVWXYZ[`{.BXDK")}, {"vm.bxss", ""}},
        "", false, {}, "abcdefghijklmnopqrstuvwxyz[`{.bxdk"),
      C("a path written with \"\\\" names the same disk", kSuspended,
        {{"vm.bxx", OldConfig("ide0:1", "@\\disk.bxdk")}, {"vm.bxss", ""}}),
      C("a backslash in the disk's host name is part of its name", kSuspended,
        {{"vm.bxx", OldConfig("ide0:1", "a\\b.bxdk")}, {"vm.bxss", ""}}, "", false, {},
        "a\\b.bxdk"),

      // Version 8: the current disks from the configuration, the snapshots
      // from the database beside it.
      C("version 8 running the disk itself", Use("disk.bxdk"), {{"vm.bxx", Config8("disk.bxdk")}}),
      C("a sibling child reduces to the same base", Use("a-b-000003.bxdk"),
        Child8("a-b-000003.bxdk", "a-b-000001.bxdk"), "/y", false, {}, "a-b-000001.bxdk"),
      C("an unreadable snapshot state with another disk", Use("disk.bxdk"),
        {{"vm.bxx", Config8("other.bxdk")}, {"vm.bxsd", "a = 1\nA = 2\n"}}),
      C("version 8 running the disk through a linked folder", Use("real/disk.bxdk"),
        {{"alias", "<symlink>real"}, {"real/vm.bxx", Config8("@/alias/disk.bxdk")}}, "", false, {},
        "real/disk.bxdk"),
  };
  const std::string unreadable =
      "The snapshot state of the virtual machine configured in\n'@/vm.bxx' cannot be "
      "read: Dictionary problem.\nThe disk was not mounted.\n";
  {
    // Of the database's names in another case, the one that sorts first.
    Entries files = Child8("disk-000003.bxdk", "disk.bxdk");
    files.back().first = "VM.BXSD";
    files.push_back({"Vm.bxsd", ""});
    cases.push_back(C("a database in another case", Use("disk-000003.bxdk"), files, "/y"));
  }
  // A database that is no file is not waited on, nor read without end.
  for (const char *special : {"<fifo>", "<symlink>/dev/zero", "<huge>"}) {
    cases.push_back(C(std::string("a snapshot database that is ") + special, unreadable,
                      {{"vm.bxx", Config8("disk.bxdk")}, {"vm.bxsd", special}}, "/y"));
  }
  for (const char *how : {"y", "/y", "/n"}) {
    cases.push_back(C("version 8 running a child of the disk",
                      how[1] == 'n' ? kLongAbort : Use("disk-000003.bxdk"),
                      Child8("disk-000003.bxdk", "disk.bxdk"), how, how[0] != '/'));
    cases.push_back(C("an unreadable snapshot state of a machine that uses the disk", unreadable,
                      {{"vm.bxx", Config8("disk.bxdk")}, {"vm.bxsd", "a = 1\nA = 2\n"}}, how));
    for (const char *parent : {"disk", "alias"}) {  // alias.bxdk: a link to the disk
      std::string child = std::string(parent) + "-000003.bxdk";
      cases.push_back(
          C("an unreadable snapshot state of a machine running a child of " + std::string(parent),
            unreadable,
            {{"alias.bxdk", "<symlink>disk.bxdk"},
             {child, ""},
             {"vm.bxx", Config8(child)},
             {"vm.bxsd", "a = 1\nA = 2\n"}},
            how));
    }
    // Written on the original platform: only the file name can decide.
    for (const char *value : {"C:\\VMs\\disk.bxdk", "C:\\VMs\\DISK-000003.bxdk"}) {
      cases.push_back(C(std::string("an unreadable snapshot state of a machine running ") + value,
                        unreadable, {{"vm.bxx", Config8(value)}, {"vm.bxsd", "a = 1\nA = 2\n"}},
                        how));
    }
    // The child of the disk found through the disk's other names.
    for (const char *link : {"<symlink>disk.bxdk", "<link>disk.bxdk"}) {
      Entries files = Child8("disk-000003.bxdk", "disk.bxdk");
      files.insert(files.end(),
                   {{"disk.bxdk", "disk"}, {"other.bxdk", "<gone>"}, {"other.bxdk", link}});
      cases.push_back(C(std::string("version 8 running a child of ") + link,
                        how[1] == 'n' ? kLongAbort : Use("disk-000003.bxdk"), files, how,
                        how[0] != '/', {}, "other.bxdk"));
    }
    // A redo image named by another user must be one they may write: the
    // superuser would otherwise attach someone else's file for them.
    const Entries others[] = {
        {{"disk.redo", ""},
         {"vm.bxx", OldConfig("scsi0:0", "disk.bxdk", "disk.redo")},
         {"vm.bxx", "<nobody>"}},
        {{"disk-000003.bxdk", ""},
         {"vm.bxx", Config8("disk-000003.bxdk")},
         {"vm.bxsd", Child8("disk-000003.bxdk", "disk.bxdk")[2].second},
         {"vm.bxx", "<nobody>"}},
        {{redo, ""}, {"disk.bxdk", "<nobody>"}},
        // Another user's links: to my machine, which names the image from
        // their folder, and to my disk, beside which they put the log.
        {{"disk.redo", ""},
         {"mine/vm.bxx", OldConfig("scsi0:0", "disk.bxdk", "@/disk.redo")},
         {"vm.bxx", "<symlink>mine/vm.bxx"},
         {"vm.bxx", "<nobody>"}},
        {{redo, ""},
         {"mine/disk.bxdk", "disk"},
         {"disk.bxdk", "<gone>"},
         {"disk.bxdk", "<symlink>mine/disk.bxdk"},
         {"disk.bxdk", "<nobody>"}},
        // Found beside the disk too: the configuration is named.
        {{redo, ""},
         {"disk.bxdk", "<nobody>"},
         {"vm.bxx", OldConfig("scsi0:0", "disk.bxdk")},
         {"vm.bxx", "<nobody>"}},
    };
    for (const Entries &files : others) {
      std::string image = files[0].first, namer = files.back().first;
      bool linked = std::any_of(files.begin(), files.end(), [&](const auto &e) {
        return e.first == namer && e.second.starts_with("<symlink>");
      });
      std::string refusal =
          Msg_FormatToString(msg::kSnapshotUnreadable, ("@/" + namer).c_str(),
                             ("the owner of that " + std::string(linked ? "link" : "file") +
                              " may not write its current disk '@/" + image + "'")
                                 .c_str());
      cases.push_back(C("another user's machine naming my " + image,
                        how[1] == 'n' ? kLongAbort : refusal, files, how));
      Entries theirs = files;
      theirs.push_back({image, "<nobody>"});
      cases.push_back(C("another user's machine naming their " + image,
                        how[1] == 'n' ? kLongAbort : Use(image), theirs, how, how[0] != '/'));
    }
    // A redo log beside the disk a link leads to is named by the link too,
    // as the service would not take the disk through it.
    cases.push_back(C("my redo log beside my disk, through another user's link",
                      how[1] == 'n' ? kLongAbort
                                    : Msg_FormatToString(msg::kSnapshotUnreadable, "@/disk.bxdk",
                                                         "the owner of that link may not write its "
                                                         "current disk '@/mine/disk.bxdk.REDO'"),
                      {{"mine/disk.bxdk", "disk"},
                       {"mine/disk.bxdk.REDO", ""},
                       {"disk.bxdk", "<gone>"},
                       {"disk.bxdk", "<symlink>mine/disk.bxdk"},
                       {"disk.bxdk", "<nobody>"}},
                      how));
    // Nobody named a redo log another user put beside my disk.
    cases.push_back(C("another user's redo log beside my disk",
                      how[1] == 'n' ? kLongAbort
                                    : Msg_FormatToString(msg::kSnapshotUnreadable, "@/disk.bxdk",
                                                         ("its current disk '@/" + redo +
                                                          "' belongs to another user than the disk")
                                                             .c_str()),
                      {{redo, ""}, {redo, "<nobody>"}}, how));
    cases.push_back(C("two machines with different redo images", kMultiple,
                      {{"a.redo", ""},
                       {"b.redo", ""},
                       {"a.bxx", OldConfig("scsi0:0", "disk.bxdk", "a.redo")},
                       {"b.bxx", OldConfig("ide0:0", "disk.bxdk", "b.redo")}},
                      how));
  }
  // The version is found in any case, and read through the snapshot reader.
  for (const char *header : {"CONFIG.VERSION", "Config.Version"}) {
    Entries files = Child8("disk-000003.bxdk", "disk.bxdk");
    files[1].second.replace(0, 14, header);
    cases.push_back(C(header, Use("disk-000003.bxdk"), files, "/y"));
  }
  for (const char *yes : {"y", "Y", "yes", "  \n y", "Yo\n"}) {
    cases.push_back(C("an answer that agrees", Use(redo), {{redo, ""}}, yes, true));
  }
  for (const char *no : {"n", "ok", "", " \n", "xy"}) {
    cases.push_back(C("an answer that declines", kShortAbort, {{redo, ""}}, no, true));
  }
  // Which devices of an old configuration use the disk, and which have a
  // redo log: a machine that uses the disk is refused once it is suspended.
  const std::tuple<std::string, bool, bool> devices[] = {
      // uses the disk, finds the redo log
      {OldConfig("scsi0:0", "disk.bxdk", "disk.redo", "true"), true, true},
      {OldConfig("ide1:0", "@/disk.bxdk", "disk.redo", "True"), true, true},
      {OldConfig("scsi0:0", "DISK.BXDK", "disk.redo", "FALSE"), false, false},
      {OldConfig("scsi0:0", "disk.bxdk", "disk.redo", "TRUE", "persistent"), true, false},
      {OldConfig("scsi0:0", "disk.bxdk", std::string(5000, 'r'), "TRUE", "persistent"), true,
       false},
      {OldConfig("scsi0:0", "disk.bxdk", "missing.redo"), true, false},
      {OldConfig("scsi0:10", "disk.bxdk", "disk.redo"), false, false},
      {OldConfig("scsi0:0", "other.bxdk", "disk.redo"), false, false},
      // No version at all, or version 0: read as an old configuration.
      {OldConfig("scsi0:0", "disk.bxdk", "disk.redo", "TRUE", "undoable", "0"), true, true},
      {"ide0:0.present = \"TRUE\"\nide0:0.fileName = \"disk.bxdk\"\nide0:0.mode = \"undoable\"\n"
       "ide0:0.redo = \"disk.redo\"\n",
       true, true},
  };
  for (const auto &[config, uses, redo] : devices) {
    Entries files = {{"disk.redo", ""}, {"vm.bxx", config}};
    cases.push_back(C("device: " + config, Use(redo ? "disk.redo" : "disk.bxdk"), files, "/y"));
    files.push_back({"vm.bxss", ""});
    cases.push_back(
        C("suspended device: " + config, uses ? kSuspended : Use("disk.bxdk"), files, "/y"));
  }
  return cases;
}

// Configurations beside each case's own, enough for the folder to be read
// ahead on other processors; none names a disk of the cases.
Entries Padding() {
  Entries padding;
  for (int i = 0; i < 200; i++) {
    std::string name = "zz" + std::to_string(1000 + i);
    padding.push_back(
        {name + ".bxx", i % 2 == 0 ? Config8(name + ".bxdk") : OldConfig("ide0:0", name)});
  }
  return padding;
}

TEST(ValidateDisk, Cases) {
  for (bool padded : {false, true}) {
    for (Case c : Cases()) {
      SCOPED_TRACE(c.what + ", " + c.how + (padded ? ", among many machines" : ""));
      if (padded) {
        Entries padding = Padding();
        c.files.insert(c.files.begin(), padding.begin(), padding.end());
      }
      testsupport::TempDir dir;
      std::optional<std::string> r = Validate(c, dir.path());
      EXPECT_EQ(r.value_or(Expand(c.want, dir.path())), Expand(c.want, dir.path()));
      if (!r && !padded) std::cout << "skipped (no DOS attributes here): " << c.what << "\n";
    }
  }
}

// Runs body on one processor: the folder is then read in order, by the scan
// alone. Restores the processors it may run on.
template <typename Body>
void OnOneProcessor(Body body) {
  cpu_set_t all;
  ASSERT_EQ(sched_getaffinity(0, sizeof all, &all), 0);
  cpu_set_t one;
  CPU_ZERO(&one);
  for (int cpu = 0; cpu < CPU_SETSIZE; cpu++) {
    if (CPU_ISSET(cpu, &all)) {
      CPU_SET(cpu, &one);
      break;
    }
  }
  ASSERT_EQ(sched_setaffinity(0, sizeof one, &one), 0);
  body();
  ASSERT_EQ(sched_setaffinity(0, sizeof all, &all), 0);
}

// A folder of many machines, some of whose files make the snapshot reader
// say something, is read ahead: what it says, and the outcome, are those of
// reading it in order, and nothing is said of a machine after the one that
// stops the scan.
TEST(ValidateDisk, ReadAheadSaysWhatTheOrderedScanSays) {
  cpu_set_t all;
  ASSERT_EQ(sched_getaffinity(0, sizeof all, &all), 0);
  if (CPU_COUNT(&all) < 2) GTEST_SKIP() << "one processor: the folder is never read ahead";
  const std::string syntaxError = Config8("other.bxdk") + "not an assignment\n";
  const std::string notBoolean = Config8("other.bxdk") + "templateVM = \"maybe\"\n";
  struct Folder {
    std::string what;
    Entries files;
    std::string want;
    bool saysAll;  // else nothing is said of m60
  } folders[] = {
      {"a child in use among machines that say something",
       {{"m10.bxx", syntaxError}, {"m20.bxx", notBoolean}, {"m60.bxx", syntaxError}},
       Use("disk-000003.bxdk"),
       true},
      {"a machine that cannot be read stops the scan",
       {{"m10.bxx", syntaxError},
        {"m20.bxx", notBoolean},
        {"m50.bxx", "<fifo>"},
        {"m60.bxx", notBoolean}},
       Api("while reading @/m50.bxx"),
       false},
  };
  for (const Folder &folder : folders) {
    SCOPED_TRACE(folder.what);
    Case c = C(folder.what, folder.want, Padding(), "/y");
    Entries child = Child8("disk-000003.bxdk", "disk.bxdk");
    c.files.insert(c.files.end(), child.begin(), child.end());
    c.files.insert(c.files.end(), folder.files.begin(), folder.files.end());
    std::string said[2];
    for (int alone = 0; alone < 2; alone++) {
      testsupport::TempDir dir;
      Msg_Reset(false);  // what earlier runs appended and never posted
      testing::internal::CaptureStderr();
      std::optional<std::string> r;
      if (alone == 1) {
        OnOneProcessor([&] { r = Validate(c, dir.path()); });
      } else {
        r = Validate(c, dir.path());
      }
      std::string text = testing::internal::GetCapturedStderr();
      EXPECT_EQ(r, Expand(c.want, dir.path()));
      // Without the folder's name, which differs between the runs.
      for (size_t from = 0, at;; from = at + dir.path().size()) {
        at = text.find(dir.path(), from);
        said[alone].append(text, from, at == std::string::npos ? at : at - from);
        if (at == std::string::npos) break;
        said[alone] += '@';
      }
    }
    EXPECT_EQ(said[0], said[1]);
    size_t m10 = said[0].find("'@/m10.bxx'");
    size_t m20 = said[0].find("`maybe'");
    EXPECT_TRUE(m10 != std::string::npos && m20 != std::string::npos && m10 < m20) << said[0];
    EXPECT_EQ(said[0].find("m60") != std::string::npos, folder.saysAll) << said[0];
  }
}

}  // namespace
