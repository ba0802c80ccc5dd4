// The client side of the mount service: connecting with the required proxy
// security, opening a disk, fetching its volumes, reading the listing of
// mounts, and turning the service's texts into ordinary strings. A run
// connects once (again after a question to the user, or once the service
// closed the connection): the manager lives as long as the run's
// ServiceSession; every other interface reference lives only inside the
// operation that obtained it.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "com/activation.h"
#include "com/comPtr.h"
#include "com/mountService.h"

// The service's "no volumes" answer from GetVolumes or Count.
inline constexpr HRESULT kNoVolumesHResult = COM_HRESULT(0x8004020Bu);

// One mount read from the service's listing.
struct MountedVolume {
  std::string driveLetter;  // one character, upper case
  std::string diskPath;
};

// The run's one connection. While a session lives, ConnectToService connects
// at its first call and hands the same manager to every later one
// (validation, then the command); the session releases it when it ends,
// which must be before the component runtime shuts down. Without a session
// every call connects anew.
class ServiceSession {
 public:
  ServiceSession();
  ~ServiceSession();

 private:
  ServiceSession(const ServiceSession &) = delete;
  ServiceSession &operator=(const ServiceSession &) = delete;
  friend ComPtr<IMountManager> ConnectToService();
  friend void LetGoOfService();
  static ServiceSession *current_;
  ComPtr<IMountManager> manager_;
};

// Returns the session's manager, or creates the locator, connects, and
// returns the manager with its proxy security set. Any failure becomes the
// noLocator AppError.
ComPtr<IMountManager> ConnectToService();

// Releases the session's manager, if it has one, so that the next
// ConnectToService connects anew: a connection kept through a wait for the
// user would hold the service from its idle exit.
void LetGoOfService();

// Sets the proxy security the service expects; raises ComError on failure
// (E_POINTER for an empty reference).
void SetProxySecurity(IUnknown *object);
template <class T>
void SetProxySecurity(const ComPtr<T> &ref) {
  SetProxySecurity(static_cast<IUnknown *>(ref.operator->()));
}

// Opens the disk; any failure becomes the unableToOpenDisk AppError.
ComPtr<IVirtualDisk> OpenVirtualDisk(ComPtr<IMountManager> &manager, const std::string &diskPath);

// The disk's volume list, with its length in count; an empty list and 0 when
// the service answers 0x8004020B. Other failures pass on as ComError.
ComPtr<IVolumeList> GetVolumeList(ComPtr<IVirtualDisk> &disk, unsigned &count);

// The text of a listing item: a BSTR as it is, anything else converted
// (ComError when it cannot be); then BstrToString.
std::string VariantToString(const VARIANT &value);

// Calls visit with the text of each item of the service's mount listing, in
// its order, until visit returns true; returns whether it did. Failures pass
// on as ComError.
bool VisitMountTexts(ComPtr<IMountManager> &manager,
                     const std::function<bool(const std::string &)> &visit);

// The mounts of the service's listing, in its order; texts that do not have
// the listing's form are left out.
std::vector<MountedVolume> ReadMountedVolumes();
