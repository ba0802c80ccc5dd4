// A growable byte buffer. The buffer owns data; an empty buffer is all zero.
// Growth goes to the larger of twice the allocated size (1024 bytes when
// nothing is allocated yet) and the size needed.
#pragma once

#include <cstddef>

struct DynBuf {
  char *data;
  size_t size;       // bytes used
  size_t allocated;  // bytes allocated
};

void DynBuf_Init(DynBuf *b);
// Frees the data and leaves the buffer empty. Accepts an empty buffer.
void DynBuf_Destroy(DynBuf *b);
// Makes room for at least minSize bytes in all. False when allocation failed
// (the buffer is unchanged then).
bool DynBuf_Enlarge(DynBuf *b, size_t minSize);
// Appends size bytes, growing first when needed. An append of 0 bytes always
// succeeds. False when allocation failed.
bool DynBuf_Append(DynBuf *b, const void *data, size_t size);
// Sets the used size; beyond the allocated size is a programming error (Panic).
void DynBuf_SetSize(DynBuf *b, size_t size);
// Shrinks the allocation to the used size. False when reallocation failed.
bool DynBuf_Trim(DynBuf *b);
// Hands the data to the caller (who frees it) and leaves the buffer empty.
char *DynBuf_Detach(DynBuf *b);
