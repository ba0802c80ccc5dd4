// Loop devices: a byte range of a file presented as a block device. Whoever
// sets one up here gives it a tag (kept by the kernel with the device, in the
// field meant for the backing file's name), so that after a crash it can tell
// its own devices from everyone else's. A device is set up to free itself
// when its last user goes, so a process that dies before handing it to a
// mount leaves nothing behind. Functions returning int give 0 or a system
// error code.
#pragma once

#include <cstddef>
#include <cstdint>

// The longest tag, terminating NUL included.
constexpr size_t HOSTLOOP_TAG_SIZE = 64;

// Returns true when this process can set up loop devices (it runs as the
// superuser and the loop control device opens). Otherwise false, and *why
// (malloc'd; the caller frees it) says what is missing.
bool HostLoop_Usable(char **why);

// A loop device as held by the caller.
struct HostLoopDevice {
  int number = -1;  // /dev/loop<number>
  int fd = -1;      // the caller's descriptor on it, or -1
  bool readOnly = false;
};

// Writes "/dev/loop<number>" into buf.
void HostLoop_Path(int number, char *buf, size_t size);

// Sets up a free loop device on file[offset, offset + length), tagged, and
// keeps it open in *loop. The file is opened for writing, or read-only
// (loop->readOnly) when it has the read-only attribute (fs.h; the superuser
// could write it all the same) or cannot be written. The device frees itself when the
// last descriptor on it closes, unless something else (a mount) holds it or
// HostLoop_SetAutoFree turned that off.
int HostLoop_Attach(const char *file, uint64_t offset, uint64_t length, const char *tag,
                    HostLoopDevice *loop);

// Opens device number and checks that it carries tag. ENXIO when the device
// is not set up (or does not exist), ESTALE when it carries another tag,
// ETIMEDOUT when it gives no answer within 2 s (reading the tag asks the
// file's own file system, which may not answer); loop->fd is then -1.
int HostLoop_Open(int number, const char *tag, HostLoopDevice *loop);
// The same for a device known by its backing file (as the kernel names it,
// links resolved), without asking the file's own file system: ESTALE when
// it presents another file.
int HostLoop_OpenBacked(int number, const char *backing, HostLoopDevice *loop);
// The same for a device known by the file and byte range it presents,
// without asking the file's own file system: ESTALE unless it presents
// [offset, offset + length) of the file the caller holds open as backing
// (by the kernel's name of it). For a device whose tag cannot be read.
int HostLoop_OpenSpan(int number, uint64_t offset, uint64_t length, int backing,
                      HostLoopDevice *loop);

// Bounds the requests the device passes to its file to kilobytes each; 0
// lets them be as large as the device takes. The bound stays with the
// device, also after it is freed.
int HostLoop_LimitRequests(const HostLoopDevice *loop, unsigned kilobytes);
// Keeps the device from passing discards, and zeroes that may be
// deallocated, to its file as holes punched in it: a discard then fails, and
// the kernel writes such zeroes itself. The kernel keeps that with the device
// for good, so set it on devices HostLoop_AttachUnpunched set up: those it
// uses again for its next attaches, HostLoop_AttachHandle never, and
// HostLoop_RemoveKept removes once they have stayed free freeMs.
int HostLoop_KeepFromPunching(const HostLoopDevice *loop);
int HostLoop_AttachUnpunched(int backing, bool readOnly, uint64_t offset, uint64_t length,
                             const char *tag, HostLoopDevice *loop);
void HostLoop_RemoveKept(int freeMs);
// Removes the free devices kept from punching holes that this process does
// not keep: a service killed left them so.
void HostLoop_RemoveUnpunching(void);

// Turns freeing on last close on or off.
int HostLoop_SetAutoFree(const HostLoopDevice *loop, bool on);

// Frees the device: at once when nobody else has it open, otherwise when its
// last user closes it. Closes loop->fd either way.
int HostLoop_Free(HostLoopDevice *loop);

// True when something besides this process uses the device held in *loop: a
// mount or another exclusive user, a device built on it, or any other
// process with it open. Errors along the way count as not in use.
bool HostLoop_InUseElsewhere(const HostLoopDevice *loop);

// As HostLoop_InUseElsewhere, for a device whose file system the caller has
// mounted on folder: true when unmounting folder would not let go of the file
// system or would take down something else (see HostMount_UsedBeyond), or a
// device is built on it. Processes that merely have the device open do not
// count: the device stays theirs until they close it.
bool HostLoop_InUseBesidesMount(const HostLoopDevice *loop, const char *folder);

// Closes the caller's descriptor (the device stays as it is). Accepts a
// closed one.
void HostLoop_Close(HostLoopDevice *loop);

// Calls visit(number, tag, context) for every loop device that is set up and
// answers within 2 s: asking a device whose file a FUSE or network server
// presents waits for that server, for ever once it has stopped, and such a
// device is passed over instead (and, by the process, for a minute). Returns 0 or a system error
// code when the devices cannot be listed.
int HostLoop_ForEach(void (*visit)(int number, const char *tag, void *context), void *context);

// As HostLoop_Attach, on a file the caller has open (backing), read-only
// when readOnly says so rather than when writing happens to be refused.
int HostLoop_AttachHandle(int backing, bool readOnly, uint64_t offset, uint64_t length,
                          const char *tag, HostLoopDevice *loop);

// Returns the device number, as stat gives it, of a backing device number
// as the loop status gives it.
uint64_t HostLoop_DecodeDevice(uint64_t encoded);

// Calls visit(number, self, device, inode, backing, context) for every loop
// device that is set up: self is its own device number, device and inode
// identify its backing file as stat gives them. A device whose file lies on
// a file system that a process or the network serves is left out unless
// that file system is one of fileSystems[0, count) (device numbers as stat
// gives them). One that does not answer within 2 s (asked again even when
// it gave no answer lately) is passed with device and inode 0 and backing,
// the kernel's name of its file (NULL when unknown; always NULL for the
// others). Returns 0 or a system error code when the devices cannot be
// listed.
int HostLoop_ForEachBacking(const uint64_t *fileSystems, size_t count,
                            void (*visit)(int number, uint64_t self, uint64_t device,
                                          uint64_t inode, const char *backing, void *context),
                            void *context);

// The path of the file device number presents (symbolic links resolved;
// malloc'd, the caller frees it), read from sysfs alone: the file's own file
// system is not asked, so a stalled FUSE server behind it cannot hang the
// caller. Returns 0, ENXIO when the device is not set up, or another system
// error code.
int HostLoop_BackingFile(int number, char **backingFile);

// Calls visit(number, context) for every loop device that is set up, from
// sysfs alone. Returns 0 or a system error code when they cannot be listed.
int HostLoop_ForEachNumber(void (*visit)(int number, void *context), void *context);

// What the kernel keeps of device number: the byte range of the backing
// file it presents, and the backing file's path as the kernel names it
// (symbolic links resolved; malloc'd, the caller frees it). Returns 0 or a
// system error code (ENXIO: not set up; ETIMEDOUT as for HostLoop_Open).
int HostLoop_Status(int number, uint64_t *offset, uint64_t *sizeLimit, char **backingFile);
