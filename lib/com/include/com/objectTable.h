// The table of objects one server connection has been handed. Every
// interface pointer that travels to a client gets its own entry (and keeps
// the reference the method handed out) until the client releases it or the
// table is cleared, which is how a vanished client leaks nothing.
// Runtime-internal; the stub and the tests use it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <unordered_map>

#include "com/guid.h"
#include "com/unknown.h"

class ComObjectTable {
 public:
  enum : uint32_t { kMaxObjects = 65536 };

  ComObjectTable() = default;
  ComObjectTable(const ComObjectTable &) = delete;
  ComObjectTable &operator=(const ComObjectTable &) = delete;
  ~ComObjectTable() { Clear(); }

  // Takes over one reference to object, which is an interface pointer of
  // type iid seen as IUnknown. Returns its id (never 0), or 0 when the table
  // is full (the reference stays with the caller).
  uint32_t Add(IUnknown *object, const IID &iid);
  // Returns the entry's pointer (still owned by the table) or NULL.
  IUnknown *Find(uint32_t id, IID *iid) const;
  // Releases the entry; false when there is none.
  bool Remove(uint32_t id);
  // Releases every entry.
  void Clear();
  size_t Size() const { return entries_.size(); }

  // Whether the connection's client reads fixed answers (COM_READS_FIXED).
  bool readsFixed = false;

 private:
  struct Entry {
    IUnknown *object;
    IID iid;
  };
  std::unordered_map<uint32_t, Entry> entries_;
  uint32_t nextId_ = 1;
};
