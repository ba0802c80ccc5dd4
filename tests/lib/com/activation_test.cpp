// Activation in private host prefixes: the registration only decides how to
// start a server that is not listening, and what a missing, unstartable or
// silent one yields; objects of the caller's own process; proxy security. A
// real start is test_service.py's, the idle exit rpc_test's.
#include "com/activation.h"

#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "com/apartment.h"
#include "com/comPtr.h"
#include "com/server.h"
#include "fakeService.h"
#include "host/registry.h"
#include "host/socket.h"
#include "privatePrefix.h"

namespace {

const char kKey[] =
    "Software\\Classes\\CLSID\\{F91031A3-644F-46F1-8ED5-B91F0E160879}\\LocalServer32";

class ActivationTest : public ::testing::Test {
 protected:
  void SetUp() override { CoInitialize(nullptr); }
  void TearDown() override { CoUninitialize(); }
  void Register(const std::string &path) {
    ASSERT_EQ(HostRegistry_CreateKey(kKey), 0);
    ASSERT_EQ(HostRegistry_SetString(kKey, "@", HOSTREG_SZ, path.c_str()), 0);
  }
  HRESULT Create(ComPtr<IUnknown> *out, uint32_t clsctx = CLSCTX_ALL) {
    void *p = nullptr;
    HRESULT hr = CoCreateInstance(CLSID_MountLocator, nullptr, clsctx, IID_IUnknown, &p);
    *out = ComPtr<IUnknown>::Attach(static_cast<IUnknown *>(p));
    EXPECT_EQ(SUCCEEDED(hr), p != nullptr);
    return hr;
  }
  // Sets the security the front end sets.
  static HRESULT Blanket(IUnknown *object) {
    return CoSetProxyBlanket(object, RPC_C_AUTHN_DEFAULT, RPC_C_AUTHZ_DEFAULT, nullptr,
                             RPC_C_AUTHN_LEVEL_DEFAULT, RPC_C_IMP_LEVEL_IMPERSONATE, nullptr,
                             EOAC_DEFAULT);
  }

  testsupport::PrivatePrefix prefix_;
};

// Nothing listens: the registration decides.
TEST_F(ActivationTest, WithoutAListeningServer) {
  testsupport::WriteFile(prefix_.work("not-executable"), "#!/bin/sh\n");
  const struct {
    std::string server;  // empty for no registration
    HRESULT hr;
  } kCases[] = {
      {"", REGDB_E_CLASSNOTREG},
      {prefix_.work("no-such-server"), CO_E_SERVER_EXEC_FAILURE},
      {prefix_.work("not-executable"), CO_E_SERVER_EXEC_FAILURE},
      {"/bin/true", CO_E_SERVER_EXEC_FAILURE},  // never listens
  };
  for (const auto &c : kCases) {
    if (!c.server.empty()) Register(c.server);
    ComPtr<IUnknown> object;
    EXPECT_EQ(Create(&object), c.hr) << c.server;
  }
}

TEST_F(ActivationTest, AListeningServerIsUsedWhateverTheRegistration) {
  Register(prefix_.work("no-such-server"));
  std::thread server([] { fake::Serve(); });
  ComPtr<IUnknown> object;
  EXPECT_TRUE(fake::Eventually([&] { return Create(&object) == S_OK; }));
  EXPECT_EQ(OleRun(object.Get()), S_OK);
  EXPECT_EQ(Blanket(object.Get()), S_OK);
  ComServer_RequestStop();
  server.join();
}

// A server on its way out (idle) drops a connection unread: the request
// never reached it, and its successor takes it.
TEST_F(ActivationTest, AServerOnItsWayOutIsSucceeded) {
  Register("/bin/true");
  std::string run = prefix_.file("run");
  std::string name = Com_GuidToString(CLSID_MountLocator);
  int leaving = -1;
  ASSERT_EQ(HostEndpoint_Listen(run.c_str(), name.c_str(), &leaving), 0);
  std::thread server([&] {
    HostPollEntry wait = {leaving, true, false, false, false, false};
    HostPoll_Wait(&wait, 1, 10000);
    HostEndpoint_Remove(run.c_str(), name.c_str(), leaving);
    HostStream_Close(leaving);
    fake::Serve();
  });
  ComPtr<IUnknown> object;
  EXPECT_EQ(Create(&object), S_OK);
  object.Reset();
  ComServer_RequestStop();
  server.join();
}

TEST_F(ActivationTest, ObjectsOfTheCallersOwnProcess) {
  Com_RegisterInProcessClass(CLSID_MountLocator, &fake::CreateLocator);
  ComPtr<IUnknown> object;
  ASSERT_EQ(Create(&object), S_OK);
  EXPECT_EQ(OleRun(object.Get()), S_OK);
  EXPECT_EQ(Blanket(object.Get()), E_NOINTERFACE);
  // A local server only: the in-process class does not count.
  ComPtr<IUnknown> remote;
  EXPECT_EQ(Create(&remote, CLSCTX_LOCAL_SERVER), REGDB_E_CLASSNOTREG);
  Com_RegisterInProcessClass(CLSID_MountLocator, nullptr);
  EXPECT_EQ(Create(&remote), REGDB_E_CLASSNOTREG);
}

TEST_F(ActivationTest, BadArguments) {
  void *p = reinterpret_cast<void *>(1);
  fake::Locator *outer = new fake::Locator();
  EXPECT_EQ(CoCreateInstance(CLSID_MountLocator, static_cast<IMountLocator *>(outer), CLSCTX_ALL,
                             IID_IUnknown, &p),
            CLASS_E_NOAGGREGATION);
  EXPECT_EQ(p, nullptr);
  outer->Release();
  EXPECT_EQ(CoCreateInstance(CLSID_MountLocator, nullptr, CLSCTX_ALL, IID_IUnknown, nullptr),
            E_POINTER);
  EXPECT_EQ(OleRun(nullptr), E_INVALIDARG);
  EXPECT_EQ(CoSetProxyBlanket(nullptr, 0, 0, nullptr, 0, 0, nullptr, 0), E_INVALIDARG);
  CoUninitialize();
  EXPECT_EQ(CoCreateInstance(CLSID_MountLocator, nullptr, CLSCTX_ALL, IID_IUnknown, &p),
            CO_E_NOTINITIALIZED);
  CoInitialize(nullptr);
}

}  // namespace
