// The mount service's classes and interfaces, shared by the service and its
// clients, each with its description for the runtime (see interface.h).
// Slots 0-2 are IUnknown's and 3-6 IDispatch's; the methods stand at the
// slots the clients call, and the slots between them are reserved (answered
// E_NOTIMPL by the server). Methods return an HRESULT with the result in the last
// out-parameter; "long" is 32 bits; indexes start at 1. Objects are deleted
// by their last Release only (deleting through an interface pointer draws
// the compiler's warning about a non-virtual destructor).
#pragma once

#include <cstdint>

#include "com/bstr.h"
#include "com/guid.h"
#include "com/hresult.h"
#include "com/interface.h"
#include "com/unknown.h"
#include "com/variant.h"

inline constexpr CLSID CLSID_MountLocator = {
    0xF91031A3, 0x644F, 0x46F1, {0x8E, 0xD5, 0xB9, 0x1F, 0x0E, 0x16, 0x08, 0x79}};

inline constexpr IID IID_ISupportErrorInfo = {
    0xDF0B3D60, 0x548F, 0x101B, {0x8E, 0x65, 0x08, 0x00, 0x2B, 0x2B, 0xD1, 0x19}};
// Objects that can tell whether they leave error information for an interface.
struct ISupportErrorInfo : IUnknown {
  // S_OK when failures of iid carry error information, else S_FALSE.
  virtual HRESULT InterfaceSupportsErrorInfo(const IID &iid) = 0;

 protected:
  ~ISupportErrorInfo() = default;
};

inline constexpr IID IID_IDispatch = {0x00020400, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};

// Slots 3-6. No client calls them, and no object implements them.
struct IDispatch : IUnknown {
  virtual HRESULT GetTypeInfoCount(uint32_t *) { return E_NOTIMPL; }
  virtual HRESULT GetTypeInfo(uint32_t, uint32_t, void **) { return E_NOTIMPL; }
  virtual HRESULT GetIDsOfNames(const IID &, OLECHAR **, uint32_t, uint32_t, int32_t *) {
    return E_NOTIMPL;
  }
  virtual HRESULT Invoke(int32_t, const IID &, uint32_t, uint16_t, void *, VARIANT *, void *,
                         uint32_t *) {
    return E_NOTIMPL;
  }

 protected:
  ~IDispatch() = default;
};

struct IMountManager;
struct IMountList;
struct IVirtualDisk;
struct IVolumeList;
struct IDiskVolume;
struct IMount;

inline constexpr IID IID_IMountLocator = {
    0x59BB5A50, 0xDA38, 0x4AD6, {0xB3, 0x0B, 0xE3, 0x63, 0x3C, 0x99, 0x65, 0xDB}};
struct IMountLocator : IDispatch {
  // Connect(empty BSTR, empty BSTR, 0) -> IMountManager
  virtual HRESULT Connect(BSTR host, BSTR user, int32_t flags, IMountManager **manager) = 0;
};

inline constexpr IID IID_IMountManager = {
    0x35685352, 0x70B3, 0x4FD1, {0xBD, 0xBF, 0x63, 0x0E, 0x69, 0xD9, 0xDC, 0xAF}};
struct IMountManager : IDispatch {
  virtual HRESULT GetMount(int32_t mountId, IMount **mount) = 0;
  virtual HRESULT GetMounts(IMountList **mounts) = 0;
  // OpenDisk(path, 0, 0, -1) -> IVirtualDisk
  virtual HRESULT OpenDisk(BSTR path, int32_t flags, int32_t mode, int32_t options,
                           IVirtualDisk **disk) = 0;
};

inline constexpr IID IID_IMountList = {
    0xCEB7EF73, 0x2542, 0x4A3D, {0xB7, 0x4D, 0xCB, 0x5F, 0xCD, 0x76, 0x88, 0xBE}};
