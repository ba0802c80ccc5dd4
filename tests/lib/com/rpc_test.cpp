// Method calls through real sockets to the fake service, served by a thread
// on one end of a socketpair or on its endpoint in a private host prefix:
// values, error information, null objects, and the server's bookkeeping when
// clients go away or misbehave.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "com/activation.h"
#include "com/apartment.h"
#include "com/comPtr.h"
#include "com/frame.h"
#include "com/proxy.h"
#include "com/server.h"
#include "com/transport.h"
#include "fakeService.h"
#include "host/socket.h"
#include "privatePrefix.h"
#include "testSupport.h"

namespace {

using fake::Ctl;
using fake::Eventually;

// A locator of a new activation, its result in *hr.
ComPtr<IMountLocator> Create(HRESULT *hr) {
  void *p = nullptr;
  *hr = CoCreateInstance(CLSID_MountLocator, nullptr, CLSCTX_ALL, IID_IMountLocator, &p);
  return ComPtr<IMountLocator>::Attach(static_cast<IMountLocator *>(p));
}
// A locator of an activation retried until a server answers.
ComPtr<IMountLocator> Activate() {
  HRESULT hr = E_FAIL;
  ComPtr<IMountLocator> locator;
  Eventually([&] {
    locator = Create(&hr);
    return hr == S_OK;
  });
  EXPECT_EQ(hr, S_OK);
  return locator;
}

class PairTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Ctl().Reset();
    int fds[2];
    ASSERT_EQ(HostStream_Pair(fds), 0);
    server_ = std::thread([fd = fds[1]] { ComServer_ServeStream(fake::Class(), fd); });
    CoInitialize(nullptr);
    void *p = nullptr;
    ASSERT_EQ(Com_ActivateOverStream(fds[0], CLSID_MountLocator, IID_IUnknown, &p), S_OK);
    auto unknown = ComPtr<IUnknown>::Attach(static_cast<IUnknown *>(p));
    ASSERT_EQ(locator_.QueryFrom(unknown.Get()), S_OK);
  }
  void TearDown() override {
    locator_.Reset();
    CoUninitialize();  // closes the connection: the server thread ends
    server_.join();
  }
  ComPtr<IMountManager> Connect() {
    BStr empty(u"");
    ComPtr<IMountManager> manager;
    locator_.Check(locator_->Connect(empty.Get(), empty.Get(), 0, manager.Receive()));
    return manager;
  }

  std::thread server_;
  ComPtr<IMountLocator> locator_;
};

TEST_F(PairTest, EveryInterfaceCarriesItsValues) {
  ComPtr<IMountManager> manager = Connect();
  EXPECT_FALSE(Ctl().hostWasNull);  // an empty BSTR stays distinct from NULL

  ComPtr<IMountList> list;
  manager.Check(manager->GetMounts(list.Receive()));
  int32_t count = 0;
  list.Check(list->Count(&count));
  EXPECT_EQ(count, 3);
  ComVariant items[3];
  for (int32_t i = 0; i < 3; i++) list.Check(list->Item(i + 1, items[i].Receive()));
  EXPECT_EQ(std::u16string(items[0].ToBStr().Get()),
            u"id=1 file=\"/vms/disk.bxdk\" driveLetter=\"e:\"");
  EXPECT_EQ(items[1].Get().vt, VT_I4);
  EXPECT_EQ(std::u16string(items[1].ToBStr().Get()), u"42");
  ASSERT_EQ(items[2].Get().vt, VT_UNKNOWN);
  ComPtr<IDiskVolume> fromVariant;
  ASSERT_EQ(fromVariant.QueryFrom(items[2].Get().punkVal), S_OK);
  int32_t sectors = 0;
  fromVariant.Check(fromVariant->SectorCount(&sectors));
  EXPECT_EQ(sectors, 7);

  BStr path(u"/vms/disk \u00e9.bxdk");
  ComPtr<IVirtualDisk> disk;
  manager.Check(manager->OpenDisk(path.Get(), 0, 0, -1, disk.Receive()));
  EXPECT_EQ(Ctl().lastPath, u"/vms/disk \u00e9.bxdk");
  int32_t sectorSize = 0;
  disk.Check(disk->SectorSize(&sectorSize));
  EXPECT_EQ(sectorSize, 512);
  ComPtr<IVolumeList> volumes;
  disk.Check(disk->GetVolumes(volumes.Receive()));
  ComPtr<IDiskVolume> volume;
  volumes.Check(volumes->Item(2, volume.Receive()));

  // Only a volume of this connection can travel back, as the server's own.
  auto local = ComPtr<IDiskVolume>::Attach(new fake::Volume(1));
  ComPtr<IMount> mount;
  EXPECT_EQ(disk->CreateMount(0, local.Get(), 0x10000, mount.Receive()), E_INVALIDARG);
  disk.Check(disk->CreateMount(0, volume.Get(), 0x10000, mount.Receive()));
  EXPECT_EQ(Ctl().lastVolumeSectors, 200);
  mount.Check(mount->MountAs(1 << 4, 0x20, -1));
  EXPECT_EQ(Ctl().lastMask, 1 << 4);
  mount.Check(mount->Unmount(VARIANT_TRUE, -1));
  EXPECT_EQ(Ctl().lastForce, VARIANT_TRUE);

  // IDispatch is not remoted.
  void *p = nullptr;
  EXPECT_EQ(mount->QueryInterface(IID_IDispatch, &p), E_NOINTERFACE);
  EXPECT_EQ(p, nullptr);
}

