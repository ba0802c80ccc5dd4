// The local server loop: one thread polls the endpoint, a wake-up pipe and
// every connection, and handles one request at a time. A connection that
// breaks the protocol (bad frame, oversized length, unknown message) or whose
// peer is not trusted is closed, and its objects released, without
// disturbing anyone else. A connection with a reply still queued is not read
// from, so a client that stops reading only stalls itself.
#include "com/server.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "com/stub.h"
#include "com/transport.h"
#include "host/descriptor.h"
#include "host/lastError.h"
#include "host/prefix.h"
#include "host/socket.h"

namespace {

const size_t kMaxConnections = 256;
// How long accepting pauses when the process has no descriptor left: the
// endpoint stays readable, and polling it meanwhile would only spin.
const int kAcceptPauseMs = 200;

std::atomic<bool> g_stop{false};
std::atomic<int> g_wakeFd{-1};

struct Connection {
  explicit Connection(HostFd connected) : fd(std::move(connected)) { stream.fd = fd.Get(); }
  ~Connection() { table.Clear(); }  // the objects go before their connection

  HostFd fd;
  ComServerStream stream;
  ComObjectTable table;
};

// Handles the whole frames that have arrived; false when the connection must
// close.
bool HandleFrames(const ComServerClass &cls, Connection *c) {
  while (!c->stream.Pending() && !g_stop.load()) {
    const uint8_t *payload;
    size_t size;
    ComFrameState state = c->stream.Next(&payload, &size);
    if (state == COM_FRAME_INCOMPLETE) {
      return true;
    }
    if (state == COM_FRAME_OVERSIZED) {
      return false;
    }
    ComFrameWriter reply;
    ComStubResult result = ComStub_Handle(cls, &c->table, payload, size, &reply);
    c->stream.Consume();
    if (result == COM_STUB_MALFORMED) {
      return false;
    }
    if (result == COM_STUB_REPLY && (!reply.Finish() || !c->stream.Queue(reply))) {
      return false;
    }
  }
  return true;
}

// Returns 0 once nothing waits to be accepted, else the system error that
// stopped it (no descriptor left, say).
int AcceptAll(int listenFd, std::vector<std::unique_ptr<Connection>> *connections) {
  int fd;
  int e;
  while ((e = HostEndpoint_Accept(listenFd, &fd)) == 0) {
    HostFd accepted(fd);
    if (HostEndpoint_PeerTrusted(fd) && connections->size() < kMaxConnections) {
      connections->push_back(std::make_unique<Connection>(std::move(accepted)));
    }
  }
  return Host_ErrorKind(e) == HOST_ERROR_BUSY ? 0 : e;
}

int Run(const ComServerClass &cls, const ComServerOptions &options, int streamFd) {
  int listenFd = -1;
  HostFd ownListenFd;
  bool ownEndpoint = false;
  std::string runDir;
  std::string name = Com_GuidToString(cls.clsid);
  if (streamFd < 0) {
    if (options.listenFd >= 0) {
      listenFd = options.listenFd;
      HostStream_SetNonBlocking(listenFd, true);
    } else {
      char *prefix = HostPrefix_Path();
      if (prefix == nullptr) {
        return Host_ErrorCode(HOST_ERROR_NOT_FOUND);
      }
      runDir = std::string(prefix) + "/run";
      free(prefix);
      int e = HostEndpoint_Listen(runDir.c_str(), name.c_str(), &listenFd);
      if (e != 0) {
        return e;
      }
      ownListenFd.Reset(listenFd);
      ownEndpoint = true;
    }
  }
  int wake[2];
  int e = HostWake_Create(wake);
  if (e != 0) {
    if (ownEndpoint) {
      HostEndpoint_Remove(runDir.c_str(), name.c_str(), listenFd);
    }
    return e;
  }
  HostFd wakeRead(wake[0]);
  HostFd wakeWrite(wake[1]);
  g_wakeFd.store(wake[1]);

  std::vector<std::unique_ptr<Connection>> connections;
  if (streamFd >= 0) {
    HostStream_SetNonBlocking(streamFd, true);
    connections.push_back(std::make_unique<Connection>(HostFd(streamFd)));
  }
  if (options.ready != nullptr) {
    options.ready();
  }
  int64_t idleSince = -1;
  int64_t acceptAfter = 0;
  std::vector<HostPollEntry> entries;
  while (!g_stop.load()) {
    if (streamFd >= 0 && connections.empty()) {
      break;
    }
    int timeout = -1;
    if (listenFd >= 0 && options.idleSeconds > 0 && connections.empty()) {
      int64_t now = HostClock_NowMs();
      if (options.busy != nullptr && options.busy()) {
        idleSince = -1;
        timeout = 1000;  // being busy ends without a connection event
      } else {
        if (idleSince < 0) {
          idleSince = now;
        }
        int64_t left = idleSince + static_cast<int64_t>(options.idleSeconds) * 1000 - now;
        if (left <= 0) {
          break;
        }
        timeout = static_cast<int>(left < 1000 ? left : 1000);
      }
    } else {
      idleSince = -1;
    }

    // The clock is read only while a pause lasts.
    if (acceptAfter != 0 && HostClock_NowMs() >= acceptAfter) {
      acceptAfter = 0;
    }
    bool accepting = listenFd >= 0 && acceptAfter == 0;
    if (listenFd >= 0 && !accepting && (timeout < 0 || timeout > kAcceptPauseMs)) {
      timeout = kAcceptPauseMs;
    }
    entries.clear();
    entries.push_back({wake[0], true, false, false, false, false});
    if (listenFd >= 0) {
      entries.push_back({listenFd, accepting, false, false, false, false});
    }
    for (auto &c : connections) {
      bool pending = c->stream.Pending();
      entries.push_back({c->stream.fd, !pending, pending, false, false, false});
    }
    if (HostPoll_Wait(entries.data(), entries.size(), timeout) < 0) {
      e = Host_GetLastError();
      break;
    }
    if (entries[0].readable) {
      HostWake_Drain(wake[0]);
    }
    size_t first = 1;
    if (listenFd >= 0) {
      first = 2;
      if (entries[1].readable && !g_stop.load() && AcceptAll(listenFd, &connections) != 0) {
        acceptAfter = HostClock_NowMs() + kAcceptPauseMs;
      }
    }
    // Entries past the polled ones belong to connections accepted just now.
    size_t polled = entries.size() - first;
    std::vector<std::unique_ptr<Connection>> kept;
    kept.reserve(connections.size());
    for (size_t i = 0; i < connections.size(); i++) {
      Connection *c = connections[i].get();
      bool alive = true;
      if (i < polled) {
        const HostPollEntry &p = entries[first + i];
        if (c->stream.Pending() && (p.writable || p.closed)) {
          alive = c->stream.Flush();
        }
        if (alive && !c->stream.Pending() && (p.readable || p.closed)) {
          alive = c->stream.Fill();
        }
      }
      if (alive) {
        alive = HandleFrames(cls, c);
      }
      if (alive) {
        kept.push_back(std::move(connections[i]));
      }
    }
    connections.swap(kept);
  }

  for (auto &c : connections) {
    c->stream.Flush();
  }
  connections.clear();
  if (ownEndpoint) {
    HostEndpoint_Remove(runDir.c_str(), name.c_str(), listenFd);
    ownListenFd.Reset();
  }
  g_wakeFd.store(-1);
  wakeRead.Reset();
  wakeWrite.Reset();
  g_stop.store(false);
  return e;
}

}  // namespace

int ComServer_Serve(const ComServerClass &cls, const ComServerOptions &options) {
  return Run(cls, options, -1);
}

int ComServer_ServeStream(const ComServerClass &cls, int fd) {
  ComServerOptions options = {0, nullptr, -1, nullptr};
  return Run(cls, options, fd);
}

void ComServer_RequestStop(void) {
  g_stop.store(true);
  int fd = g_wakeFd.load();
  if (fd >= 0) {
    HostWake_Signal(fd);
  }
}

char *ComServer_EndpointPath(const CLSID &clsid) {
  char *prefix = HostPrefix_Path();
  if (prefix == nullptr) {
    return nullptr;
  }
  std::string path = std::string(prefix) + "/run/" + Com_GuidToString(clsid);
  free(prefix);
  return strdup(path.c_str());
}