struct IMountList : IDispatch {
  virtual HRESULT Item(int32_t index, VARIANT *item) = 0;  // a listing text (BSTR)
  virtual HRESULT Count(int32_t *count) = 0;
};

inline constexpr IID IID_IVirtualDisk = {
    0x74DA78DF, 0x87FB, 0x4852, {0xA3, 0xF2, 0x00, 0xF7, 0xD7, 0x39, 0x71, 0x31}};
struct IVirtualDisk : IDispatch {
  virtual HRESULT GetVolumes(IVolumeList **volumes) = 0;
  // CreateMount(0, volume, 0x10000) -> IMount; the volume must be one of
  // this disk's, from the same connection.
  virtual HRESULT CreateMount(int32_t flags, IDiskVolume *volume, int32_t options,
                              IMount **mount) = 0;
  virtual HRESULT SectorSize(int32_t *bytes) = 0;
};

inline constexpr IID IID_IVolumeList = {
    0xD6EDF03B, 0xA98B, 0x49C6, {0x80, 0xBF, 0xB5, 0xD9, 0xAD, 0x20, 0x69, 0xBB}};
struct IVolumeList : IDispatch {
  virtual HRESULT Item(int32_t index, IDiskVolume **volume) = 0;
  virtual HRESULT Count(int32_t *count) = 0;
};

inline constexpr IID IID_IDiskVolume = {
    0x81C44379, 0x840C, 0x4634, {0xA9, 0xDE, 0xB7, 0x41, 0x15, 0xBE, 0x9B, 0xFF}};
struct IDiskVolume : IDispatch {
  virtual HRESULT SectorCount(int32_t *count) = 0;
};

inline constexpr IID IID_IMount = {
    0x6D141D28, 0x1601, 0x4734, {0xAE, 0xB5, 0x6A, 0xE9, 0x9F, 0x26, 0xED, 0x4C}};
struct IMount : IDispatch {
  virtual HRESULT Unmount(VARIANT_BOOL force, int32_t options) = 0;
  // MountAs(drive mask with one bit, 0x20, -1)
  virtual HRESULT MountAs(int32_t driveMask, int32_t flags, int32_t options) = 0;
};

// The descriptions: each method's slot; the member gives its argument shape.
// The fixed ones answer from a snapshot or a constant, taken when the object
// was made.
COM_DESCRIBE(ISupportErrorInfo, ComMethod<&ISupportErrorInfo::InterfaceSupportsErrorInfo, 3>);
COM_DESCRIBE(IDispatch);
COM_DESCRIBE(IMountLocator, ComMethod<&IMountLocator::Connect, 7>);
COM_DESCRIBE(IMountManager, ComMethod<&IMountManager::GetMount, 8>,
             ComMethod<&IMountManager::GetMounts, 9>, ComMethod<&IMountManager::OpenDisk, 14>);
COM_DESCRIBE(IMountList, ComMethod<&IMountList::Item, 8>, ComFixed<&IMountList::Count, 9>);
COM_DESCRIBE(IVirtualDisk, ComMethod<&IVirtualDisk::GetVolumes, 10>,
             ComMethod<&IVirtualDisk::CreateMount, 12>, ComFixed<&IVirtualDisk::SectorSize, 13>);
COM_DESCRIBE(IVolumeList, ComMethod<&IVolumeList::Item, 8>, ComFixed<&IVolumeList::Count, 9>);
COM_DESCRIBE(IDiskVolume, ComFixed<&IDiskVolume::SectorCount, 11>);
COM_DESCRIBE(IMount, ComMethod<&IMount::Unmount, 8>, ComMethod<&IMount::MountAs, 18>);

// The interfaces whose methods the runtime carries between processes.
using ComRemotableInterfaces =
    ComInterfaces<IUnknown, ISupportErrorInfo, IMountLocator, IMountManager, IMountList,
                  IVirtualDisk, IVolumeList, IDiskVolume, IMount>;
