// The client operations every command uses to reach the mount service.
#include "serviceClient.h"

#include <cctype>

#include <boost/regex.hpp>

#include "brenixMount.h"
#include "errors.h"
#include "messages.h"
#include "user/msg.h"

void SetProxySecurity(IUnknown *object) {
  HRESULT hr = CoSetProxyBlanket(object, RPC_C_AUTHN_DEFAULT, RPC_C_AUTHZ_DEFAULT, nullptr,
                                 RPC_C_AUTHN_LEVEL_DEFAULT, RPC_C_IMP_LEVEL_IMPERSONATE, nullptr,
                                 EOAC_DEFAULT);
  if (FAILED(hr)) throw ComError(hr);
}

// Activation asks for the locator's interface itself: a separate query would
// cost a round trip to the service.
static ComPtr<IMountLocator> CreateLocator() {
  ComPtr<IMountLocator> locator;
  HRESULT hr = CoCreateInstance(CLSID_MountLocator, nullptr, CLSCTX_ALL, IID_IMountLocator,
                                reinterpret_cast<void **>(locator.Receive()));
  if (SUCCEEDED(hr)) hr = OleRun(locator.Get());
  if (FAILED(hr)) throw ComError(hr);
  return locator;
}

ServiceSession *ServiceSession::current_ = nullptr;

ServiceSession::ServiceSession() { current_ = this; }

ServiceSession::~ServiceSession() { current_ = nullptr; }

ComPtr<IMountManager> ConnectToService() {
  ServiceSession *session = ServiceSession::current_;
  if (session != nullptr && session->manager_.Get() != nullptr) {
    // A service restarted since (an upgrade, say) closed the connection: a
    // call on it would fail as if the disk were at fault.
    if (SUCCEEDED(OleRun(session->manager_.Get()))) return session->manager_;
    session->manager_.Reset();
  }
  try {
    ComPtr<IMountLocator> locator = CreateLocator();
    BStr host(u"");
    BStr user(u"");
    ComPtr<IMountManager> manager;
    locator.Check(locator->Connect(host.Get(), user.Get(), 0, manager.Receive()));
    SetProxySecurity(manager);
    if (session != nullptr) session->manager_ = manager;
    return manager;
  } catch (const ComError &e) {
    throw AppError(e, Msg_FormatToString(msg::kNoLocator, product::kName, product::kTitle));
  }
}

void LetGoOfService() {
  if (ServiceSession::current_ != nullptr) ServiceSession::current_->manager_.Reset();
}

ComPtr<IVirtualDisk> OpenVirtualDisk(ComPtr<IMountManager> &manager, const std::string &diskPath) {
  try {
    BStr path(diskPath.c_str());
    ComPtr<IVirtualDisk> disk;
    manager.Check(manager->OpenDisk(path.Get(), 0, 0, -1, disk.Receive()));
    return disk;
  } catch (const ComError &e) {
    throw AppError(e, Msg_FormatToString(msg::kUnableToOpenDisk));
  }
}

ComPtr<IVolumeList> GetVolumeList(ComPtr<IVirtualDisk> &disk, unsigned &count) {
  count = 0;
  try {
    ComPtr<IVolumeList> volumes;
    disk.Check(disk->GetVolumes(volumes.Receive()));
    int32_t n = 0;
    volumes.Check(volumes->Count(&n));
    count = static_cast<unsigned>(n);
    return volumes;
  } catch (const ComError &e) {
    if (e.Error() == kNoVolumesHResult) return ComPtr<IVolumeList>();
    throw;
  }
}

std::string VariantToString(const VARIANT &value) {
  if (value.vt == VT_BSTR) return BstrToString(value.bstrVal);
  VARIANT text;
  VariantInit(&text);
  HRESULT hr = VariantChangeType(&text, &value, 0, VT_BSTR);
  if (FAILED(hr)) throw ComError(hr);
  BStr holder = BStr::Attach(text.bstrVal);
  return BstrToString(holder.Get());
}

bool VisitMountTexts(ComPtr<IMountManager> &manager,
                     const std::function<bool(const std::string &)> &visit) {
  ComPtr<IMountList> mounts;
  manager.Check(manager->GetMounts(mounts.Receive()));
  // The list is the service's snapshot: its length does not change.
  int32_t count = 0;
  mounts.Check(mounts->Count(&count));
  for (int32_t i = 1; i <= count; i++) {
    ComVariant item;
    mounts.Check(mounts->Item(i, item.Receive()));
    if (visit(VariantToString(item.Get()))) return true;
  }
  return false;
}

std::vector<MountedVolume> ReadMountedVolumes() {
  ComPtr<IMountManager> manager = ConnectToService();
  static const boost::regex pattern(".+file=\"([^\"]+)\" driveLetter=\"(.):\"");
  std::vector<MountedVolume> result;
  VisitMountTexts(manager, [&](const std::string &text) {
    boost::smatch m;
    if (boost::regex_match(text, m, pattern)) {
      std::string letter = m[2].str();
      letter[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(letter[0])));
      result.push_back({letter, m[1].str()});
    }
    return false;
  });
  return result;
}
