// The per-thread CommonState: created by main at start, released at the end.
// The message code hangs its per-thread state from it.
#include "user/commonState.h"

#include <cstdlib>

#include "misc/panic.h"
#include "user/msg.h"

static thread_local CommonState *threadCommonState = NULL;

void CommonState_Init(void) {
  // A second call keeps the existing block: replacing it would lose the
  // messages accumulated so far.
  if (threadCommonState != NULL) return;
  CommonState *state = static_cast<CommonState *>(calloc(1, sizeof *state));
  if (state == NULL) PANIC_MEM_ALLOC();
  threadCommonState = state;
}

void CommonState_Exit(void) {
  if (threadCommonState == NULL) return;
  // Callers are meant to call Msg_Exit first; release the message state here
  // anyway rather than leak it.
  if (threadCommonState->msgState != NULL) Msg_Exit();
  free(threadCommonState);
  threadCommonState = NULL;
}

CommonState *CommonState_Get(void) { return threadCommonState; }
