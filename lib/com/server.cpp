// The local server loop: one thread at a time polls the endpoint, a wake-up
// pipe and every connection, and handles the requests that arrive, one at a
// time, on that same thread, so that a call costs no hand-over. A call that
// must wait long for something of its own (ComServer_Aside) hands the loop
// to another thread meanwhile, so that other clients are still served; the
// calls themselves never overlap, but for that waiting. A connection that
// breaks the protocol (bad frame, oversized length, unknown message) or whose
// peer is not trusted is closed, and its objects released, without
// disturbing anyone else. A connection with a reply still queued is not read
// from, so a client that stops reading only stalls itself.
#include "com/server.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
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
// Calls aside whose clients hung up take no place among those, but each
// holds a thread until it ends: their number is bounded all the same.
const size_t kMaxEntries = 4 * kMaxConnections;
// How long a connection that holds nothing may stay silent before it gives
// way to a new one when the table is full: a client speaks as soon as it
// connects, and one that released everything can make no call any more.
const int64_t kSilentMs = 2000;
// How long accepting pauses when the process has no descriptor left: the
// endpoint stays readable, and polling it meanwhile would only spin.
const int kAcceptPauseMs = 200;

std::atomic<bool> g_stop{false};
// The wake-up pipe, made by the first serve and kept for the process's life:
// a stop asked from a signal handler on any thread never writes to one that
// was closed, its number maybe reused by a file, meanwhile.
std::atomic<int> g_wakeFd{-1};
int g_wakeRead = -1;

// Sets *readFd to the wake-up pipe's read end, made on first use; 0, or the
// system error that kept it from being made.
int WakePipe(int *readFd) {
  static std::mutex making;
  std::lock_guard<std::mutex> hold(making);
  if (g_wakeRead < 0) {
    int wake[2];
    int e = HostWake_Create(wake);
    if (e != 0) {
      return e;
    }
    g_wakeRead = wake[0];
    g_wakeFd.store(wake[1]);
  }
  *readFd = g_wakeRead;
  return 0;
}

struct Connection {
  explicit Connection(HostFd connected) : fd(std::move(connected)), heard(HostClock_NowMs()) {
    stream.fd = fd.Get();
  }
  ~Connection() { table.Clear(); }  // the objects go before their connection

  HostFd fd;
  ComServerStream stream;
  ComObjectTable table;
  // A call of it went aside: its thread alone reads and writes it until the
  // call ends; the loop only watches it for its peer's hang-up.
  bool aside = false;
  bool hungUp = false;  // seen while aside
  bool broken = false;  // to be closed
  int64_t heard;        // when it last sent something
};

// A connection that may give way to a new one: it holds no object, owes
// and is owed nothing, and has been silent a while.
bool MayGiveWay(const Connection &c, int64_t now) {
  return !c.aside && !c.broken && c.table.Size() == 0 && c.stream.in.empty() &&
         !c.stream.Pending() && now - c.heard >= kSilentMs;
}

// A call aside whose client hung up keeps its connection only until the call
// ends, which storage that never answers may put off for good: it takes no
// place a new client could have.
size_t PlacesTaken(const std::vector<std::unique_ptr<Connection>> &connections) {
  return static_cast<size_t>(std::count_if(connections.begin(), connections.end(),
                                           [](const auto &c) { return !(c->aside && c->hungUp); }));
}

// What the threads serving one endpoint share. The thread that holds lock
// runs the loop or a call; the loop lets go of it only while it polls.
struct Server {
  const ComServerClass *cls = nullptr;
  ComServerOptions options{};
  bool streamOnly = false;
  int listenFd = -1;
  int wakeRead = -1;
  std::mutex lock;
  std::condition_variable turn;     // the loop is free to take, or the serve ended
  std::condition_variable changed;  // a call ended: those waiting look again
  std::vector<std::unique_ptr<Connection>> connections;
  std::thread::id runner;  // who runs the loop; nobody while it is handed over
  bool loopFree = false;   // handed over and not yet taken
  bool ended = false;
  int followers = 0;  // threads waiting for the loop
  std::vector<std::thread> helpers;
  std::vector<std::thread::id> retired;  // helpers gone, not yet joined
  int64_t idleSince = -1;
  int64_t tidiedAt = 0;  // when busy() last returned
  int64_t acceptAfter = 0;
  int error = 0;
};

// The serve this thread takes part in, what it holds of it, and the
// connection whose call it is handling.
thread_local Server *t_server = nullptr;
thread_local std::unique_lock<std::mutex> *t_held = nullptr;
thread_local Connection *t_connection = nullptr;

