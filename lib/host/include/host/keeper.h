// Descriptors held across a restart. A lock taken through an open file
// (flock, a record lock of the open file description, a block device's
// exclusive open) lasts while any process holds that open file. A service
// that stops while what it locked stays in use hands its descriptors to a
// keeper: a process of its own that holds them, and nothing else, until the
// next instance takes them over through an endpoint that only its user (or
// the superuser) may reach. A keeper whose endpoint is removed ends, letting
// go: nobody could take them over any more.
#pragma once

#include <cstddef>

// The longest label a descriptor may carry.
#define HOSTKEEPER_LABEL_MAX 8192

// Starts a keeper process, shown as name, that holds fds[i] labelled
// labels[i] and listens at dir/endpoint. The caller's descriptors stay open:
// closing them leaves the locks to the keeper, unlocking them would not.
// 0 (with *pid) or a system error code; EADDRINUSE when a keeper is there.
int HostKeeper_Start(const char *dir, const char *endpoint, const char *name, const int *fds,
                     const char *const *labels, size_t count, long *pid);

// Takes every descriptor over from the keeper at dir/endpoint, which then
// ends. found receives each label and descriptor (close-on-exec; the callee
// owns it) in the keeper's order. 0 when they are taken, or no keeper is
// there; otherwise a system error code, and nothing is taken: a keeper that
// was reached but could not hand them over is ended, its endpoint removed,
// and its locks go with it (unended, it would hold them for good).
int HostKeeper_Take(const char *dir, const char *endpoint,
                    void (*found)(void *context, const char *label, int fd), void *context);