// An answer that cannot change while its object lives comes with the object:
// the server, failing every call by then, is not asked. One that failed as
// the object came is asked for at the call, and not kept when it fails.
TEST_F(PairTest, FixedAnswersComeWithTheirObject) {
  ComPtr<IMountManager> manager = Connect();
  BStr path(u"/vms/disk.bxdk");
  ComPtr<IVirtualDisk> disk;
  manager.Check(manager->OpenDisk(path.Get(), 0, 0, -1, disk.Receive()));
  ComPtr<IVolumeList> volumes;
  disk.Check(disk->GetVolumes(volumes.Receive()));
  ComPtr<IDiskVolume> volume;
  volumes.Check(volumes->Item(2, volume.Receive()));
  ComPtr<IMountList> mounts;
  manager.Check(manager->GetMounts(mounts.Receive()));

  Ctl().failWith = E_FAIL;
  const struct {
    std::function<HRESULT(int32_t *)> ask;
    int32_t answer;
  } kFixed[] = {{[&](int32_t *n) { return disk->SectorSize(n); }, 512},
                {[&](int32_t *n) { return volumes->Count(n); }, 2},
                {[&](int32_t *n) { return volume->SectorCount(n); }, 200},
                {[&](int32_t *n) { return mounts->Count(n); }, 3}};
  for (const auto &c : kFixed) {
    int32_t n = 0;
    EXPECT_EQ(c.ask(&n), S_OK);
    EXPECT_EQ(n, c.answer);
    EXPECT_EQ(c.ask(nullptr), E_POINTER);
  }
  ComPtr<IDiskVolume> other;
  EXPECT_EQ(volumes->Item(1, other.Receive()), E_FAIL);
  Ctl().failWith = S_OK;

  Ctl().withInfo = true;
  Ctl().fixedFailures = 1;  // as the volume is handed out
  volumes.Check(volumes->Item(1, other.Receive()));
  int32_t n = 0;
  EXPECT_EQ(other->SectorCount(&n), S_OK);
  EXPECT_EQ(n, 100);
  Ctl().fixedFailures = 2;  // and at the call
  volumes.Check(volumes->Item(1, other.Receive()));
  ComError e = fake::Thrown([&] { other.Check(other->SectorCount(&n)); });
  EXPECT_EQ(e.Error(), DISP_E_OVERFLOW);
  EXPECT_EQ(std::u16string(e.Description().Get()), u"Access denied by policy");
  EXPECT_EQ(other->SectorCount(&n), S_OK);
  EXPECT_EQ(n, 100);
}

// A reply's fixed answers, or an older server's reply without any, from a
// server that answers a call of the volume's with 99. They are read with the
// rest of the reply, before any proxy is made of it: a short one costs the
// connection.
TEST(FixedAnswers, AreReadAsTheServerSentThem) {
  const struct {
    uint8_t kind;
    std::vector<int32_t> after;  // what follows the object's id
    HRESULT hr;                  // of the activation, then of SectorCount
    int32_t sectors;
  } kCases[] = {
      {COM_MSG_REPLY_FIXED, {S_OK, 77}, S_OK, 77},
      {COM_MSG_REPLY_FIXED, {S_FALSE, 77}, S_FALSE, 77},
      {COM_MSG_REPLY_FIXED, {E_FAIL}, S_OK, 99},
      {COM_MSG_REPLY, {}, S_OK, 99},
      {COM_MSG_REPLY_FIXED, {S_OK}, RPC_E_DISCONNECTED, 0},
  };
  for (const auto &c : kCases) {
    int fds[2];
    ASSERT_EQ(HostStream_Pair(fds), 0);
    std::thread server([fd = fds[1], &c] {
      auto send = [fd](uint8_t kind, const std::vector<int32_t> &values) {
        ComFrameWriter reply;
        reply.PutU8(kind);
        for (int32_t v : values) reply.PutI32(v);
        reply.PutErrorInfo(nullptr, IID_IDiskVolume);
        ASSERT_TRUE(reply.Finish());
        EXPECT_EQ(write(fd, reply.Bytes().data(), reply.Bytes().size()),
                  static_cast<ssize_t>(reply.Bytes().size()));
      };
      uint8_t bytes[256];
      EXPECT_GT(read(fd, bytes, sizeof bytes), 0);  // the activation
      std::vector<int32_t> activated = {S_OK, 1};
      activated.insert(activated.end(), c.after.begin(), c.after.end());
      send(c.kind, activated);
      for (ssize_t n; (n = read(fd, bytes, sizeof bytes)) > 0;) {
        if (bytes[COM_FRAME_HEADER] == COM_MSG_CALL) send(COM_MSG_REPLY, {S_OK, 99});
      }
      close(fd);
    });
    CoInitialize(nullptr);
    void *p = nullptr;
    HRESULT hr = Com_ActivateOverStream(fds[0], CLSID_MountLocator, IID_IDiskVolume, &p);
    if (SUCCEEDED(hr)) {
      auto volume = ComPtr<IDiskVolume>::Attach(static_cast<IDiskVolume *>(p));
      int32_t n = 0;
      hr = volume->SectorCount(&n);
      EXPECT_EQ(n, c.sectors) << int(c.kind) << " " << c.after.size();
    }
    EXPECT_EQ(hr, c.hr) << int(c.kind) << " " << c.after.size();
    CoUninitialize();
    server.join();
  }
}

