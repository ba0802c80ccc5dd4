// Interface descriptions: what the runtime knows of an interface, written once
// beside its declaration as a specialisation of ComInterface<I>. It gives the
// IID and, for an interface whose methods travel, one ComMethod per method:
// the slot that names it on the wire and the member whose signature is its
// argument shape. The stub decodes and the proxies encode from these rows, so
// no slot number is written anywhere else. A slot with no row (a reserved
// one) is answered E_NOTIMPL. A ComFixed row is a method whose one number
// cannot change while the object lives (the count of a snapshot, a size
// taken when the object was made): its answer travels with the object.
#pragma once

#include <cstdint>
#include <type_traits>

#include "com/guid.h"
#include "com/hresult.h"

// Slot 0, QueryInterface, belongs to every interface.
enum : uint16_t { COM_SLOT_QUERY_INTERFACE = 0 };

template <auto Member, uint16_t Slot>
struct ComMethod {
  static constexpr auto kMember = Member;
  static constexpr uint16_t kSlot = Slot;
  static constexpr bool kFixed = false;
};
// The server answers it whenever it hands the object out, and the proxy
// answers from that without a round trip while connected; a failed answer is
// not kept, so the proxy asks again and the failure reaches the caller as it
// always did.
template <auto Member, uint16_t Slot>
struct ComFixed : ComMethod<Member, Slot> {
  static constexpr bool kFixed = true;
};
// The most fixed methods an interface may have.
enum { COM_MAX_FIXED = 2 };
template <class... Methods>
struct ComMethods {};

template <const IID &Id, class... Methods>
struct ComDescription {
  static const IID &Iid() { return Id; }
  using MethodList = ComMethods<Methods...>;
};

// Specialised for each interface, by COM_DESCRIBE(I, methods...) where its
// IID is IID_I.
template <class I>
struct ComInterface;
#define COM_DESCRIBE(I, ...) \
  template <>                \
  struct ComInterface<I> : ComDescription<IID_##I __VA_OPT__(, ) __VA_ARGS__> {}

// The IID of an interface type.
template <class I>
struct ComIid {
  static const IID &Get() { return ComInterface<I>::Iid(); }
};

// A list of interface types.
template <class... I>
struct ComInterfaces {};

namespace com_detail {

template <auto Member>
struct Tag {};
template <class C, class... A>
C ClassOf(HRESULT (C::*)(A...));

template <auto Member, class... M>
constexpr int SlotIn(ComMethods<M...>) {
  int slot = -1;
  ((std::is_same_v<Tag<Member>, Tag<M::kMember>> ? (slot = M::kSlot) : 0), ...);
  return slot;
}

template <class... M>
constexpr int FixedCount(ComMethods<M...>) {
  return (0 + ... + (M::kFixed ? 1 : 0));
}

template <auto Member, class... M>
constexpr int FixedIndexIn(ComMethods<M...>) {
  int index = -1, n = 0;
  ((M::kFixed ? (std::is_same_v<Tag<Member>, Tag<M::kMember>> ? index = n : 0, n++) : 0), ...);
  return index;
}

}  // namespace com_detail

// The wire slot of an interface method, from its interface's description;
// naming a method without a row does not compile.
template <auto Member>
constexpr uint16_t ComSlot() {
  using I = decltype(com_detail::ClassOf(Member));
  constexpr int slot = com_detail::SlotIn<Member>(typename ComInterface<I>::MethodList{});
  static_assert(slot >= 0, "the method has no row in its interface's description");
  return static_cast<uint16_t>(slot);
}

// How many fixed methods interface I has.
template <class I>
constexpr int ComFixedCount() {
  constexpr int count = com_detail::FixedCount(typename ComInterface<I>::MethodList{});
  static_assert(count <= COM_MAX_FIXED, "raise COM_MAX_FIXED");
  return count;
}

// The place of a method among its interface's fixed methods; -1 when it is
// not one.
template <auto Member>
constexpr int ComFixedIndex() {
  using I = decltype(com_detail::ClassOf(Member));
  return com_detail::FixedIndexIn<Member>(typename ComInterface<I>::MethodList{});
}