// Handles the whole frames that have arrived; false when the connection must
// close.
bool HandleFrames(const ComServerClass &cls, Connection *c) {
  // Replies are held back while more frames are in hand: a client that asked
  // ahead is woken once for them. Up to this much, or until a call goes aside.
  const size_t kHeldAtMost = 65536;
  bool holding = false;
  while ((holding || !c->stream.Pending()) && !g_stop.load()) {
    const uint8_t *payload;
    size_t size;
    ComFrameState state = c->stream.Next(&payload, &size);
    if (state != COM_FRAME_COMPLETE) {
      return (!holding || c->stream.Flush()) && state == COM_FRAME_INCOMPLETE;
    }
    ComFrameWriter reply;
    ComStubResult result = ComStub_Handle(cls, &c->table, payload, size, &reply);
    c->stream.Consume();
    if (result == COM_STUB_MALFORMED) {
      return false;
    }
    if (result == COM_STUB_REPLY) {
      if (!reply.Finish()) {
        return false;
      }
      c->stream.Hold(reply);
      holding = c->stream.out.size() < kHeldAtMost;
      if (!holding && !c->stream.Flush()) {
        return false;
      }
    }
  }
  return !holding || c->stream.Flush();
}

// Returns 0 once nothing waits to be accepted, else the system error that
// stopped it (no descriptor left, say).
int AcceptAll(int listenFd, std::vector<std::unique_ptr<Connection>> *connections) {
  int fd;
  int e;
  while ((e = HostEndpoint_Accept(listenFd, &fd)) == 0) {
    HostFd accepted(fd);
    if (!HostEndpoint_PeerTrusted(fd) || connections->size() >= kMaxEntries) {
      continue;
    }
    if (connections->size() >= kMaxConnections && PlacesTaken(*connections) >= kMaxConnections) {
      // Connections held open and silent would otherwise shut every other
      // client out for as long as they stay.
      int64_t now = HostClock_NowMs();
      auto idle = std::find_if(connections->begin(), connections->end(),
                               [now](const auto &c) { return MayGiveWay(*c, now); });
      if (idle == connections->end()) {
        continue;
      }
      idle->swap(connections->back());
      connections->pop_back();
    }
    connections->push_back(std::make_unique<Connection>(std::move(accepted)));
  }
  return Host_ErrorKind(e) == HOST_ERROR_BUSY ? 0 : e;
}

void Take(Server *s, std::unique_lock<std::mutex> *held, bool helper);

// Joins the helpers that left: they let go of the lock as they left.
void JoinRetired(Server *s) {
  for (std::thread::id id : s->retired) {
    auto it = std::find_if(s->helpers.begin(), s->helpers.end(),
                           [id](const std::thread &t) { return t.get_id() == id; });
    it->join();
    s->helpers.erase(it);
  }
  s->retired.clear();
}

// Lets another thread run the loop: one waiting, else a new one. False when
// no thread can be started; the caller then keeps the loop.
bool HandLoopOver(Server *s) {
  s->loopFree = true;
  if (s->followers > 0) {
    s->turn.notify_one();
    return true;
  }
  JoinRetired(s);
  // It keeps this thread's signal mask, which the children it may start
  // take over.
  try {
    s->helpers.emplace_back([s] {
      std::unique_lock<std::mutex> held(s->lock);
      Take(s, &held, true);
    });
  } catch (...) {
    s->loopFree = false;
    return false;
  }
  return true;
}

// Asks busy(), timed from its end: one that took a second would otherwise
// run again as soon as anything woke the loop, and hold it once more.
bool AskBusy(Server *s) {
  bool busy = s->options.busy();
  s->tidiedAt = HostClock_NowMs();
  return busy;
}

// What busy() tidies (children to reap, say) must not wait until no client
// is connected: one that stays (a stopped one) would hold it off for good.
// It is asked while no call runs, once a second; the poll's timeout, or -1.
int TidyWhileConnected(Server *s) {
  const ComServerOptions &options = s->options;
  if (s->listenFd < 0 || options.idleSeconds <= 0 || options.busy == nullptr ||
      std::any_of(s->connections.begin(), s->connections.end(),
                  [](const auto &c) { return c->aside; })) {
    return -1;  // a call that ends wakes the loop
  }
  int64_t now = HostClock_NowMs();
  if (now - s->tidiedAt >= 1000) {
    (void)AskBusy(s);
    now = s->tidiedAt;
  }
  return static_cast<int>(s->tidiedAt + 1000 - now);
}

