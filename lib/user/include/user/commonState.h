// The per-thread block that holds the message state (and the preference
// state, never set in this program). Reached through a thread-local pointer.
#pragma once

struct MsgState;

struct CommonState {
  MsgState *msgState;     // created on first use by the message code
  void *preferenceState;  // never set in this program
};

// Allocates a zeroed CommonState for the calling thread.
void CommonState_Init(void);
// Frees it and clears the pointer. Call Msg_Exit first.
void CommonState_Exit(void);
// Returns the calling thread's CommonState, or NULL.
CommonState *CommonState_Get(void);