TEST_F(PairTest, ReleasedProxiesReleaseTheirObjects) {
  int before = Ctl().live;
  {
    ComPtr<IMountManager> manager = Connect();
    ComPtr<IMountList> list;
    manager.Check(manager->GetMounts(list.Receive()));
    EXPECT_EQ(Ctl().live, before + 2);
  }
  // Releases travel without a reply; any later call is ordered after them.
  ComPtr<IDiskVolume> probe;
  EXPECT_EQ(probe.QueryFrom(locator_.Get()), E_NOINTERFACE);
  EXPECT_EQ(Ctl().live, before);
}

// A failed call's ComError carries error information only when the object
// supports it for the interface that failed, alike for a local object and a
// proxy (whose reply replaces a stale one of the client's). What is attached
// is taken from the thread.
TEST_F(PairTest, ErrorInformationBelongsToTheCallOnlyWhenSupported) {
  ComPtr<IMountManager> remote = Connect();
  auto local = ComPtr<IMountManager>::Attach(new fake::Manager());
  const struct {
    bool withInfo, supportsInfo, attached;
  } kCases[] = {{true, true, true}, {false, true, false}, {true, false, false}};
  for (const auto &c : kCases) {
    for (IMountManager *manager : {remote.Get(), local.Get()}) {
      IErrorInfo *stale = nullptr;
      ASSERT_EQ(Com_CreateErrorInfo(u"stale", nullptr, IID_IMount, &stale), S_OK);
      SetErrorInfo(0, manager == remote.Get() ? stale : nullptr);
      stale->Release();
      Ctl().failWith = COM_HRESULT(0x8004020Bu);
      Ctl().withInfo = c.withInfo;
      Ctl().supportsInfo = c.supportsInfo;
      ComPtr<IMountList> list;
      HRESULT hr = manager->GetMounts(list.Receive());
      // Raised as a failure of another interface, nothing is attached.
      EXPECT_EQ(fake::Thrown([&] { Com_RaiseCallError(hr, manager, IID_IMount); }).ErrorInfo(),
                nullptr);
      ComError e = fake::Thrown([&] { ComPtr<IMountManager>(manager).Check(hr); });
      EXPECT_EQ(e.Error(), COM_HRESULT(0x8004020Bu));
      EXPECT_EQ(e.ErrorInfo() != nullptr, c.attached) << c.withInfo << c.supportsInfo;
      if (c.attached) {
        EXPECT_EQ(std::u16string(e.Description().Get()), u"Access denied by policy");
        EXPECT_EQ(std::u16string(e.Source().Get()), u"MountService");
        EXPECT_EQ(e.Guid(), IID_IMountManager);
      }
      // Left on the thread: only what an unsupporting local object left.
      IErrorInfo *left = nullptr;
      bool leftBehind = GetErrorInfo(0, &left) == S_OK;
      EXPECT_EQ(leftBehind, manager == local.Get() && c.withInfo && !c.supportsInfo);
      if (left != nullptr) left->Release();
    }
  }
}

// A client between calls learns that the server went, before it calls.
TEST_F(PairTest, AConnectionTheServerClosedIsNotRun) {
  ComPtr<IMountManager> manager = Connect();
  EXPECT_EQ(OleRun(manager.Get()), S_OK);
  ComServer_RequestStop();
  server_.join();
  server_ = std::thread([] {});
  EXPECT_EQ(OleRun(manager.Get()), RPC_E_DISCONNECTED);
}

TEST_F(PairTest, NullObjectsAndCallsAfterDisconnect) {
  ComPtr<IMountManager> manager = Connect();
  Ctl().nullOut = true;
  ComPtr<IMountList> list;
  EXPECT_EQ(manager->GetMounts(list.Receive()), S_OK);
  EXPECT_FALSE(list);
  Ctl().nullOut = false;
  EXPECT_EQ(manager->GetMounts(nullptr), E_POINTER);
  EXPECT_EQ(OleRun(manager.Get()), S_OK);
  CoInitialize(nullptr);
  CoUninitialize();  // not the last: nothing happens
  EXPECT_EQ(manager->GetMounts(list.Receive()), S_OK);
  EXPECT_TRUE(list);
  CoUninitialize();
  int32_t count = 0;  // a fixed answer too needs the server
  EXPECT_EQ(list->Count(&count), RPC_E_DISCONNECTED);
  EXPECT_EQ(manager->GetMounts(list.Receive()), RPC_E_DISCONNECTED);
  EXPECT_EQ(OleRun(manager.Get()), RPC_E_DISCONNECTED);
  // Everything the connection held is released by the server.
  server_.join();
  server_ = std::thread([] {});
  EXPECT_EQ(Ctl().live, 0);
  CoInitialize(nullptr);  // balances TearDown
}

