// The mount service's classes and interfaces, shared by the service and its
// clients. Slots 0-2 are IUnknown's and 3-6 IDispatch's; the methods stand at
// the slots the clients call, the gaps filled with reserved methods that
// answer E_NOTIMPL. Methods return an HRESULT with the result in the last
// out-parameter; "long" is 32 bits; indexes start at 1.
#pragma once

#include <cstdint>

#include "com/bstr.h"
#include "com/guid.h"
#include "com/hresult.h"
#include "com/unknown.h"
#include "com/variant.h"

#define E_NOTIMPL COM_HRESULT(0x80004001u)

extern const CLSID CLSID_MountLocator;  // {F91031A3-644F-46F1-8ED5-B91F0E160879}

extern const IID IID_IDispatch;
extern const IID IID_ISupportErrorInfo;
extern const IID IID_IMountLocator;  // {59BB5A50-DA38-4AD6-B30B-E3633C9965DB}
extern const IID IID_IMountManager;  // {35685352-70B3-4FD1-BDBF-630E69D9DCAF}
extern const IID IID_IMountList;     // {CEB7EF73-2542-4A3D-B74D-CB5FCD7688BE}
extern const IID IID_IVirtualDisk;   // {74DA78DF-87FB-4852-A3F2-00F7D7397131}
extern const IID IID_IVolumeList;    // {D6EDF03B-A98B-49C6-80BF-B5D9AD2069BB}
extern const IID IID_IDiskVolume;    // {81C44379-840C-4634-A9DE-B74115BE9BFF}
extern const IID IID_IMount;         // {6D141D28-1601-4734-AEB5-6AE99F26ED4C}

// Objects that can tell whether they leave error information for an interface.
struct ISupportErrorInfo : IUnknown {
  // slot 3: S_OK when failures of iid carry error information, else S_FALSE.
  virtual HRESULT InterfaceSupportsErrorInfo(const IID &iid) = 0;

 protected:
  ~ISupportErrorInfo() = default;
};

// Slots 3-6. No client calls them.
struct IDispatch : IUnknown {
  virtual HRESULT GetTypeInfoCount(uint32_t *count) = 0;                        // 3
  virtual HRESULT GetTypeInfo(uint32_t index, uint32_t lcid, void **info) = 0;  // 4
  virtual HRESULT GetIDsOfNames(const IID &iid, OLECHAR **names, uint32_t count, uint32_t lcid,
                                int32_t *ids) = 0;  // 5
  virtual HRESULT Invoke(int32_t id, const IID &iid, uint32_t lcid, uint16_t flags, void *params,
                         VARIANT *result, void *exception, uint32_t *argError) = 0;  // 6

 protected:
  ~IDispatch() = default;
};

struct IMountManager;
struct IMountList;
struct IVirtualDisk;
struct IVolumeList;
struct IDiskVolume;
struct IMount;

struct IMountLocator : IDispatch {
  // 7: Connect(empty BSTR, empty BSTR, 0) -> IMountManager
  virtual HRESULT Connect(BSTR host, BSTR user, int32_t flags, IMountManager **manager) = 0;

 protected:
  ~IMountLocator() = default;
};

struct IMountManager : IDispatch {
  virtual HRESULT Reserved7() { return E_NOTIMPL; }               // 7
  virtual HRESULT GetMount(int32_t mountId, IMount **mount) = 0;  // 8
  virtual HRESULT GetMounts(IMountList **mounts) = 0;             // 9
  virtual HRESULT Reserved10() { return E_NOTIMPL; }              // 10
  virtual HRESULT Reserved11() { return E_NOTIMPL; }              // 11
  virtual HRESULT Reserved12() { return E_NOTIMPL; }              // 12
  virtual HRESULT Reserved13() { return E_NOTIMPL; }              // 13
  // 14: OpenDisk(path, 0, 0, -1) -> IVirtualDisk
  virtual HRESULT OpenDisk(BSTR path, int32_t flags, int32_t mode, int32_t options,
                           IVirtualDisk **disk) = 0;

 protected:
  ~IMountManager() = default;
};

struct IMountList : IDispatch {
  virtual HRESULT Reserved7() { return E_NOTIMPL; }        // 7
  virtual HRESULT Item(int32_t index, VARIANT *item) = 0;  // 8: a listing text (BSTR)
  virtual HRESULT Count(int32_t *count) = 0;               // 9

 protected:
  ~IMountList() = default;
};

struct IVirtualDisk : IDispatch {
  virtual HRESULT Reserved7() { return E_NOTIMPL; }       // 7
  virtual HRESULT Reserved8() { return E_NOTIMPL; }       // 8
  virtual HRESULT Reserved9() { return E_NOTIMPL; }       // 9
  virtual HRESULT GetVolumes(IVolumeList **volumes) = 0;  // 10
  virtual HRESULT Reserved11() { return E_NOTIMPL; }      // 11
  // 12: CreateMount(0, volume, 0x10000) -> IMount
  virtual HRESULT CreateMount(int32_t flags, IDiskVolume *volume, int32_t options,
                              IMount **mount) = 0;
  virtual HRESULT SectorSize(int32_t *bytes) = 0;  // 13

 protected:
  ~IVirtualDisk() = default;
};

struct IVolumeList : IDispatch {
  virtual HRESULT Reserved7() { return E_NOTIMPL; }               // 7
  virtual HRESULT Item(int32_t index, IDiskVolume **volume) = 0;  // 8
  virtual HRESULT Count(int32_t *count) = 0;                      // 9

 protected:
  ~IVolumeList() = default;
};

struct IDiskVolume : IDispatch {
  virtual HRESULT Reserved7() { return E_NOTIMPL; }   // 7
  virtual HRESULT Reserved8() { return E_NOTIMPL; }   // 8
  virtual HRESULT Reserved9() { return E_NOTIMPL; }   // 9
  virtual HRESULT Reserved10() { return E_NOTIMPL; }  // 10
  virtual HRESULT SectorCount(int32_t *count) = 0;    // 11

 protected:
  ~IDiskVolume() = default;
};

struct IMount : IDispatch {
  virtual HRESULT Reserved7() { return E_NOTIMPL; }                  // 7
  virtual HRESULT Unmount(VARIANT_BOOL force, int32_t options) = 0;  // 8
  virtual HRESULT Reserved9() { return E_NOTIMPL; }                  // 9
  virtual HRESULT Reserved10() { return E_NOTIMPL; }                 // 10
  virtual HRESULT Reserved11() { return E_NOTIMPL; }                 // 11
  virtual HRESULT Reserved12() { return E_NOTIMPL; }                 // 12
  virtual HRESULT Reserved13() { return E_NOTIMPL; }                 // 13
  virtual HRESULT Reserved14() { return E_NOTIMPL; }                 // 14
  virtual HRESULT Reserved15() { return E_NOTIMPL; }                 // 15
  virtual HRESULT Reserved16() { return E_NOTIMPL; }                 // 16
  virtual HRESULT Reserved17() { return E_NOTIMPL; }                 // 17
  // 18: MountAs(drive mask with one bit, 0x20, -1)
  virtual HRESULT MountAs(int32_t driveMask, int32_t flags, int32_t options) = 0;

 protected:
  ~IMount() = default;
};
