// The server half of a method call: the stub that decodes a request, calls
// the object and encodes the reply, dispatching on the interfaces'
// descriptions. Runtime-internal; the server loop and the tests use it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "com/frame.h"
#include "com/guid.h"
#include "com/objectTable.h"
#include "com/server.h"
#include "com/unknown.h"

// True for the interfaces whose methods the runtime can carry.
bool Com_IsRemotable(const IID &iid);

enum ComStubResult {
  COM_STUB_REPLY,      // *reply holds a finished frame to send
  COM_STUB_NO_REPLY,   // handled; nothing to send
  COM_STUB_MALFORMED,  // the request breaks the protocol: drop the connection
};

// Handles one request payload (a frame without its length) for a connection
// whose objects are in table.
ComStubResult ComStub_Handle(const ComServerClass &cls, ComObjectTable *table,
                             const uint8_t *payload, size_t size, ComFrameWriter *reply);