// Items asked ahead of their replies come as one by one, in chunks, and a
// failure among them leaves its own error, the channel in step and no object
// behind, through a proxy as from a local list.
TEST_F(PairTest, ItemsAskedTogetherComeAsOneByOne) {
  ComPtr<IMountManager> manager = Connect();
  BStr path(u"disk");
  ComPtr<IVirtualDisk> disk;
  manager.Check(manager->OpenDisk(path.Get(), 0, 0, 0, disk.Receive()));
  ComPtr<IVolumeList> remote;
  disk.Check(disk->GetVolumes(remote.Receive()));
  auto local = ComPtr<IVolumeList>::Attach(new fake::VolumeList());
  const int before = Ctl().live;
  // An item the service fails, or one whose visit fails; items whose size
  // is asked of the service while the others are ahead.
  const struct {
    int32_t count, failItem, failVisit, visited;
    HRESULT hr;
    int unfixed;
  } kCases[] = {{0, 0, 0, 0, S_OK, 0},     {1, 0, 0, 1, S_OK, 0},
                {130, 0, 0, 130, S_OK, 0}, {130, 70, 0, 69, E_FAIL, 0},
                {5, 1, 0, 0, E_FAIL, 0},   {130, 0, 66, 65, E_UNEXPECTED, 0},
                {130, 0, 0, 130, S_OK, 3}};
  for (const auto &c : kCases) {
    for (IVolumeList *list : {remote.Get(), local.Get()}) {
      SCOPED_TRACE(testing::Message()
                   << c.count << " " << c.failItem << " " << c.failVisit << (list == local.Get()));
      Ctl().failItem = c.failItem;
      Ctl().withInfo = true;
      Ctl().fixedFailures = list == remote.Get() ? c.unfixed : 0;  // a local one has no such
      int32_t visited = 0;
      HRESULT hr = ComProxy_Items(list, c.count, [&](int32_t i, IDiskVolume *item) {
        int32_t sectors = 0;
        EXPECT_EQ(item->SectorCount(&sectors), S_OK);
        EXPECT_EQ(sectors, i * 100);
        EXPECT_EQ(i, visited + 1);
        if (i == c.failVisit) {
          IErrorInfo *info = nullptr;
          Com_CreateErrorInfo(u"visit", nullptr, IID_IDiskVolume, &info);
          SetErrorInfo(0, info);
          info->Release();
          return E_UNEXPECTED;
        }
        visited = i;
        return S_OK;
      });
      EXPECT_EQ(hr, c.hr);
      EXPECT_EQ(visited, c.visited);
      IErrorInfo *info = nullptr;
      EXPECT_EQ(GetErrorInfo(0, &info), c.hr != S_OK ? S_OK : S_FALSE);
      if (info != nullptr) info->Release();
      Ctl().failItem = 0;
      ComPtr<IDiskVolume> first;  // the next call gets its own reply
      EXPECT_EQ(list->Item(1, first.Receive()), S_OK);
      int32_t sectors = 0;
      EXPECT_EQ(first->SectorCount(&sectors), S_OK);
      EXPECT_EQ(sectors, 100);
      first.Reset();
      EXPECT_TRUE(fake::Eventually([&] {
        ComPtr<IDiskVolume> probe;  // a call carries the releases before it
        EXPECT_EQ(probe.QueryFrom(locator_.Get()), E_NOINTERFACE);
        return Ctl().live == before;
      }));
    }
  }
}

// The server holds back replies only for the frames that came with them: a
// reply is sent before a call behind it goes aside.
TEST(ServerTest, AReplyDoesNotWaitForACallAsideBehindIt) {
  Ctl().Reset();
  int fds[2];
  ASSERT_EQ(HostStream_Pair(fds), 0);
  std::thread server([fd = fds[1]] { ComServer_ServeStream(fake::Class(), fd); });
  auto *channel = new ComChannel(fds[0]);
  std::vector<uint8_t> reply;
  // Each object comes first in its reply, after the kind and the HRESULT.
  // A post gives its ticket.
  auto call = [&](ComFrameWriter &&w, bool post = false) -> uint64_t {
    uint64_t ticket = 0;
    HRESULT hr = post ? channel->Post(&w, &ticket) : channel->Call(&w, &reply);
    EXPECT_EQ(hr, S_OK);
    return post ? ticket : ComFrameReader(reply.data() + 5, reply.size() - 5).GetU32();
  };
  auto frame = [](uint32_t id, const IID &iid, uint16_t slot) {
    ComFrameWriter w;
    w.PutU8(COM_MSG_CALL);
    w.PutU32(id);
    w.PutGuid(iid);
    w.PutU16(slot);
    return w;
  };
  ComFrameWriter activate;
  activate.PutU8(COM_MSG_ACTIVATE);
  activate.PutGuid(CLSID_MountLocator);
  activate.PutGuid(IID_IMountLocator);
  auto locator = static_cast<uint32_t>(call(std::move(activate)));
  ComFrameWriter connect = frame(locator, IID_IMountLocator, ComSlot<&IMountLocator::Connect>());
  connect.PutBstr(nullptr);
  connect.PutBstr(nullptr);
  connect.PutI32(0);
  auto manager = static_cast<uint32_t>(call(std::move(connect)));
  ComFrameWriter getMount = frame(manager, IID_IMountManager, ComSlot<&IMountManager::GetMount>());
  getMount.PutI32(1);
  auto mount = static_cast<uint32_t>(call(std::move(getMount)));
  Ctl().stepAside = true;
  uint64_t first =
      call(frame(manager, IID_IMountManager, ComSlot<&IMountManager::GetMounts>()), true);
  ComFrameWriter mountAs = frame(mount, IID_IMount, ComSlot<&IMount::MountAs>());
  for (int i = 0; i < 3; i++) mountAs.PutI32(0);
  uint64_t second = call(std::move(mountAs), true);
  EXPECT_EQ(channel->Collect(first, &reply), S_OK);
  EXPECT_TRUE(Ctl().aside);
  Ctl().letGo = true;
  EXPECT_EQ(channel->Collect(second, &reply), S_OK);
  EXPECT_FALSE(Ctl().aside);
  // A call made while another is ahead gets its own reply, the other its.
  Ctl().stepAside = false;
  first = call(frame(manager, IID_IMountManager, ComSlot<&IMountManager::GetMounts>()), true);
  ComFrameWriter again = frame(manager, IID_IMountManager, ComSlot<&IMountManager::GetMount>());
  again.PutI32(1);
  EXPECT_NE(call(std::move(again)), 0u);
  EXPECT_EQ(channel->Collect(first, &reply), S_OK);
  EXPECT_EQ(ComFrameReader(reply.data() + 1, reply.size() - 1).GetI32(), S_OK);
  EXPECT_EQ(channel->Collect(first, &reply), RPC_E_DISCONNECTED);  // taken
  channel->Release();
  server.join();
}