// Runs the loop while this thread has it. True when serving is over (a stop,
// idleness, a failed poll, the one stream closed); false when a call handled
// here went aside and the loop went on elsewhere.
bool RunLoop(Server *s, std::unique_lock<std::mutex> *held) {
  const ComServerOptions &options = s->options;
  std::vector<HostPollEntry> entries;
  std::vector<Connection *> polled;
  std::vector<Connection *> watched;
  const std::thread::id self = std::this_thread::get_id();
  while (!g_stop.load()) {
    if (s->streamOnly && s->connections.empty()) {
      break;
    }
    int timeout = -1;
    if (s->listenFd >= 0 && options.idleSeconds > 0 && s->connections.empty()) {
      // Timed too: the first client after a slow one is not held by another.
      bool busy = options.busy != nullptr && AskBusy(s);
      int64_t now = HostClock_NowMs();
      if (busy) {
        s->idleSince = -1;
        timeout = 1000;  // being busy ends without a connection event
      } else {
        if (s->idleSince < 0) {
          s->idleSince = now;
        }
        int64_t left = s->idleSince + static_cast<int64_t>(options.idleSeconds) * 1000 - now;
        if (left <= 0) {
          break;
        }
        timeout = static_cast<int>(left < 1000 ? left : 1000);
      }
    } else {
      s->idleSince = -1;
      timeout = TidyWhileConnected(s);
    }

    // The clock is read only while a pause lasts.
    if (s->acceptAfter != 0 && HostClock_NowMs() >= s->acceptAfter) {
      s->acceptAfter = 0;
    }
    bool accepting = s->listenFd >= 0 && s->acceptAfter == 0;
    if (s->listenFd >= 0 && !accepting && (timeout < 0 || timeout > kAcceptPauseMs)) {
      timeout = kAcceptPauseMs;
    }
    entries.clear();
    polled.clear();
    watched.clear();
    entries.push_back({s->wakeRead, true, false, false, false, false});
    if (s->listenFd >= 0) {
      entries.push_back({s->listenFd, accepting, false, false, false, false});
    }
    size_t first = entries.size();
    for (auto &c : s->connections) {
      if (!c->aside && !c->broken) {
        bool pending = c->stream.Pending();
        entries.push_back({c->stream.fd, !pending, pending, false, false, false});
        polled.push_back(c.get());
      }
    }
    size_t firstWatched = entries.size();
    for (auto &c : s->connections) {
      if (c->aside && !c->hungUp) {
        entries.push_back({c->stream.fd, false, false, false, false, false});
        watched.push_back(c.get());
      }
    }
    held->unlock();
    int n = HostPoll_Wait(entries.data(), entries.size(), timeout);
    int e = n < 0 ? Host_GetLastError() : 0;
    held->lock();
    if (n < 0) {
      s->error = e;
      break;
    }
    if (entries[0].readable) {
      HostWake_Drain(s->wakeRead);
    }
    // Before any call of those polled can go aside and the loop with it.
    for (size_t i = 0; i < watched.size(); i++) {
      watched[i]->hungUp = watched[i]->hungUp || entries[firstWatched + i].closed;
    }
    // Only the thread that has the loop closes connections: those polled
    // stay while it handles them.
    for (size_t i = 0; i < polled.size(); i++) {
      Connection *c = polled[i];
      const HostPollEntry &p = entries[first + i];
      bool alive = true;
      if (c->stream.Pending() && (p.writable || p.closed)) {
        alive = c->stream.Flush();
      }
      if (alive && !c->stream.Pending() && (p.readable || p.closed)) {
        alive = c->stream.Fill();
        c->heard = HostClock_NowMs();
      }
      if (alive) {
        t_connection = c;
        alive = HandleFrames(*s->cls, c);
        t_connection = nullptr;
        s->changed.notify_all();
      }
      c->broken = !alive;
      if (s->runner != self) {
        // Its call went aside: the loop polls it again from now on.
        c->aside = false;
        HostWake_Signal(g_wakeFd.load());
        return false;
      }
    }
    std::erase_if(s->connections,
                  [](const std::unique_ptr<Connection> &c) { return c->broken && !c->aside; });
    // After those polled are handled: a new one may take the place of one.
    if (s->listenFd >= 0 && entries[1].readable && !g_stop.load() &&
        AcceptAll(s->listenFd, &s->connections) != 0) {
      s->acceptAfter = HostClock_NowMs() + kAcceptPauseMs;
    }
  }
  return true;
}

// Serves with the loop whenever it is free, until serving is over. A helper
// leaves when another thread waits for the loop already: one spare is enough
// for the next call that steps aside.
void Take(Server *s, std::unique_lock<std::mutex> *held, bool helper) {
  t_server = s;
  t_held = held;
  while (!s->ended) {
    if (!s->loopFree) {
      if (s->followers > 0) {
        if (helper) {
          s->retired.push_back(std::this_thread::get_id());
          break;
        }
        s->turn.notify_all();  // this thread is the spare now: helpers waiting leave
      }
      s->followers++;
      s->turn.wait(*held);
      s->followers--;
      continue;
    }
    s->loopFree = false;
    s->runner = std::this_thread::get_id();
    if (RunLoop(s, held)) {
      s->ended = true;
      s->runner = std::thread::id();
      s->turn.notify_all();
    }
  }
  t_server = nullptr;
  t_held = nullptr;
}

