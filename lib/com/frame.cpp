// Frame encoding: fixed little-endian integers, GUIDs as their four fields,
// BSTRs as a character count (0xFFFFFFFF for null) and UTF-16 code units,
// VARIANT_BOOLs and 16-bit integers as two bytes.
// Every read is checked against the payload's end before it touches memory.
#include "com/frame.h"

namespace {

const uint32_t kNullBstr = 0xFFFFFFFFu;

uint32_t LoadU32(const uint8_t *p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

}  // namespace

ComFrameState ComFrame_Check(const uint8_t *data, size_t size, size_t *frameSize) {
  if (size < COM_FRAME_HEADER) {
    return COM_FRAME_INCOMPLETE;
  }
  uint32_t length = LoadU32(data);
  if (length > COM_FRAME_MAX) {
    return COM_FRAME_OVERSIZED;
  }
  if (size - COM_FRAME_HEADER < length) {
    return COM_FRAME_INCOMPLETE;
  }
  *frameSize = COM_FRAME_HEADER + length;
  return COM_FRAME_COMPLETE;
}

ComFrameWriter::ComFrameWriter() : bytes_(COM_FRAME_HEADER, 0) { bytes_.reserve(128); }

void ComFrameWriter::PutU16(uint16_t v) {
  bytes_.push_back(static_cast<uint8_t>(v));
  bytes_.push_back(static_cast<uint8_t>(v >> 8));
}

void ComFrameWriter::PutU32(uint32_t v) {
  for (int i = 0; i < 4; i++) {
    bytes_.push_back(static_cast<uint8_t>(v >> (8 * i)));
  }
}

void ComFrameWriter::PutI64(int64_t v) {
  auto u = static_cast<uint64_t>(v);
  PutU32(static_cast<uint32_t>(u));
  PutU32(static_cast<uint32_t>(u >> 32));
}

void ComFrameWriter::PutGuid(const GUID &g) {
  PutU32(g.Data1);
  PutU16(g.Data2);
  PutU16(g.Data3);
  bytes_.insert(bytes_.end(), g.Data4, g.Data4 + 8);
}

void ComFrameWriter::PutBstr(BSTR s) {
  if (s == nullptr) {
    PutU32(kNullBstr);
    return;
  }
  uint32_t n = SysStringLen(s);
  PutU32(n);
  for (uint32_t i = 0; i < n; i++) {
    PutU16(static_cast<uint16_t>(s[i]));
  }
}

bool ComFrameWriter::Finish() {
  size_t length = bytes_.size() - COM_FRAME_HEADER;
  if (length > COM_FRAME_MAX) {
    return false;
  }
  for (int i = 0; i < 4; i++) {
    bytes_[static_cast<size_t>(i)] = static_cast<uint8_t>(length >> (8 * i));
  }
  return true;
}

bool ComFrameReader::Take(size_t n, const uint8_t **at) {
  if (!ok_ || static_cast<size_t>(end_ - p_) < n) {
    ok_ = false;
    return false;
  }
  *at = p_;
  p_ += n;
  return true;
}

uint8_t ComFrameReader::GetU8() {
  const uint8_t *p;
  return Take(1, &p) ? p[0] : 0;
}

uint16_t ComFrameReader::GetU16() {
  const uint8_t *p;
  return Take(2, &p) ? static_cast<uint16_t>(p[0] | p[1] << 8) : 0;
}

uint32_t ComFrameReader::GetU32() {
  const uint8_t *p;
  return Take(4, &p) ? LoadU32(p) : 0;
}

int64_t ComFrameReader::GetI64() {
  uint64_t low = GetU32();
  uint64_t high = GetU32();
  return static_cast<int64_t>(low | high << 32);
}

GUID ComFrameReader::GetGuid() {
  GUID g = GUID_NULL;
  g.Data1 = GetU32();
  g.Data2 = GetU16();
  g.Data3 = GetU16();
  const uint8_t *p;
  if (Take(8, &p)) {
    for (int i = 0; i < 8; i++) {
      g.Data4[i] = p[i];
    }
  }
  return g;
}

bool ComFrameReader::GetBstr(BSTR *out, bool *noMemory) {
  *out = nullptr;
  *noMemory = false;
  uint32_t n = GetU32();
  if (!ok_ || n == kNullBstr) {
    return ok_;
  }
  const uint8_t *p;
  if (n > static_cast<size_t>(end_ - p_) / 2 || !Take(static_cast<size_t>(n) * 2, &p)) {
    ok_ = false;
    return false;
  }
  BSTR s = SysAllocStringLen(nullptr, n);
  if (s == nullptr) {
    *noMemory = true;
    return false;
  }
  for (uint32_t i = 0; i < n; i++) {
    s[i] = static_cast<char16_t>(p[2 * i] | p[2 * i + 1] << 8);
  }
  *out = s;
  return true;
}

void ComFrameWriter::PutVariant(const VARIANT &v, uint32_t objectId) {
  PutU16(v.vt);
  switch (v.vt) {
    case VT_I2:
      PutU16(static_cast<uint16_t>(v.iVal));
      break;
    case VT_BOOL:
      PutU16(static_cast<uint16_t>(v.boolVal));
      break;
    case VT_I4:
    case VT_ERROR:
      PutI32(v.vt == VT_I4 ? v.lVal : v.scode);
      break;
    case VT_I8:
      PutI64(v.llVal);
      break;
    case VT_BSTR:
      PutBstr(v.bstrVal);
      break;
    case VT_UNKNOWN:
      PutU32(objectId);
      break;
    default:
      break;
  }
}

void ComFrameReader::GetVariant(VARIANT *v, uint32_t *objectId, bool *noMemory) {
  VariantInit(v);
  *objectId = 0;
  *noMemory = false;
  v->vt = GetU16();
  switch (v->vt) {
    case VT_EMPTY:
    case VT_NULL:
      break;
    case VT_I2:
      v->iVal = static_cast<int16_t>(GetU16());
      break;
    case VT_BOOL:
      v->boolVal = static_cast<VARIANT_BOOL>(GetU16());
      break;
    case VT_I4:
      v->lVal = GetI32();
      break;
    case VT_ERROR:
      v->scode = GetI32();
      break;
    case VT_I8:
      v->llVal = GetI64();
      break;
    case VT_BSTR:
      GetBstr(&v->bstrVal, noMemory);
      break;
    case VT_UNKNOWN:
      *objectId = GetU32();
      break;
    default:
      v->vt = VT_EMPTY;
      Fail();
      break;
  }
}

void ComFrameWriter::PutErrorInfo(IErrorInfo *info, const IID &iid) {
  if (info == nullptr) {
    PutU8(0);
    return;
  }
  BSTR description = nullptr;
  BSTR source = nullptr;
  GUID guid = iid;
  if (FAILED(info->GetDescription(&description))) description = nullptr;
  if (FAILED(info->GetSource(&source))) source = nullptr;
  if (FAILED(info->GetGUID(&guid))) guid = iid;
  PutU8(1);
  PutBstr(description);
  PutBstr(source);
  PutGuid(guid);
  SysFreeString(description);
  SysFreeString(source);
}

IErrorInfo *ComFrameReader::GetErrorInfo() {
  uint8_t flag = GetU8();
  if (flag != 1) {
    if (flag != 0) {
      Fail();
    }
    return nullptr;
  }
  BSTR description = nullptr;
  BSTR source = nullptr;
  bool noMemory = false;
  GetBstr(&description, &noMemory);
  GetBstr(&source, &noMemory);
  GUID guid = GetGuid();
  IErrorInfo *info = nullptr;
  if (Done() && FAILED(Com_CreateErrorInfo(description, source, guid, &info))) {
    info = nullptr;
  }
  SysFreeString(description);
  SysFreeString(source);
  return info;
}
