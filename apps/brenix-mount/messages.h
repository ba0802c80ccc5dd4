// The front end's message literals: id and default text of every line it
// prints and of every exception text it raises.
#pragma once

#define BXMOUNT_MSG(id) "@&!*@*@(msg.bxmount." #id ")"

namespace msg {

inline constexpr const char kUsage[] = BXMOUNT_MSG(usage)
    "%s [driveletter:] [path-to-virtual-disk] [options]\n"
    "%s version %s\n"
    "\n"
    "This utility mounts Brenix virtual disks under Microsoft Windows.\n"
    "Use \"%s\" without arguments to list the currently-mounted volumes.\n"
    "\n"
    "  /d    deletes the mapping to a virtual drive volume\n"
    "  /f    forcibly deletes the mapping to a virtual drive volume\n"
    "  /v:N  mounts volume N of a virtual disk\n"
    "  /p    displays the partitions (volumes) on a virtual disk\n"
    "  /y    open the virtual disk whether or not a snapshot is in effect\n"
    "  /n    do not open the virtual disk if a snapshot is in effect\n"
    "  /?    displays this usage information\n"
    "\n";
inline constexpr const char kHowtoUsage[] =
    BXMOUNT_MSG(howtoUsage) "Use \"%s /?\" for usage information.\n";
inline constexpr const char kInvalidOS[] =
    BXMOUNT_MSG(invalidOS) "This program requires Windows 2000 or later.\n";
inline constexpr const char kBadPath[] =
    BXMOUNT_MSG(badPath) "Unable to find the virtual disk '%s'.\n";
inline constexpr const char kBadArg[] =
    BXMOUNT_MSG(badArg) "Invalid or missing parameter on command line.\n";
inline constexpr const char kUntrustedPrefix[] = BXMOUNT_MSG(untrustedPrefix)
    "The host prefix %s cannot be used: %s.\n"
    "It and the state in it must belong to you and be writable by nobody else.\n";
inline constexpr const char kUnexpectedError[] = BXMOUNT_MSG(unexpectedError)
    "An unexpected error has occurred.  Details have been saved in the Application\n"
    "event log.\n";

// Mount.
inline constexpr const char kDriveLetterInUse[] =
    BXMOUNT_MSG(driveLetterInUse) "The drive is already in use.\n";
inline constexpr const char kUseDriveDOrHigher[] =
    BXMOUNT_MSG(useDriveDOrHigher) "Volumes must be mounted as drive D: or greater.\n";
inline constexpr const char kNoVolumes1[] = BXMOUNT_MSG(noVolumes1)
    "The virtual disk contains no volumes.  Make sure the virtual disk has been\n"
    "partitioned and formatted.\n";
inline constexpr const char kVolumeIndexOutOfRange[] = BXMOUNT_MSG(volumeIndexOutOfRange)
    "Volume number out of range.  Use /p to list the volumes on this virtual disk.\n";
inline constexpr const char kUnableToMount[] = BXMOUNT_MSG(unableToMount)
    "Unable to mount the virtual disk.  Verify that the file is a virtual disk file\n"
    "and that it has not been corrupted.\n";

// Dismount.
inline constexpr const char kNotBrenixMounted[] = BXMOUNT_MSG(notBrenixMounted)
    "The volume was not mounted by %s.  It may be a network driver or\n"
    "it may have been mounted using another utility. It cannot be dismounted.\n";
inline constexpr const char kSuggestForcedDismount[] = BXMOUNT_MSG(suggestForcedDismount)
    "Unable to dismount volume.\n"
    "To forcibly dismount the volume, use the /f option.\n";
inline constexpr const char kUnableToDismount[] = BXMOUNT_MSG(unableToDismount)
    "Unable to dismount volume.\n"
    "To dismount this volume, restart your computer.\n";

// Listings.
inline constexpr const char kNoDrivesMounted[] =
    BXMOUNT_MSG(noDrivesMounted) "No volumes mounted.\n";
inline constexpr const char kNoVolumes2[] = BXMOUNT_MSG(noVolumes2)
    "The virtual disk contains no volumes.  Make sure the virtual disk has been\n"
    "partitioned and formatted.\n";
inline constexpr const char kVolumeData[] = BXMOUNT_MSG(volumeData) "Volume %d : %d Mb\n";

// Service client.
inline constexpr const char kNoLocator[] = BXMOUNT_MSG(noLocator)
    "Unable to connect to the bmount service. %s may not be\n"
    "properly installed. Reinstall %s and try again.\n";
inline constexpr const char kUnableToOpenDisk[] = BXMOUNT_MSG(unableToOpenDisk)
    "Unable to mount the virtual disk.  The disk may be in use by a virtual\n"
    "machine or mounted under another drive letter.  If not, verify that the\n"
    "disk is a virtual disk file, and that the disk file has not been corrupted.\n";

// Disk validation.
inline constexpr const char kCantMountReadOnly[] =
    BXMOUNT_MSG(cantMountReadOnly) "%s cannot mount a read-only virtual disk.\n";
inline constexpr const char kNoCompressed[] = BXMOUNT_MSG(noCompressed)
    "%s cannot mount compressed virtual disks.  To mount this virtual\n"
    "disk, right-click the file's icon and clear the compression checkbox on\n"
    "the file's advanced properties page.\n";
inline constexpr const char kOneVolumePerDisk[] = BXMOUNT_MSG(oneVolumePerDisk)
    "%s cannot mount two volumes from the same virtual disk.\n"
    "This disk is already mounted as drive %s:.\n";
inline constexpr const char kNoSuspended[] = BXMOUNT_MSG(noSuspended)
    "The disk cannot be mounted because it is attached to a suspended\n"
    "virtual machine.\n";
inline constexpr const char kMultipleRedo[] = BXMOUNT_MSG(multipleRedo)
    "The virtual disk is being used in active snapshots by multiple virtual\n"
    "machines.  It cannot be mounted directly.  To mount a particular redo\n"
    "image, supply the name of that image.\n";
inline constexpr const char kRedoAbortLong[] = BXMOUNT_MSG(redoAbort)
    "The virtual disk was not mounted because a virtual machine using this disk\n"
    "is maintaining an active snapshot.\n";
inline constexpr const char kRedoAbortShort[] =
    BXMOUNT_MSG(redoAbort) "The virtual disk was not mounted.\n";
inline constexpr const char kRedoAskYes[] = BXMOUNT_MSG(redoAskYes) "Y";
inline constexpr const char kRedoAsk[] = BXMOUNT_MSG(redoAsk)
    "This disk is being used by a virtual machine that has an active snapshot.\n"
    "If you proceed, any changes you make are applied to the current version of\n"
    "the disk, and will be discarded if you revert to the snapshot. Do you\n"
    "wish to proceed (Y/N)? ";
inline constexpr const char kSnapshotUnreadable[] = BXMOUNT_MSG(snapshotUnreadable)
    "The snapshot state of the virtual machine configured in\n"
    "'%s' cannot be read: %s.\n"
    "The disk was not mounted.\n";

}  // namespace msg
