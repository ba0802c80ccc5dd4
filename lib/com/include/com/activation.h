// Activation: creating an instance of a class, making sure it runs, and
// setting the security of the proxy that stands for it. A class is served by
// a local server reached at run/{CLSID} in the host prefix and started from
// its registration (LocalServer32) when nothing listens there; tests may
// also register classes that live in the caller's own process.
#pragma once

#include <cstdint>

#include "com/bstr.h"
#include "com/guid.h"
#include "com/hresult.h"
#include "com/unknown.h"

enum : uint32_t {
  CLSCTX_INPROC_SERVER = 0x1,
  CLSCTX_INPROC_HANDLER = 0x2,
  CLSCTX_LOCAL_SERVER = 0x4,
  CLSCTX_REMOTE_SERVER = 0x10,
  CLSCTX_ALL =
      CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER,
};

enum : uint32_t {
  RPC_C_AUTHN_DEFAULT = 0xFFFFFFFFu,
  RPC_C_AUTHZ_DEFAULT = 0xFFFFFFFFu,
  RPC_C_AUTHN_LEVEL_DEFAULT = 0,
  RPC_C_IMP_LEVEL_IMPERSONATE = 3,
  EOAC_DEFAULT = 0x800,
};

// Creates an instance of clsid and returns its interface iid in *object (one
// reference; NULL on failure). outer must be NULL. Requires CoInitialize on
// the calling thread. Results: S_OK; REGDB_E_CLASSNOTREG when no server
// listens and the class has no registration (or clsctx allows no kind of
// server that exists); CO_E_SERVER_EXEC_FAILURE when the registered
// executable cannot be started or its endpoint does not accept within 10 s;
// E_NOINTERFACE; RPC_E_DISCONNECTED when the server drops the connection.
HRESULT CoCreateInstance(const CLSID &clsid, IUnknown *outer, uint32_t clsctx, const IID &iid,
                         void **object);

// Puts an object into its running state: S_OK for a live object (local
// server objects run as soon as they exist), RPC_E_DISCONNECTED for a proxy
// whose server is gone, E_INVALIDARG for NULL.
HRESULT OleRun(IUnknown *object);

// Sets the authentication of a proxy. The arguments are accepted as given
// (the endpoint's permissions and the server's peer check are what protect
// the connection). S_OK on a proxy; E_NOINTERFACE on an object that lives in
// the caller's own process; E_INVALIDARG for NULL.
HRESULT CoSetProxyBlanket(IUnknown *proxy, uint32_t authnService, uint32_t authzService,
                          OLECHAR *serverPrincipalName, uint32_t authnLevel, uint32_t impLevel,
                          void *authInfo, uint32_t capabilities);

// Registers (or with create NULL removes) a class implemented in the calling
// process, which CoCreateInstance uses when clsctx includes
// CLSCTX_INPROC_SERVER. create returns a new object with one reference or
// NULL.
void Com_RegisterInProcessClass(const CLSID &clsid, IUnknown *(*create)(void));

// Creates an instance over an already connected stream to a server (which
// takes fd over), as CoCreateInstance does once connected.
HRESULT Com_ActivateOverStream(int fd, const CLSID &clsid, const IID &iid, void **object);
