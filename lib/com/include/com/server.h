// A local server: serves the objects of one class to clients of the same host
// prefix over the endpoint run/{CLSID}. Method calls run one at a time, on
// the thread that runs the loop, but for a call that steps aside to wait
// (ComServer_Aside): others are served meanwhile. The objects of a
// connection are released when it closes.
#pragma once

#include <functional>

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
// For a method call in progress: runs work while other calls are served, on
// other threads, so that one client's long wait holds nobody else. work must
// touch nothing those calls may touch, but in turn (ComServer_InTurn).
// Elsewhere (no call of a serve on this thread, or from work aside already),
// it just runs work.
void ComServer_Aside(const std::function<void()> &work);
// From work gone aside: runs work in turn with the other calls, none of which
// runs meanwhile, so that it may touch what they touch; the calls waiting
// (ComServer_WaitUntil) look again after it. Elsewhere it just runs work.
void ComServer_InTurn(const std::function<void()> &work);
// For a method call in progress: returns once ready() holds, serving other
// calls meanwhile; ready is asked again each time a call ends. Elsewhere it
// returns at once. With timeoutMs (>= 0) it gives up after that long.
// Returns what ready() last said.
bool ComServer_WaitUntil(const std::function<bool()> &ready, int timeoutMs = -1);
// Async-signal-safe, and callable from any thread: stop accepting, finish the
// calls in progress, return. A stop requested while nothing serves makes the
// next serve return at once (a termination signal during start-up).
void ComServer_RequestStop(void);
// Returns the malloc'd endpoint path of a class in the current host prefix.
char *ComServer_EndpointPath(const CLSID &clsid);