// Messages held back wait for a wait on the peer: a release made while
// replies read together are taken goes with the next request, so the server
// is not woken for it alone.
TEST(ChannelTest, HeldMessagesWaitForTheNextRequest) {
  int fds[2];
  ASSERT_EQ(HostStream_Pair(fds), 0);
  auto *channel = new ComChannel(fds[0]);
  auto frame = [](uint8_t kind) {
    ComFrameWriter w;
    w.PutU8(kind);
    w.PutI32(S_OK);
    return w;
  };
  std::vector<uint8_t> requests;
  uint64_t tickets[2];
  for (uint64_t &ticket : tickets) {
    ComFrameWriter request = frame(COM_MSG_CALL);
    ASSERT_EQ(channel->Post(&request, &ticket), S_OK);
    requests.insert(requests.end(), request.Bytes().begin(), request.Bytes().end());
    ComFrameWriter reply = frame(COM_MSG_REPLY);
    ASSERT_TRUE(reply.Finish());
    ASSERT_TRUE(HostStream_WriteAll(fds[1], reply.Bytes().data(), reply.Bytes().size()));
  }
  std::vector<uint8_t> reply;
  EXPECT_EQ(channel->Collect(tickets[0], &reply), S_OK);
  ComFrameWriter release = frame(COM_MSG_RELEASE);
  channel->Send(&release);
  EXPECT_EQ(channel->Collect(tickets[1], &reply), S_OK);
  std::vector<uint8_t> got(requests.size() + 64);
  ASSERT_TRUE(HostStream_SetNonBlocking(fds[1], true));
  EXPECT_EQ(HostStream_Read(fds[1], got.data(), got.size()), static_cast<long>(requests.size()));
  got.resize(requests.size());
  EXPECT_EQ(got, requests);
  channel->Release();
  HostStream_Close(fds[1]);
}

// A server on its endpoint in a private prefix whose path is longer than a
// socket address can hold.
class EndpointTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Ctl().Reset();
    std::filesystem::create_directories(prefix_);
    server_ = std::thread([this] { result_ = fake::Serve([] {}); });
    CoInitialize(nullptr);
  }
  void TearDown() override {
    CoUninitialize();
    Stop();
  }
  void Stop() {
    if (server_.joinable()) {
      ComServer_RequestStop();
      server_.join();
    }
  }
  // The result of asking locator for a manager, which is let go at once.
  static HRESULT Connect(const ComPtr<IMountLocator> &locator) {
    ComPtr<IMountManager> manager;
    return locator->Connect(nullptr, nullptr, 0, manager.Receive());
  }
  // An attach (MountAs) or a forced detach of mount 1, on a connection of
  // this thread's own.
  HRESULT CallMount(bool attach) {
    CoInitialize(nullptr);
    HRESULT hr = E_FAIL;
    {
      ComPtr<IMountLocator> locator = Activate();
      ComPtr<IMountManager> manager;
      locator.Check(locator->Connect(nullptr, nullptr, 0, manager.Receive()));
      ComPtr<IMount> mount;
      manager.Check(manager->GetMount(1, mount.Receive()));
      hr = attach ? mount->MountAs(4, 0, 0) : mount->Unmount(VARIANT_TRUE, 0);
    }
    CoUninitialize();
    return hr;
  }

  int RawConnect() {
    int fd = -1;
    EXPECT_EQ(HostEndpoint_Connect((prefix_ + "/run").c_str(),
                                   Com_GuidToString(CLSID_MountLocator).c_str(), 1000, &fd),
              0);
    return fd;
  }

  testsupport::TempDir dir_;
  std::string prefix_ = dir_.path() + "/" + std::string(60, 'p') + "/" + std::string(60, 'q');
  testsupport::ScopedEnv env_{"BRENIX_HOST_PREFIX", prefix_};
  std::thread server_;
  int result_ = -1;
};

TEST_F(EndpointTest, BadFramesCloseOnlyTheirConnection) {
  ComPtr<IMountLocator> good = Activate();
  ASSERT_TRUE(good);
  const std::string kFrames[] = {
      std::string("\x05\x00\x00\x00\x09garb", 9),  // unknown message
      std::string("\xff\xff\xff\x7f", 4),          // oversized length
      std::string("\x02\x00\x00\x00\x03\x01", 6),  // release, truncated id
      std::string("\x00\x00\x00\x00", 4),          // empty payload
  };
  for (const std::string &frame : kFrames) {
    int fd = RawConnect();
    ASSERT_TRUE(HostStream_WriteAll(fd, frame.data(), frame.size()));
    HostPollEntry wait = {fd, true, false, false, false, false};
    ASSERT_EQ(HostPoll_Wait(&wait, 1, 10000), 1) << "connection left open";
    char byte;
    EXPECT_LE(HostStream_Read(fd, &byte, 1), 0);  // end of stream or reset
    HostStream_Close(fd);
  }
  // A truncated frame followed by a vanished client.
  int fd = RawConnect();
  ASSERT_TRUE(HostStream_WriteAll(fd, "\x40\x00\x00\x00\x02", 5));
  HostStream_Close(fd);
  EXPECT_EQ(Connect(good), S_OK);
}

