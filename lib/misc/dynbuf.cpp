// The growable byte buffer. Growth doubles (from 1024 bytes) so that a run of
// small appends costs amortised constant time; every size computation is
// checked for overflow so a huge request fails instead of wrapping.
#include "misc/dynbuf.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "misc/panic.h"

void DynBuf_Init(DynBuf *b) {
  b->data = nullptr;
  b->size = 0;
  b->allocated = 0;
}

void DynBuf_Destroy(DynBuf *b) {
  free(b->data);
  DynBuf_Init(b);
}

bool DynBuf_Enlarge(DynBuf *b, size_t minSize) {
  if (minSize <= b->allocated) {
    return true;
  }
  size_t doubled = 1024;
  if (b->allocated != 0) {
    doubled = b->allocated > SIZE_MAX / 2 ? SIZE_MAX : b->allocated * 2;
  }
  size_t newSize = doubled > minSize ? doubled : minSize;
  char *p = static_cast<char *>(realloc(b->data, newSize));
  if (p == nullptr) {
    return false;
  }
  b->data = p;
  b->allocated = newSize;
  return true;
}

bool DynBuf_Append(DynBuf *b, const void *data, size_t size) {
  if (size == 0) {
    return true;
  }
  if (size > SIZE_MAX - b->size) {
    return false;
  }
  if (!DynBuf_Enlarge(b, b->size + size)) {
    return false;
  }
  memcpy(b->data + b->size, data, size);
  b->size += size;
  return true;
}

void DynBuf_SetSize(DynBuf *b, size_t size) {
  VERIFY(size <= b->allocated);
  b->size = size;
}

bool DynBuf_Trim(DynBuf *b) {
  if (b->size == b->allocated) {
    return true;
  }
  if (b->size == 0) {
    free(b->data);
    b->data = nullptr;
    b->allocated = 0;
    return true;
  }
  char *p = static_cast<char *>(realloc(b->data, b->size));
  if (p == nullptr) {
    return false;
  }
  b->data = p;
  b->allocated = b->size;
  return true;
}

char *DynBuf_Detach(DynBuf *b) {
  char *data = b->data;
  DynBuf_Init(b);
  return data;
}
