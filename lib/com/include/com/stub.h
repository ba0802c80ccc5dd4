// The server half of a method call: the table of objects one connection has
// been handed, and the stub that decodes a request, calls the object and
// encodes the reply. Runtime-internal; the server loop and the tests use it.
//
// Every interface pointer that travels to a client gets its own entry (and
// keeps the reference the method handed out) until the client releases it or
// the table is cleared, which is how a vanished client leaks nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <unordered_map>

#include "com/frame.h"
#include "com/guid.h"
#include "com/server.h"
#include "com/unknown.h"

// True for the interfaces whose methods the runtime can carry.
bool Com_IsRemotable(const IID &iid);

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

 private:
  struct Entry {
    IUnknown *object;
    IID iid;
  };
  std::unordered_map<uint32_t, Entry> entries_;
  uint32_t nextId_ = 1;
};

enum ComStubResult {
  COM_STUB_REPLY,      // *reply holds a finished frame to send
  COM_STUB_NO_REPLY,   // handled; nothing to send
  COM_STUB_MALFORMED,  // the request breaks the protocol: drop the connection
};

// Handles one request payload (a frame without its length) for a connection
// whose objects are in table.
ComStubResult ComStub_Handle(const ComServerClass &cls, ComObjectTable *table,
                             const uint8_t *payload, size_t size, ComFrameWriter *reply);
