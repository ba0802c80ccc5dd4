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

// Makes sure the prefix exists and returns its path (as HostPrefix_Path).
// A missing prefix (or an empty directory standing in its place) is created
// with mode 0700, missing parents included, with its defaults: drives/c: (a
// symbolic link to "/"), registry/HKLM/, eventlog/, run/ (0700), bmount/, and,
// when an executable "bmount-service" stands beside the running executable,
// the mount service's class registration naming it. The defaults are built
// under a temporary name and renamed into place, so concurrent first runs
// agree and an existing prefix is never touched. NULL on failure.
char *HostPrefix_Ensure(void);

// Returns HostPrefix_Path() + "/" + relative, or NULL.
char *HostPrefix_Join(const char *relative);