TEST_F(EndpointTest, AClientThatDiesLeaksNothing) {
  int base = Ctl().live;
  IUnknown *held[3] = {};
  std::thread([&] {
    CoInitialize(nullptr);
    ComPtr<IMountLocator> locator = Activate();
    ComPtr<IMountManager> manager;
    locator.Check(locator->Connect(nullptr, nullptr, 0, manager.Receive()));
    ComPtr<IMountList> list;
    manager.Check(manager->GetMounts(list.Receive()));
    EXPECT_EQ(Ctl().live, base + 3);
    // The thread ends still holding them, as a crashing client would.
    held[0] = locator.Detach();
    held[1] = manager.Detach();
    held[2] = list.Detach();
  }).join();
  EXPECT_TRUE(Eventually([&] { return Ctl().live == base; }));
  for (IUnknown *p : held) p->Release();
}

// Connections held open and silent, as many as the server takes, give way
// to a new client once silent a while; one that holds an object does not.
TEST_F(EndpointTest, SilentConnectionsGiveWayToNewClients) {
  ComPtr<IMountLocator> held = Activate();
  ASSERT_TRUE(held);
  std::vector<int> silent;
  for (int i = 0; i < 256; i++) {
    silent.push_back(RawConnect());
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(2500));
  ComChannel::SetCallTimeout(5000);
  for (int i = 0; i < 3; i++) {
    ComPtr<IMountLocator> locator = Activate();
    ASSERT_TRUE(locator);
    EXPECT_EQ(Connect(locator), S_OK);
  }
  EXPECT_EQ(Connect(held), S_OK);
  ComChannel::SetCallTimeout(60000);
  for (int fd : silent) HostStream_Close(fd);
}

// Clients that gave up on calls aside, as many as the server takes, leave
// room for a new client while those calls go on.
TEST_F(EndpointTest, CallsAsideWhoseClientsHungUpGiveWayToNewClients) {
  Ctl().stepAside = true;
  Ctl().finish = false;  // each call stays aside some 10 s
  ComChannel::SetCallTimeout(2000);
  std::vector<std::thread> gone;
  for (int i = 0; i < 256; i++) {
    gone.emplace_back([this] { EXPECT_EQ(CallMount(true), RPC_E_TIMEOUT); });
  }
  for (std::thread &t : gone) t.join();
  HRESULT hr = E_FAIL;  // once: a refused client would be let in when the calls end
  ComPtr<IMountLocator> locator = Create(&hr);
  EXPECT_EQ(hr, S_OK);
  if (locator) {
    EXPECT_EQ(Connect(locator), S_OK);
  }
  EXPECT_EQ(Ctl().asides, 256) << "the calls ended before the new client came";
  ComChannel::SetCallTimeout(60000);
  Ctl().letGo = true;
  Ctl().finish = true;
}

// A call that steps aside holds nobody else; one that waits for it goes on
// when it ends; a stop meanwhile still gets the caller its answer.
TEST_F(EndpointTest, ACallAsideHoldsOnlyThoseThatWaitForIt) {
  Ctl().stepAside = true;
  Ctl().lastForce = 0;
  Ctl().lastMask = 0;
  auto call = [this](bool attach, HRESULT *hr) { *hr = CallMount(attach); };
  HRESULT attached = E_FAIL, detached = E_FAIL;
  std::thread attach(call, true, &attached);
  ASSERT_TRUE(Eventually([] { return Ctl().aside.load(); }));
  std::thread detach(call, false, &detached);
  ComChannel::SetCallTimeout(5000);  // a held loop fails here, not in a minute
  for (int i = 0; i < 3; i++) EXPECT_EQ(Connect(Activate()), S_OK);
  ComChannel::SetCallTimeout(60000);
  ASSERT_TRUE(Eventually([] { return Ctl().waiting.load(); }));
  HostClock_SleepMs(50);
  EXPECT_EQ(Ctl().lastForce, 0) << "the wait ended before the call aside";
  ComServer_RequestStop();
  Ctl().letGo = true;
  attach.join();
  detach.join();
  EXPECT_EQ(attached, S_OK);
  EXPECT_EQ(Ctl().lastMask, 4);
  EXPECT_EQ(detached, S_OK);
  EXPECT_EQ(Ctl().lastForce, VARIANT_TRUE);
  server_.join();  // the stop asked for above
  EXPECT_EQ(result_, 0);
  EXPECT_EQ(Ctl().live, 0);
}

// A wait with a limit gives up on a call aside that does not end, and says so.
TEST_F(EndpointTest, AWaitWithALimitGivesUp) {
  Ctl().stepAside = true;
  Ctl().waitMs = 100;
  HRESULT attached = E_FAIL;
  std::thread attach([&] { attached = CallMount(true); });
  ASSERT_TRUE(Eventually([] { return Ctl().aside.load(); }));
  EXPECT_EQ(CallMount(false), S_OK);
  EXPECT_EQ(Ctl().waitMet, 0);
  EXPECT_TRUE(Ctl().aside) << "the call aside ended first";
  Ctl().letGo = true;
  attach.join();
  EXPECT_EQ(attached, S_OK);
  EXPECT_EQ(CallMount(false), S_OK);
  EXPECT_EQ(Ctl().waitMet, 1);
}