// Runs body for the call this thread handles with the loop handed over, if
// this thread has it, so that others are served meanwhile.
template <class Body>
void StepAside(Body body) {
  Server *s = t_server;
  Connection *c = t_connection;
  if (s == nullptr || c == nullptr) {
    body(static_cast<std::unique_lock<std::mutex> *>(nullptr));
    return;
  }
  if (s->runner == std::this_thread::get_id() && !s->ended && HandLoopOver(s)) {
    s->runner = std::thread::id();
    c->aside = true;
  }
  // The replies held back for the frames before this call must not wait for it.
  (void)c->stream.Flush();
  body(t_held);
}

int Run(const ComServerClass &cls, const ComServerOptions &options, int streamFd) {
  Server s;
  s.cls = &cls;
  s.options = options;
  s.streamOnly = streamFd >= 0;
  HostFd ownListenFd;
  bool ownEndpoint = false;
  std::string runDir;
  std::string name = Com_GuidToString(cls.clsid);
  if (streamFd < 0) {
    if (options.listenFd >= 0) {
      s.listenFd = options.listenFd;
      HostStream_SetNonBlocking(s.listenFd, true);
    } else {
      char *prefix = HostPrefix_Path();
      if (prefix == nullptr) {
        return Host_ErrorCode(HOST_ERROR_NOT_FOUND);
      }
      runDir = std::string(prefix) + "/run";
      free(prefix);
      int e = HostEndpoint_Listen(runDir.c_str(), name.c_str(), &s.listenFd);
      if (e != 0) {
        return e;
      }
      ownListenFd.Reset(s.listenFd);
      ownEndpoint = true;
    }
  }
  int e = WakePipe(&s.wakeRead);
  if (e != 0) {
    if (ownEndpoint) {
      HostEndpoint_Remove(runDir.c_str(), name.c_str(), s.listenFd);
    }
    return e;
  }

  if (streamFd >= 0) {
    HostStream_SetNonBlocking(streamFd, true);
    s.connections.push_back(std::make_unique<Connection>(HostFd(streamFd)));
  }
  if (options.ready != nullptr) {
    options.ready();
  }
  std::unique_lock<std::mutex> held(s.lock);
  s.loopFree = true;
  Take(&s, &held, false);
  // Calls gone aside end first: their replies are still owed.
  std::vector<std::thread> helpers;
  while (!s.helpers.empty()) {
    helpers.swap(s.helpers);
    held.unlock();
    for (std::thread &t : helpers) {
      t.join();
    }
    helpers.clear();
    held.lock();
  }
  e = s.error;
  for (auto &c : s.connections) {
    c->stream.Flush();
  }
  s.connections.clear();
  held.unlock();
  if (ownEndpoint) {
    HostEndpoint_Remove(runDir.c_str(), name.c_str(), s.listenFd);
    ownListenFd.Reset();
  }
  HostWake_Drain(s.wakeRead);
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

void ComServer_Aside(const std::function<void()> &work) {
  StepAside([&](std::unique_lock<std::mutex> *held) {
    bool owned = held != nullptr && held->owns_lock();  // not from work aside already
    if (owned) {
      held->unlock();
    }
    work();
    if (owned) {
      held->lock();
    }
  });
}

void ComServer_InTurn(const std::function<void()> &work) {
  std::unique_lock<std::mutex> *held = t_held;
  if (t_server == nullptr || t_connection == nullptr || held == nullptr || held->owns_lock()) {
    work();
    return;
  }
  held->lock();
  work();
  t_server->changed.notify_all();  // what they wait for may hold now
  held->unlock();
}

bool ComServer_WaitUntil(const std::function<bool()> &ready, int timeoutMs) {
  Server *s = t_server;
  bool met = false;
  // From work aside, what ready() asks is looked at in turn.
  ComServer_InTurn([&] {
    met = ready();
    if (met || s == nullptr || t_connection == nullptr) {
      return;  // outside a call nothing else runs that could make it hold
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    StepAside([&](std::unique_lock<std::mutex> *held) {
      if (timeoutMs < 0) {
        s->changed.wait(*held, ready);
        met = true;
      } else {
        met = s->changed.wait_until(*held, deadline, ready);
      }
    });
  });
  return met;
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
