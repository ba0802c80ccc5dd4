// Frames: the unit the runtime's transport moves. A frame is a 4-byte
// little-endian payload length followed by the payload; a length above
// COM_FRAME_MAX is a protocol error. Payloads are built and read with the
// bounds-checked writer and reader below, all integers little-endian. A
// reader that runs past its end or meets a malformed value turns bad and
// stays bad, so decoders check once at the end instead of after every field.
// Besides integers, GUIDs and BSTRs, the two compound values of the protocol
// are encoded here: VARIANTs and the error-information trailer that ends
// every reply.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "com/bstr.h"
#include "com/errorInfo.h"
#include "com/guid.h"
#include "com/variant.h"

enum : uint32_t {
  COM_FRAME_HEADER = 4,
  COM_FRAME_MAX = 1u << 20,
};

// Message kinds, the first byte of a payload.
enum ComMessage : uint8_t {
  COM_MSG_ACTIVATE = 1,  // clsid, iid                -> reply: hr, object
  COM_MSG_CALL = 2,      // object, iid, slot, args   -> reply: hr, error info, outs
  COM_MSG_RELEASE = 3,   // object                    (no reply)
  // A reply: hr, then the outs (an object as its id) and the error
  // information. In a REPLY_FIXED, every object is followed by the answers
  // of its fixed methods (see ComFixed). Servers send that to the clients
  // that ask for it (COM_READS_FIXED), and the plain one to the others; clients
  // read both, so that either side may be from before an upgrade.
  COM_MSG_REPLY = 4,
  COM_MSG_REPLY_FIXED = 5,
};

// A RELEASE of this id, no object's, says that the client reads REPLY_FIXED;
// earlier servers take it for a release of nothing.
enum : uint32_t { COM_READS_FIXED = 0 };

enum ComFrameState {
  COM_FRAME_INCOMPLETE,  // more bytes needed
  COM_FRAME_COMPLETE,    // *frameSize bytes hold one whole frame
  COM_FRAME_OVERSIZED,   // the announced length exceeds COM_FRAME_MAX
};
// Looks at the start of a byte buffer for one frame.
ComFrameState ComFrame_Check(const uint8_t *data, size_t size, size_t *frameSize);

class ComFrameWriter {
 public:
  // Starts a frame with room for the length.
  ComFrameWriter();
  void PutU8(uint8_t v) { bytes_.push_back(v); }
  void PutU16(uint16_t v);
  void PutU32(uint32_t v);
  void PutI32(int32_t v) { PutU32(static_cast<uint32_t>(v)); }
  void PutI64(int64_t v);
  void PutGuid(const GUID &g);
  // A null BSTR and an empty one stay distinct on the wire.
  void PutBstr(BSTR s);
  // The type, then the value; an interface pointer travels as objectId, the
  // number the server's object table gave it. v's type must be one that
  // Com_IsVariantType accepts.
  void PutVariant(const VARIANT &v, uint32_t objectId);
  // The trailer: 0 for none (info NULL), else 1, the description, the
  // source and the GUID (iid when info has none).
  void PutErrorInfo(IErrorInfo *info, const IID &iid);
  // Fills in the length, after which Bytes() is the whole frame; false when
  // the payload exceeds COM_FRAME_MAX.
  bool Finish();
  const std::vector<uint8_t> &Bytes() const { return bytes_; }

 private:
  std::vector<uint8_t> bytes_;
};

class ComFrameReader {
 public:
  // Reads a payload (the frame without its length).
  ComFrameReader(const uint8_t *data, size_t size) : p_(data), end_(data + size) {}
  uint8_t GetU8();
  uint16_t GetU16();
  uint32_t GetU32();
  int32_t GetI32() { return static_cast<int32_t>(GetU32()); }
  int64_t GetI64();
  GUID GetGuid();
  // Returns a new BSTR (NULL for a null one) in *out; false when the reader
  // is bad or memory ran out (*out NULL, reader not marked bad for memory).
  bool GetBstr(BSTR *out, bool *noMemory);
  // Returns the VARIANT in *v (VT_EMPTY when the reader turned bad, an
  // unknown type turning it bad); an interface pointer comes as *objectId
  // with punkVal NULL. *noMemory when a BSTR could not be made.
  void GetVariant(VARIANT *v, uint32_t *objectId, bool *noMemory);
  // Reads the trailer; returns the error information it carries (one
  // reference, for the caller) when it is well formed and ends the payload,
  // else NULL (a flag other than 0 or 1 turns the reader bad).
  IErrorInfo *GetErrorInfo();
  // Marks the reader bad (a value out of range, say).
  void Fail() { ok_ = false; }
  bool Ok() const { return ok_; }
  // True when everything was read and nothing went wrong.
  bool Done() const { return ok_ && p_ == end_; }

 private:
  bool Take(size_t n, const uint8_t **at);
  const uint8_t *p_;
  const uint8_t *end_;
  bool ok_ = true;
};