// Work aside that goes on in turn holds the other calls off meanwhile.
TEST_F(EndpointTest, WorkInTurnRunsWhileNoOtherCallDoes) {
  Ctl().stepAside = true;
  Ctl().turnMs = 300;
  std::thread attach([this] { EXPECT_EQ(CallMount(true), S_OK); });
  ASSERT_TRUE(Eventually([] { return Ctl().aside.load(); }));
  EXPECT_EQ(Connect(Activate()), S_OK);  // served while aside
  Ctl().letGo = true;
  ASSERT_TRUE(Eventually([] { return Ctl().inTurn.load() == 1; }));
  EXPECT_EQ(Connect(Activate()), S_OK);  // served once the turn ends
  attach.join();
  EXPECT_EQ(Ctl().overlaps, 0);
}

// A wait looks again after work in turn, not only once a call ends.
TEST_F(EndpointTest, AWaitLooksAgainAfterWorkInTurn) {
  Ctl().stepAside = true;
  Ctl().finish = false;
  Ctl().lastForce = 0;
  HRESULT attached = E_FAIL, detached = E_FAIL;
  std::thread attach([&] { attached = CallMount(true); });
  ASSERT_TRUE(Eventually([] { return Ctl().aside.load(); }));
  std::thread detach([&] { detached = CallMount(false); });
  ASSERT_TRUE(Eventually([] { return Ctl().waiting.load(); }));
  Ctl().letGo = true;
  EXPECT_TRUE(Eventually([] { return Ctl().lastForce.load() == VARIANT_TRUE; }))
      << "the wait slept on after the turn";
  EXPECT_TRUE(Ctl().aside);
  Ctl().finish = true;
  attach.join();
  detach.join();
  EXPECT_EQ(attached, S_OK);
  EXPECT_EQ(detached, S_OK);
}

// The threads that took the loop over while calls stepped aside leave once
// those calls end, but for one spare.
TEST_F(EndpointTest, ThreadsThatTookTheLoopOverLeave) {
  auto threads = [] {
    return std::distance(std::filesystem::directory_iterator("/proc/self/task"),
                         std::filesystem::directory_iterator());
  };
  Ctl().stepAside = true;
  Ctl().letGo = true;
  EXPECT_EQ(CallMount(true), S_OK);  // makes the spare
  const auto settled = threads();
  Ctl().letGo = false;
  std::vector<std::thread> callers;
  for (int i = 0; i < 6; i++) {
    callers.emplace_back([this] { EXPECT_EQ(CallMount(true), S_OK); });
  }
  ASSERT_TRUE(Eventually([] { return Ctl().asides.load() == 6; }));
  Ctl().letGo = true;
  for (std::thread &t : callers) t.join();
  EXPECT_TRUE(Eventually([&] { return threads() <= settled; }))
      << threads() << " threads, " << settled << " before";
  EXPECT_EQ(CallMount(true), S_OK);  // the spare still serves
}

