// Message literals: "@&!*@*@(" + id + ")" + default text (a printf format,
// UTF-8). Formatting, per-thread accumulation (Msg_Append) and posting
// (Msg_Post) through the thread's post callback, a message box by default.
// Every text handed to these functions must be a message literal: anything
// else stops the program.
#pragma once

#include <cstdarg>
#include <string>

#define MSG_MAGIC "@&!*@*@"
#define MSGID(id) MSG_MAGIC "(msg." #id ")"

enum MsgType {
  MSG_INFO = 0,
  MSG_INFO_TIMEOUT = 1,
  MSG_WARNING = 2,
  MSG_ERROR = 3,
  MSG_CONFIG_EDITOR = 4,
  MSG_WEB_LINK_HOME_PAGE_INFO = 8,
  MSG_NUM_TYPES = 9,
};

// Shows a posted message: its type, the accumulated text and the id.
typedef void (*MsgPostCallback)(int type, const char *text, const char *id);

struct MsgState;

// Returns the calling thread's state (the shared static default when the
// thread has no CommonState).
MsgState *MsgState_Get(void);
// Installs a post callback for the calling thread (NULL: the message box).
void Msg_SetPostCallback(MsgPostCallback callback);

// Returns a malloc'd string: the literal's display text formatted with the
// arguments.
char *Msg_Format(const char *literal, ...);
char *Msg_VFormat(const char *literal, va_list args);
// The same as a standard string; the intermediate string is freed on every path.
std::string Msg_FormatToString(const char *literal, ...);

// Formats and appends to the thread's buffers; shows nothing.
void Msg_Append(const char *literal, ...);
// Appends, then shows everything accumulated through the post callback, then
// empties the buffers.
void Msg_Post(int type, const char *literal, ...);
// Empties both buffers; with log, hands their text to Log first.
void Msg_Reset(bool log);
// While on, the calling thread holds back every message it would append or
// post and every Warning: nothing is formatted or shown, only counted. For a
// thread that works ahead of another and leaves to it, in order, whatever
// says something. Returns the setting it replaces.
bool Msg_HoldBack(bool on);
// While the calling thread holds back: counts one more held back, true.
bool Msg_HoldOne(void);
// How many the calling thread has held back so far.
unsigned long Msg_HeldBack(void);

// Releases the thread's MsgState. Requires the CommonState.
void Msg_Exit(void);

// For tests and diagnostics: the text buffer and the id buffer ("" when empty).
const char *Msg_GetMessages(void);
const char *Msg_GetMessagesWithIds(void);

// Internal, exposed for tests: returns the text to use for the literal and,
// when idBuf (128 bytes) is given, copies the id into it.
const char *MsgLookup(const char *literal, bool noCatalog, char *idBuf);
