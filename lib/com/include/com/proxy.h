// Proxies: the client's stand-ins for objects that live in a server. A proxy
// holds one remote reference, sends each method as (object, IID, slot) with
// its arguments, and turns the reply into the HRESULT, the out-values and the
// calling thread's error information; a fixed method (see ComFixed) it
// answers from what came with the object. Its last Release releases the
// remote object. Proxies belong to the thread that made them. Runtime-internal; the
// activation, the listing of a disk's volumes and the tests use it.
#pragma once

#include <cstdint>
#include <functional>

#include "com/guid.h"
#include "com/hresult.h"
#include "com/mountService.h"
#include "com/transport.h"
#include "com/unknown.h"

// Answered by every proxy (and by nothing else): how the runtime tells a
// proxy from an object of the caller's own process.
extern const IID IID_IComProxy;

struct IComProxy : IUnknown {
  // False once the connection to the server is gone, closed by either end.
  virtual bool IsConnected() = 0;

 protected:
  ~IComProxy() = default;
};
COM_DESCRIBE(IComProxy);

// Asks the server at the other end of channel for a new instance of clsid
// and returns a proxy for its interface iid in *object (NULL on failure).
HRESULT ComProxy_Activate(ComChannel *channel, const CLSID &clsid, const IID &iid, void **object);

// Calls visit(i, item) for items 1 to count of list in turn, as list->Item
// would give them one by one, but with the requests of a proxy written
// together ahead of their replies: the server is woken once for many rather
// than once for each. Stops at the first failure of an item or of visit,
// whose HRESULT it returns with its error information on the thread; the
// replies behind it are read, and their objects released.
HRESULT ComProxy_Items(IVolumeList *list, int32_t count,
                       const std::function<HRESULT(int32_t, IDiskVolume *)> &visit);