// The endpoint: private, kept from a second server, removed by a stop.
TEST_F(EndpointTest, ServesALongPrefixPrivatelyAndAlone) {
  ComPtr<IMountLocator> locator = Activate();
  ASSERT_TRUE(locator);
  namespace fs = std::filesystem;
  std::string endpoint = prefix_ + "/run/{F91031A3-644F-46F1-8ED5-B91F0E160879}";
  char *path = ComServer_EndpointPath(CLSID_MountLocator);
  EXPECT_EQ(path, endpoint);
  free(path);
  EXPECT_EQ(fs::status(endpoint).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_EQ(fs::status(prefix_ + "/run").permissions() & fs::perms::all, fs::perms::owner_all);
  EXPECT_NE(fake::Serve(), 0);  // a second server
  EXPECT_EQ(Connect(locator), S_OK);
  Stop();
  EXPECT_EQ(result_, 0);
  EXPECT_FALSE(fs::exists(endpoint));
  EXPECT_EQ(Ctl().live, 0);  // its objects went with it
}

TEST(ServerTest, IdleExitWaitsWhileBusyAndReplacesAStaleEndpoint) {
  testsupport::PrivatePrefix prefix;
  // A stale endpoint: bound, then abandoned without removal.
  int stale = -1;
  std::string run = prefix.file("run");
  std::string name = Com_GuidToString(CLSID_MountLocator);
  ASSERT_EQ(HostEndpoint_Listen(run.c_str(), name.c_str(), &stale), 0);
  HostStream_Close(stale);
  ASSERT_TRUE(std::filesystem::exists(run + "/" + name));

  static std::atomic<int> busyCalls{0};
  busyCalls = 0;
  ComServerOptions options = {1, [] { return ++busyCalls < 3; }, -1, nullptr};
  EXPECT_EQ(ComServer_Serve(fake::Class(), options), 0);
  EXPECT_GE(busyCalls, 3);
  EXPECT_FALSE(std::filesystem::exists(run + "/" + name));
}

// What busy() tidies is asked for while clients stay connected too, silent
// or holding an object, not only once the last one has gone.
TEST(ServerTest, BusyIsAskedWhileClientsStayConnected) {
  static std::atomic<int> busyCalls{0};
  using Hold = std::function<std::function<void()>(const std::string &run)>;
  const Hold kClients[] = {
      [](const std::string &run) {
        int fd = -1;
        EXPECT_TRUE(Eventually([&] {
          return HostEndpoint_Connect(run.c_str(), Com_GuidToString(CLSID_MountLocator).c_str(),
                                      100, &fd) == 0;
        }));
        return [fd] { HostStream_Close(fd); };
      },
      [](const std::string &) {
        CoInitialize(nullptr);
        IMountLocator *held = Activate().Detach();
        return [held] {
          held->Release();
          CoUninitialize();
        };
      },
  };
  for (const Hold &hold : kClients) {
    testsupport::PrivatePrefix prefix;
    ComServerOptions options = {60, [] { return ++busyCalls, false; }, -1, nullptr};
    std::thread server([&] { EXPECT_EQ(ComServer_Serve(fake::Class(), options), 0); });
    std::function<void()> release = hold(prefix.file("run"));
    busyCalls = 0;
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    EXPECT_GE(busyCalls, 2) << &hold - kClients;
    release();
    ComServer_RequestStop();
    server.join();
  }
}

// A busy() that takes a second is asked again a second after it ends, not
// as soon as a call wakes the loop: it would hold the calls as long again.
// So too after one asked while nobody was connected (the first client's).
TEST(ServerTest, ASlowBusyIsAskedAgainASecondAfterItEnds) {
  static std::atomic<int64_t> endedAt{0};
  static std::atomic<int64_t> shortestPause{INT64_MAX};
  testsupport::PrivatePrefix prefix;
  ComServerOptions options = {60,
                              [] {
                                if (endedAt > 0) {
                                  shortestPause =
                                      std::min<int64_t>(shortestPause, HostClock_NowMs() - endedAt);
                                }
                                std::this_thread::sleep_for(std::chrono::milliseconds(1200));
                                endedAt = HostClock_NowMs();
                                return false;
                              },
                              -1, nullptr};
  std::thread server([&] { EXPECT_EQ(ComServer_Serve(fake::Class(), options), 0); });
  CoInitialize(nullptr);
  int64_t pause = 0;
  {
    ComPtr<IMountLocator> locator = Activate();
    for (int64_t end = HostClock_NowMs() + 4000; locator && HostClock_NowMs() < end;) {
      ComPtr<IMountManager> manager;
      EXPECT_EQ(locator->Connect(nullptr, nullptr, 0, manager.Receive()), S_OK);
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    // Read while the locator holds the connection: its release closes it,
    // and the loop, gone idle, asks busy() at once.
    pause = shortestPause;
  }
  CoUninitialize();
  ComServer_RequestStop();
  server.join();
  EXPECT_GE(pause, 900);
}

// Calls given 200 ms.
class CallTimeout : public ::testing::Test {
 protected:
  void SetUp() override {
    ComChannel::SetCallTimeout(200);
    CoInitialize(nullptr);
  }
  void TearDown() override {
    CoUninitialize();
    ComChannel::SetCallTimeout(60000);
  }
};

// A server whose queue of connections is full takes no call: activation
// ends after the call timeout rather than waiting for ever or starting a
// second server.
TEST_F(CallTimeout, AServerWithAFullQueueEndsTheActivation) {
  testsupport::TempDir dir;
  testsupport::ScopedEnv prefix("BRENIX_HOST_PREFIX", dir.path());
  std::string run = dir.path() + "/run";
  std::string name = Com_GuidToString(CLSID_MountLocator);
  int listening = -1;
  ASSERT_EQ(HostEndpoint_Listen(run.c_str(), name.c_str(), &listening), 0);
  std::vector<int> queued;
  for (int fd = -1; HostEndpoint_Connect(run.c_str(), name.c_str(), 20, &fd) == 0;) {
    queued.push_back(fd);
  }
  HRESULT hr = S_OK;
  EXPECT_FALSE(Create(&hr));
  EXPECT_EQ(hr, RPC_E_TIMEOUT);
  for (int fd : queued) HostStream_Close(fd);
  HostStream_Close(listening);
}

// A server that stops answering, before activation (it never accepts) or in
// the middle of a session (its process is stopped), ends the client's call
// with a timeout instead of holding it for ever, and the channel with it.
TEST_F(CallTimeout, AHungServerEndsTheCall) {
  testsupport::TempDir dir;
  int listening = -1;
  ASSERT_EQ(HostEndpoint_Listen(dir.path().c_str(), "hung", &listening), 0);
  int fd = -1;
  ASSERT_EQ(HostEndpoint_Connect(dir.path().c_str(), "hung", 1000, &fd), 0);
  void *p = nullptr;
  EXPECT_EQ(Com_ActivateOverStream(fd, CLSID_MountLocator, IID_IUnknown, &p), RPC_E_TIMEOUT);
  EXPECT_EQ(p, nullptr);
  HostStream_Close(listening);

  int fds[2];
  ASSERT_EQ(HostStream_Pair(fds), 0);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    HostStream_Close(fds[0]);
    ComServer_ServeStream(fake::Class(), fds[1]);
    _exit(0);
  }
  HostStream_Close(fds[1]);
  ASSERT_EQ(Com_ActivateOverStream(fds[0], CLSID_MountLocator, IID_IMountLocator, &p), S_OK);
  auto locator = ComPtr<IMountLocator>::Attach(static_cast<IMountLocator *>(p));
  ComPtr<IMountManager> manager;
  for (HRESULT hr : {S_OK, RPC_E_TIMEOUT, RPC_E_DISCONNECTED}) {
    EXPECT_EQ(locator->Connect(nullptr, nullptr, 0, manager.Receive()), hr);
    manager.Reset();
    if (hr == S_OK) kill(child, SIGSTOP);
  }
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
}

}  // namespace
