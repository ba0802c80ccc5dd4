// The front end's message literals: id and default text of every line it
// prints and of every exception text it raises.
#pragma once

#define BXMOUNT_MSG(id) "@&!*@*@(msg.bxmount." #id ")"
// The text of two messages, one for mounting and one for listing.
#define BXMOUNT_NO_VOLUMES                                                       \
  "The virtual disk contains no volumes.  Make sure the virtual disk has been\n" \
  "partitioned and formatted.\n"

// Texts of more than one line are raw literals, written as they print.
// clang-format off
namespace msg {

inline constexpr const char kUsage[] = BXMOUNT_MSG(usage)
R"(%s [driveletter:] [path-to-virtual-disk] [options]
%s version %s

This utility mounts Brenix virtual disks under Microsoft Windows.
Use "%s" without arguments to list the currently-mounted volumes.

  /d    deletes the mapping to a virtual drive volume
  /f    forcibly deletes the mapping to a virtual drive volume
  /v:N  mounts volume N of a virtual disk
  /p    displays the partitions (volumes) on a virtual disk
  /y    open the virtual disk whether or not a snapshot is in effect
  /n    do not open the virtual disk if a snapshot is in effect
  /?    displays this usage information

)";
inline constexpr const char kHowtoUsage[] =
    BXMOUNT_MSG(howtoUsage) "Use \"%s /?\" for usage information.\n";
inline constexpr const char kInvalidOS[] =
    BXMOUNT_MSG(invalidOS) "This program requires Windows 2000 or later.\n";
inline constexpr const char kBadPath[] =
    BXMOUNT_MSG(badPath) "Unable to find the virtual disk '%s'.\n";
inline constexpr const char kBadArg[] =
    BXMOUNT_MSG(badArg) "Invalid or missing parameter on command line.\n";
inline constexpr const char kUntrustedPrefix[] = BXMOUNT_MSG(untrustedPrefix)
R"(The host prefix %s cannot be used: %s.
It and the state in it must belong to you and be writable by nobody else.
)";
inline constexpr const char kUnexpectedError[] = BXMOUNT_MSG(unexpectedError)
R"(An unexpected error has occurred.  Details have been saved in the Application
event log.
)";

// Mount.
inline constexpr const char kDriveLetterInUse[] =
    BXMOUNT_MSG(driveLetterInUse) "The drive is already in use.\n";
inline constexpr const char kUseDriveDOrHigher[] =
    BXMOUNT_MSG(useDriveDOrHigher) "Volumes must be mounted as drive D: or greater.\n";
inline constexpr const char kNoVolumes1[] = BXMOUNT_MSG(noVolumes1) BXMOUNT_NO_VOLUMES;
inline constexpr const char kVolumeIndexOutOfRange[] = BXMOUNT_MSG(volumeIndexOutOfRange)
R"(Volume number out of range.  Use /p to list the volumes on this virtual disk.
)";
inline constexpr const char kUnableToMount[] = BXMOUNT_MSG(unableToMount)
R"(Unable to mount the virtual disk.  Verify that the file is a virtual disk file
and that it has not been corrupted.
)";

// Dismount.
inline constexpr const char kNotBrenixMounted[] = BXMOUNT_MSG(notBrenixMounted)
R"(The volume was not mounted by %s.  It may be a network driver or
it may have been mounted using another utility. It cannot be dismounted.
)";
inline constexpr const char kSuggestForcedDismount[] = BXMOUNT_MSG(suggestForcedDismount)
R"(Unable to dismount volume.
To forcibly dismount the volume, use the /f option.
)";
inline constexpr const char kUnableToDismount[] = BXMOUNT_MSG(unableToDismount)
R"(Unable to dismount volume.
To dismount this volume, restart your computer.
)";

// Listings.
inline constexpr const char kNoDrivesMounted[] =
    BXMOUNT_MSG(noDrivesMounted) "No volumes mounted.\n";
inline constexpr const char kNoVolumes2[] = BXMOUNT_MSG(noVolumes2) BXMOUNT_NO_VOLUMES;
inline constexpr const char kVolumeData[] = BXMOUNT_MSG(volumeData) "Volume %d : %d Mb\n";

// Service client.
inline constexpr const char kNoLocator[] = BXMOUNT_MSG(noLocator)
R"(Unable to connect to the bmount service. %s may not be
properly installed. Reinstall %s and try again.
)";
inline constexpr const char kUnableToOpenDisk[] = BXMOUNT_MSG(unableToOpenDisk)
R"(Unable to mount the virtual disk.  The disk may be in use by a virtual
machine or mounted under another drive letter.  If not, verify that the
disk is a virtual disk file, and that the disk file has not been corrupted.
)";

// Disk validation.
inline constexpr const char kCantMountReadOnly[] =
    BXMOUNT_MSG(cantMountReadOnly) "%s cannot mount a read-only virtual disk.\n";
inline constexpr const char kNoCompressed[] = BXMOUNT_MSG(noCompressed)
R"(%s cannot mount compressed virtual disks.  To mount this virtual
disk, right-click the file's icon and clear the compression checkbox on
the file's advanced properties page.
)";
inline constexpr const char kOneVolumePerDisk[] = BXMOUNT_MSG(oneVolumePerDisk)
R"(%s cannot mount two volumes from the same virtual disk.
This disk is already mounted as drive %s:.
)";
inline constexpr const char kNoSuspended[] = BXMOUNT_MSG(noSuspended)
R"(The disk cannot be mounted because it is attached to a suspended
virtual machine.
)";
inline constexpr const char kMultipleRedo[] = BXMOUNT_MSG(multipleRedo)
R"(The virtual disk is being used in active snapshots by multiple virtual
machines.  It cannot be mounted directly.  To mount a particular redo
image, supply the name of that image.
)";
inline constexpr const char kRedoAbortLong[] = BXMOUNT_MSG(redoAbort)
R"(The virtual disk was not mounted because a virtual machine using this disk
is maintaining an active snapshot.
)";
inline constexpr const char kRedoAbortShort[] =
    BXMOUNT_MSG(redoAbort) "The virtual disk was not mounted.\n";
inline constexpr const char kRedoAskYes[] = BXMOUNT_MSG(redoAskYes) "Y";
inline constexpr const char kRedoAsk[] = BXMOUNT_MSG(redoAsk)
R"(This disk is being used by a virtual machine that has an active snapshot.
If you proceed, any changes you make are applied to the current version of
the disk, and will be discarded if you revert to the snapshot. Do you
wish to proceed (Y/N)? )";
inline constexpr const char kSnapshotUnreadable[] = BXMOUNT_MSG(snapshotUnreadable)
R"(The snapshot state of the virtual machine configured in
'%s' cannot be read: %s.
The disk was not mounted.
)";

}  // namespace msg
// clang-format on
