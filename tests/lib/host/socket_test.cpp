// Local endpoints: folders too long for a socket address, modes, removal that
// spares a successor's socket, peer checks, and the non-blocking stream
// results the server loop relies on. Stale and missing endpoints are met end
// to end, each time a killed service is started again.
#include "host/socket.h"

#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "testSupport.h"

namespace {

namespace fs = std::filesystem;

TEST(EndpointTest, LongFolderPathsWork) {
  testsupport::TempDir dir;
  std::string run = dir.path() + "/" + std::string(100, 'x') + "/run";
  fs::create_directories(fs::path(run).parent_path());
  int listenFd = -1;
  ASSERT_EQ(HostEndpoint_Listen(run.c_str(), "{ENDPOINT}", &listenFd), 0);
  EXPECT_EQ(fs::status(run + "/{ENDPOINT}").type(), fs::file_type::socket);  // modes: rpc_test

  int client = -1;
  ASSERT_EQ(HostEndpoint_Connect(run.c_str(), "{ENDPOINT}", 1000, &client), 0);
  int server = -1;
  ASSERT_EQ(HostEndpoint_Accept(listenFd, &server), 0);
  EXPECT_EQ(HostEndpoint_Accept(listenFd, &server), EAGAIN) << "only one was pending";
  EXPECT_TRUE(HostEndpoint_PeerTrusted(server));
  ASSERT_TRUE(HostStream_WriteAll(client, "ping", 4));
  char buf[8];
  ASSERT_TRUE(HostStream_ReadAll(server, buf, 4));
  EXPECT_EQ(std::string(buf, 4), "ping");
  // The accepted stream does not block.
  EXPECT_EQ(HostStream_Read(server, buf, sizeof buf), HOSTSTREAM_AGAIN);
  HostStream_Close(client);
  EXPECT_EQ(HostStream_Read(server, buf, sizeof buf), 0);
  // Writing to a vanished peer is an error, not a signal.
  EXPECT_EQ(HostStream_Write(server, "x", 1), HOSTSTREAM_ERROR);
  HostStream_Close(server);

  EXPECT_TRUE(HostEndpoint_Remove(run.c_str(), "{ENDPOINT}", listenFd));
  EXPECT_FALSE(fs::exists(run + "/{ENDPOINT}"));
  HostStream_Close(listenFd);
}

TEST(EndpointTest, LiveIsKeptAndOnlyOnesOwnSocketIsRemoved) {
  testsupport::TempDir dir;
  const char *d = dir.path().c_str();
  int first = -1;
  ASSERT_EQ(HostEndpoint_Listen(d, "ep", &first), 0);
  int second = -1;
  EXPECT_EQ(HostEndpoint_Listen(d, "ep", &second), EADDRINUSE);
  EXPECT_TRUE(fs::exists(dir.file("ep")));
  // Someone removes the first server's socket and a successor takes the name.
  fs::remove(dir.file("ep"));
  ASSERT_EQ(HostEndpoint_Listen(d, "ep", &second), 0);
  EXPECT_FALSE(HostEndpoint_Remove(d, "ep", first));
  EXPECT_TRUE(fs::exists(dir.file("ep")));
  int client = -1;
  EXPECT_EQ(HostEndpoint_Connect(d, "ep", 1000, &client), 0);
  HostStream_Close(client);
  EXPECT_TRUE(HostEndpoint_Remove(d, "ep", second));
  EXPECT_FALSE(fs::exists(dir.file("ep")));
  HostStream_Close(first);
  HostStream_Close(second);
}

// A server that stops accepting fills its queue: later clients give up
// after their time, and the endpoint is still taken for a live one.
TEST(EndpointTest, AFullQueueEndsTheWaitOfAConnection) {
  testsupport::TempDir dir;
  const char *d = dir.path().c_str();
  int server = -1;
  ASSERT_EQ(HostEndpoint_Listen(d, "ep", &server), 0);
  std::vector<int> clients;
  int rc = 0;
  while (rc == 0 && clients.size() < 1000) {
    int client = -1;
    rc = HostEndpoint_Connect(d, "ep", 20, &client);
    if (rc == 0) clients.push_back(client);
  }
  EXPECT_EQ(rc, EAGAIN);
  int second = -1;
  EXPECT_EQ(HostEndpoint_Listen(d, "ep", &second), EADDRINUSE);
  for (int client : clients) HostStream_Close(client);
  HostStream_Close(server);
}

// Needs the superuser (to run a client as another user) and a Python for
// that client; skipped otherwise.
TEST(EndpointTest, PeersOfAnotherUserAreNotTrusted) {
  auto asNobody = [](const std::string &script, const std::string &arg) {
    std::vector<std::string> argv = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534"};
    argv.insert(argv.end(), {"--clear-groups", "/usr/bin/python3", "-c", script, arg});
    return argv;
  };
  if (testsupport::Run(asNobody("pass", "")).exitCode != 0) {
    GTEST_SKIP() << "cannot run a client as another user";
  }
  testsupport::TempDir dir;
  fs::permissions(dir.path(), fs::perms::owner_all | fs::perms::others_exec);
  int listenFd = -1;
  ASSERT_EQ(HostEndpoint_Listen(dir.path().c_str(), "ep", &listenFd), 0);
  fs::permissions(dir.file("ep"), fs::perms::all);  // let the other user reach the check

  std::vector<std::string> client = asNobody(
      "import socket,sys\ns=socket.socket(socket.AF_UNIX)\ns.connect(sys.argv[1])\ns.recv(1)\n",
      dir.file("ep"));
  std::thread runner([&] { testsupport::Run(client, {}, "", 20); });
  HostPollEntry wait = {listenFd, true, false, false, false, false};
  ASSERT_EQ(HostPoll_Wait(&wait, 1, 15000), 1);
  int peer = -1;
  ASSERT_EQ(HostEndpoint_Accept(listenFd, &peer), 0);
  EXPECT_FALSE(HostEndpoint_PeerTrusted(peer));
  HostStream_Close(peer);
  runner.join();

  int self = -1;
  ASSERT_EQ(HostEndpoint_Connect(dir.path().c_str(), "ep", 1000, &self), 0);
  ASSERT_EQ(HostEndpoint_Accept(listenFd, &peer), 0);
  EXPECT_TRUE(HostEndpoint_PeerTrusted(peer));
  HostStream_Close(peer);
  HostStream_Close(self);
  HostEndpoint_Remove(dir.path().c_str(), "ep", listenFd);
  HostStream_Close(listenFd);
}

// Streams and polling serve every call of the component runtime's tests; the
// wake-up pipe must drain whatever number of signals it took.
TEST(StreamTest, WakeDrains) {
  int wake[2];
  ASSERT_EQ(HostWake_Create(wake), 0);
  HostPollEntry w = {wake[0], true, false, false, false, false};
  EXPECT_EQ(HostPoll_Wait(&w, 1, 0), 0);
  HostWake_Signal(wake[1]);
  HostWake_Signal(wake[1]);
  EXPECT_EQ(HostPoll_Wait(&w, 1, 1000), 1);
  HostWake_Drain(wake[0]);
  EXPECT_EQ(HostPoll_Wait(&w, 1, 0), 0);
  HostStream_Close(wake[0]);
  HostStream_Close(wake[1]);
}

// A client waits for its reply this way: data and the peer's end both end the
// wait, and only silence outlasts the limit.
TEST(StreamTest, WaitReadableEndsWithDataOrTheEndOfTheStream) {
  int fds[2];
  ASSERT_EQ(HostStream_Pair(fds), 0);
  EXPECT_FALSE(HostStream_WaitReadable(fds[0], 10));
  ASSERT_TRUE(HostStream_WriteAll(fds[1], "x", 1));
  EXPECT_TRUE(HostStream_WaitReadable(fds[0], 1000));
  char c = 0;
  ASSERT_TRUE(HostStream_ReadAll(fds[0], &c, 1));
  HostStream_Close(fds[1]);
  EXPECT_TRUE(HostStream_WaitReadable(fds[0], 1000));
  HostStream_Close(fds[0]);
}

}  // namespace
