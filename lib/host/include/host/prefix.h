// The host prefix: the one directory below which all host state lives (drive
// table, registry, event log, server endpoints, the mount service's state).
// Several prefixes are independent hosts. Paths returned here are malloc'd and
// belong to the caller; failures set the thread's last error (lastError.h).
#pragma once

// Returns the prefix path as configured: $BRENIX_HOST_PREFIX when set and not
// empty; otherwise /var/lib/brenix-host for the superuser, else
// $XDG_STATE_HOME/brenix-host or $HOME/.local/state/brenix-host. Nothing is
// created. NULL when no location can be derived (no usable HOME).
char *HostPrefix_Path(void);

// Returns NULL when the running user can trust the prefix (or it does not
// exist yet); otherwise a malloc'd sentence (no final full stop) saying what
// cannot be trusted. Trusted means: the prefix and the folders and files the
// programs act on in it (drives/, registry/, registry/HKLM/, eventlog/ and
// its log, run/ and the service's lock, bmount/, its table, mnt/ and
// volumes/) are no symbolic links, belong to the
// effective user and cannot be written by group or others; and every folder
// on the way to the prefix (links followed) belongs to that user or the
// superuser and cannot be written by others, unless it is sticky and the
// entry taken from it belongs to one of the two. The superuser trusts only
// its own.
char *HostPrefix_TrustProblem(void);

// Makes sure the prefix exists and returns its path (as HostPrefix_Path).
// A missing prefix (or an empty directory standing in its place) is created
// with mode 0700, missing parents included, with its defaults: drives/c: (a
// symbolic link to "/"), registry/HKLM/, eventlog/, run/ (0700), bmount/, and,
// when an executable "bmount-service" stands beside the running executable,
// the mount service's class registration naming it. The defaults are built
// under a temporary name and renamed into place, so concurrent first runs
// agree and an existing prefix is never touched. A prefix that cannot be
// trusted (HostPrefix_TrustProblem) is refused with EPERM before anything is
// made. A relative $BRENIX_HOST_PREFIX is replaced by its absolute form in
// the environment. NULL on failure.
char *HostPrefix_Ensure(void);

// For a short-lived command: HostPrefix_Ensure (a prefix that cannot be made
// is no error here), then the verdict of HostPrefix_TrustProblem, which is
// returned. A prefix found trusted stays trusted for the rest of the process
// without being walked again: from then on only its owner or the superuser
// could change what was judged.
char *HostPrefix_EnsureForRun(void);

// Returns HostPrefix_Path() + "/" + relative, or NULL.
char *HostPrefix_Join(const char *relative);
