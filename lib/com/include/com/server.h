// A local server: serves the objects of one class to clients of the same host
// prefix over the endpoint run/{CLSID}. One thread runs the loop and every
// method call, one call at a time; the objects of a connection are released
// when it closes.
#pragma once

#include "com/guid.h"
#include "com/unknown.h"

struct ComServerClass {
  CLSID clsid;
  // Returns a new object (one reference, for the caller) for an activation,
  // or NULL when it cannot be made.
  IUnknown *(*createInstance)(void);
};

struct ComServerOptions {
  // Stop when no client has been connected for this many seconds and busy()
  // is false; 0 never stops for idleness.
  int idleSeconds;
  // May be NULL (never busy).
  bool (*busy)(void);
  // A listening socket handed over by a service manager, or -1 to bind the
  // endpoint (a stale endpoint with nothing listening is replaced).
  int listenFd;
  // Called (may be NULL) once the endpoint accepts, before the first call.
  void (*ready)(void);
};

// Serves until stopped or idle; the endpoint is removed on the way out (when
// this call bound it, and only while it is still its own socket). Returns
// 0, or a system error code when the endpoint cannot be set up.
int ComServer_Serve(const ComServerClass &cls, const ComServerOptions &options);
// Serves one connected stream (taken over) until the peer closes it or a stop
// is requested; for tests and in-process links. Returns 0.
int ComServer_ServeStream(const ComServerClass &cls, int fd);
// Async-signal-safe, and callable from any thread: stop accepting, finish the
// call in progress, return. A stop requested while nothing serves makes the
// next serve return at once (a termination signal during start-up).
void ComServer_RequestStop(void);
// Returns the malloc'd endpoint path of a class in the current host prefix.
char *ComServer_EndpointPath(const CLSID &clsid);
