// Activation: connect to the class's endpoint; when nothing listens, start
// the registered executable detached and poll the endpoint until it accepts
// or 10 s have passed. A listening server is used without looking at the
// registration at all, which is read only to start one.
#include "com/activation.h"

#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include "com/apartment.h"
#include "com/proxy.h"
#include "com/transport.h"
#include "host/prefix.h"
#include "host/process.h"
#include "host/registry.h"
#include "host/socket.h"

namespace {

const int kStartWaitMs = 10000;
const int kPollMs = 20;
// A server on its way out (idle, or stopped) may take a connection and
// close it unread: the request never reached it.
const int kActivateTries = 3;

struct InProcessClass {
  CLSID clsid;
  IUnknown *(*create)(void);
};
std::mutex g_classesLock;
std::vector<InProcessClass> g_classes;

IUnknown *(*FindInProcess(const CLSID &clsid))(void) {
  std::lock_guard<std::mutex> hold(g_classesLock);
  for (const InProcessClass &c : g_classes) {
    if (c.clsid == clsid) {
      return c.create;
    }
  }
  return nullptr;
}

HRESULT CreateInProcess(IUnknown *(*create)(void), const IID &iid, void **object) {
  IUnknown *instance = create();
  if (instance == nullptr) {
    return E_OUTOFMEMORY;
  }
  HRESULT hr = instance->QueryInterface(iid, object);
  instance->Release();
  return hr;
}

// The registered server executable of clsid; false when there is none.
bool RegisteredServer(const std::string &clsidText, std::string *path) {
  std::string key = "Software\\Classes\\CLSID\\" + clsidText + "\\LocalServer32";
  HostRegType type;
  char *text = nullptr;
  if (HostRegistry_QueryValue(key.c_str(), "@", &type, &text, nullptr) != 0) {
    return false;
  }
  bool ok = type != HOSTREG_DWORD && text != nullptr;
  if (ok) {
    *path = text;
  }
  free(text);
  return ok;
}

// Connects to a running server: S_OK, RPC_E_TIMEOUT when it took no
// connection for as long as a call may wait, S_FALSE when none listens.
HRESULT ConnectToRunning(const std::string &runDir, const std::string &name, int *fd) {
  int rc = HostEndpoint_Connect(runDir.c_str(), name.c_str(), ComChannel::CallTimeout(), fd);
  return rc == 0 ? S_OK : rc == EAGAIN ? RPC_E_TIMEOUT : S_FALSE;
}

// Connects to the class's endpoint, starting its server when needed.
HRESULT ConnectToServer(const CLSID &clsid, int *fd) {
  char *prefix = HostPrefix_Path();
  if (prefix == nullptr) {
    return REGDB_E_CLASSNOTREG;
  }
  std::string runDir = std::string(prefix) + "/run";
  free(prefix);
  std::string name = Com_GuidToString(clsid);
  HRESULT hr = ConnectToRunning(runDir, name, fd);
  if (hr != S_FALSE) {
    return hr;
  }
  std::string server;
  if (!RegisteredServer(name, &server)) {
    return REGDB_E_CLASSNOTREG;
  }
  if (server.empty() || HostProcess_StartDetached(server.c_str()) != 0) {
    return CO_E_SERVER_EXEC_FAILURE;
  }
  int64_t deadline = HostClock_NowMs() + kStartWaitMs;
  for (;;) {
    hr = ConnectToRunning(runDir, name, fd);
    if (hr != S_FALSE) {
      return hr;
    }
    if (HostClock_NowMs() >= deadline) {
      return CO_E_SERVER_EXEC_FAILURE;
    }
    HostClock_SleepMs(kPollMs);
  }
}

}  // namespace

HRESULT Com_ActivateOverStream(int fd, const CLSID &clsid, const IID &iid, void **object) {
  auto *channel = new ComChannel(fd);
  HRESULT hr = ComProxy_Activate(channel, clsid, iid, object);
  // The proxy holds the channel from now on (or nothing does).
  channel->Release();
  return hr;
}

HRESULT CoCreateInstance(const CLSID &clsid, IUnknown *outer, uint32_t clsctx, const IID &iid,
                         void **object) {
  if (object == nullptr) {
    return E_POINTER;
  }
  *object = nullptr;
  if (outer != nullptr) {
    return CLASS_E_NOAGGREGATION;
  }
  if (!Com_IsInitialized()) {
    return CO_E_NOTINITIALIZED;
  }
  if ((clsctx & CLSCTX_INPROC_SERVER) != 0) {
    if (IUnknown * (*create)(void) = FindInProcess(clsid)) {
      return CreateInProcess(create, iid, object);
    }
  }
  if ((clsctx & CLSCTX_LOCAL_SERVER) == 0) {
    return REGDB_E_CLASSNOTREG;
  }
  HRESULT hr = S_OK;
  for (int tries = 1;; tries++) {
    int fd = -1;
    hr = ConnectToServer(clsid, &fd);
    if (FAILED(hr)) {
      return hr;
    }
    hr = Com_ActivateOverStream(fd, clsid, iid, object);
    if (hr != RPC_E_DISCONNECTED || tries == kActivateTries) {
      return hr;
    }
  }
}

HRESULT OleRun(IUnknown *object) {
  if (object == nullptr) {
    return E_INVALIDARG;
  }
  IComProxy *proxy = Com_Query<IComProxy>(object);
  if (proxy == nullptr) {
    return S_OK;
  }
  bool connected = proxy->IsConnected();
  proxy->Release();
  return connected ? S_OK : RPC_E_DISCONNECTED;
}

HRESULT CoSetProxyBlanket(IUnknown *proxy, uint32_t, uint32_t, OLECHAR *, uint32_t, uint32_t,
                          void *, uint32_t) {
  if (proxy == nullptr) {
    return E_INVALIDARG;
  }
  IComProxy *marker = Com_Query<IComProxy>(proxy);
  if (marker == nullptr) {
    return E_NOINTERFACE;
  }
  marker->Release();
  return S_OK;
}

void Com_RegisterInProcessClass(const CLSID &clsid, IUnknown *(*create)(void)) {
  std::lock_guard<std::mutex> hold(g_classesLock);
  for (size_t i = 0; i < g_classes.size(); i++) {
    if (g_classes[i].clsid == clsid) {
      g_classes.erase(g_classes.begin() + static_cast<long>(i));
      break;
    }
  }
  if (create != nullptr) {
    g_classes.push_back({clsid, create});
  }
}
