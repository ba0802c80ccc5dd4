// Message literals and the per-thread message state: lookup of a literal's id
// and text, formatting, accumulation of appended messages and posting them
// through the thread's post callback (a message box on the host console by
// default).
#include "user/msg.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <utility>

#include "host/console.h"
#include "misc/codeset.h"
#include "misc/dynbuf.h"
#include "misc/panic.h"
#include "string/str.h"
#include "user/commonState.h"
#include "user/dictionary.h"
#include "user/log.h"
#include "user/preference.h"

static const char kProductTitle[] = "Brenix Guest Ferry";

enum { MSG_ID_BUF_SIZE = 128 };

// Titles of the message types; 5 to 7 are reserved and have none.
static const char *const kTitleLiterals[MSG_NUM_TYPES] = {
    MSGID(msg.info) "Information",
    MSGID(msg.info) "Information",
    MSGID(msg.warning) "Warning",
    MSGID(msg.error) "Error",
    MSGID(msg.configEditor) "Configuration editor",
    NULL,
    NULL,
    NULL,
    MSGID(msg.homePageInfo) "Home page info",
};

struct MsgState {
  MsgPostCallback postCallback;
  DynBuf texts;                       // display texts since the last reset, one final NUL
  DynBuf idRecords;                   // "[id] default-text" for the same messages, one final NUL
  Dictionary *catalog;                // id -> translated text; never installed here
  const char *titles[MSG_NUM_TYPES];  // default titles, filled on the first post
};

static void MsgPostMessageBox(int type, const char *text, const char *id);

// Threads without a CommonState share this one; thread states start from it.
static MsgState defaultState = {MsgPostMessageBox, {NULL, 0, 0}, {NULL, 0, 0}, NULL, {}};

namespace {
thread_local bool tHoldingBack = false;
thread_local unsigned long tHeldBack = 0;
}  // namespace

bool Msg_HoldBack(bool on) { return std::exchange(tHoldingBack, on); }

bool Msg_HoldOne(void) {
  if (tHoldingBack) tHeldBack++;
  return tHoldingBack;
}

unsigned long Msg_HeldBack(void) { return tHeldBack; }

MsgState *MsgState_Get(void) {
  CommonState *common = CommonState_Get();
  if (common == NULL) return &defaultState;
  if (common->msgState == NULL) {
    MsgState *state = static_cast<MsgState *>(calloc(1, sizeof *state));
    if (state == NULL) PANIC_MEM_ALLOC();
    // Only what may be shared is taken over: the default state's buffers and
    // catalog stay its own, so that two states never free the same memory.
    state->postCallback = defaultState.postCallback;
    memcpy(state->titles, defaultState.titles, sizeof state->titles);
    common->msgState = state;
  }
  return common->msgState;
}

void Msg_SetPostCallback(MsgPostCallback callback) {
  MsgState_Get()->postCallback = callback != NULL ? callback : MsgPostMessageBox;
}

void Msg_Exit(void) {
  CommonState *common = CommonState_Get();
  VERIFY(common != NULL);
  MsgState *state = common->msgState;
  if (state == NULL) return;
  DynBuf_Destroy(&state->texts);
  DynBuf_Destroy(&state->idRecords);
  Dictionary_Free(state->catalog);
  free(state);
  common->msgState = NULL;
}

const char *MsgLookup(const char *literal, bool noCatalog, char *idBuf) {
  static const size_t kMagicLength = sizeof MSG_MAGIC - 1;
  VERIFY(literal != NULL && strncmp(literal, MSG_MAGIC, kMagicLength) == 0 &&
         literal[kMagicLength] == '(');
  const char *idStart = literal + kMagicLength + 1;
  const char *idEnd = strchr(idStart, ')');
  VERIFY(idEnd != NULL);
  const char *defaultText = idEnd + 1;

  Dictionary *catalog = noCatalog ? NULL : MsgState_Get()->catalog;
  if (idBuf == NULL && catalog == NULL) return defaultText;

  size_t idLength = static_cast<size_t>(idEnd - idStart);
  if (idLength > MSG_ID_BUF_SIZE - 1) NOT_IMPLEMENTED();
  char localId[MSG_ID_BUF_SIZE];
  char *id = idBuf != NULL ? idBuf : localId;
  memcpy(id, idStart, idLength);
  id[idLength] = '\0';

  if (catalog != NULL) {
    const char *noDefault = NULL;
    const char *const *value =
        static_cast<const char *const *>(Dictionary_Get(catalog, &noDefault, DICT_STRING, id));
    if (value != NULL && *value != NULL) return *value;
  }
  return defaultText;
}

// Converts a UTF-8 format to the current code page and formats it; returns a
// malloc'd string. Stops the program when either step fails.
static char *MsgFormatText(const char *utf8Format, va_list args) {
  char *format = NULL;
  if (!CodeSet_Utf8ToCurrent(utf8Format, strlen(utf8Format), &format, NULL)) {
    NOT_IMPLEMENTED();
  }
  char *result = Str_Vasprintf(NULL, format, args);
  free(format);
  if (result == NULL) PANIC_MEM_ALLOC();
  return result;
}

char *Msg_VFormat(const char *literal, va_list args) {
  return MsgFormatText(MsgLookup(literal, false, NULL), args);
}

char *Msg_Format(const char *literal, ...) {
  va_list args;
  va_start(args, literal);
  char *result = Msg_VFormat(literal, args);
  va_end(args);
  return result;
}

std::string Msg_FormatToString(const char *literal, ...) {
  va_list args;
  va_start(args, literal);
  std::unique_ptr<char, decltype(&free)> text(Msg_VFormat(literal, args), &free);
  va_end(args);
  return std::string(text.get());
}

static void MsgAppendBytes(DynBuf *buffer, const char *bytes, size_t length) {
  if (!DynBuf_Append(buffer, bytes, length)) PANIC_MEM_ALLOC();
}

// Appends one message to both buffers; the id goes to idBuf (128 bytes).
static void MsgAppendV(MsgState *state, const char *literal, va_list args, char *idBuf) {
  // Each buffer keeps one final NUL: drop it before appending.
  if (state->texts.size > 0) {
    DynBuf_SetSize(&state->texts, state->texts.size - 1);
    VERIFY(state->idRecords.size > 0);
    DynBuf_SetSize(&state->idRecords, state->idRecords.size - 1);
  }

  va_list again;
  va_copy(again, args);
  char *display = MsgFormatText(MsgLookup(literal, false, idBuf), args);
  MsgAppendBytes(&state->texts, display, strlen(display) + 1);
  free(display);

  char *english = MsgFormatText(MsgLookup(literal, true, NULL), again);
  va_end(again);
  MsgAppendBytes(&state->idRecords, "[", 1);
  MsgAppendBytes(&state->idRecords, idBuf, strlen(idBuf));
  MsgAppendBytes(&state->idRecords, "] ", 2);
  MsgAppendBytes(&state->idRecords, english, strlen(english) + 1);
  free(english);
}

void Msg_Append(const char *literal, ...) {
  if (Msg_HoldOne()) return;
  char id[MSG_ID_BUF_SIZE];
  va_list args;
  va_start(args, literal);
  MsgAppendV(MsgState_Get(), literal, args, id);
  va_end(args);
}

static void MsgResetBuffer(DynBuf *buffer) {
  DynBuf_SetSize(buffer, 0);
  MsgAppendBytes(buffer, "", 1);
}

static const char *MsgBufferText(const DynBuf *buffer) {
  return buffer->size > 0 ? buffer->data : "";
}

void Msg_Reset(bool log) {
  MsgState *state = MsgState_Get();
  if (log && state->texts.size > 1) {
    Log("Msg_Reset:\n%s%s%s", MsgBufferText(&state->idRecords),
        state->catalog != NULL ? "[localized] " : "",
        state->catalog != NULL ? MsgBufferText(&state->texts) : "");
  }
  MsgResetBuffer(&state->texts);
  MsgResetBuffer(&state->idRecords);
}

const char *Msg_GetMessages(void) { return MsgBufferText(&MsgState_Get()->texts); }

const char *Msg_GetMessagesWithIds(void) { return MsgBufferText(&MsgState_Get()->idRecords); }

void Msg_Post(int type, const char *literal, ...) {
  VERIFY(type >= 0 && type < MSG_NUM_TYPES && literal != NULL);
  if (Msg_HoldOne()) return;
  MsgState *state = MsgState_Get();

  char id[MSG_ID_BUF_SIZE];
  va_list args;
  va_start(args, literal);
  MsgAppendV(state, literal, args, id);
  va_end(args);

  // The log always gets the English titles, whatever the catalog says.
  if (state->titles[MSG_ERROR] == NULL) {
    for (int i = 0; i < MSG_NUM_TYPES; i++) {
      state->titles[i] = kTitleLiterals[i] != NULL ? MsgLookup(kTitleLiterals[i], true, NULL) : "";
    }
  }
  Log("Msg_Post: %s\n%s%s%s----------------------------------------\n", state->titles[type],
      MsgBufferText(&state->idRecords), state->catalog != NULL ? "[localized] " : "",
      state->catalog != NULL ? MsgBufferText(&state->texts) : "");

  // Copies, so that the callback may post again.
  char *text = strdup(MsgBufferText(&state->texts));
  char *idCopy = strdup(id);
  if (text == NULL || idCopy == NULL) PANIC_MEM_ALLOC();
  MsgResetBuffer(&state->texts);
  MsgResetBuffer(&state->idRecords);

  bool shown = false;
  if (!Preference_GetBool(false, "msg.autoAnswer")) {
    if (type == MSG_ERROR || !Preference_GetBool(false, "msg.noOK")) {
      state->postCallback(type, text, idCopy);
      shown = true;
    }
  }
  if (!shown && !Preference_GetBool(false, "msg.noOKnoWarning")) {
    Warning("MSG: %s\n", text);
  }
  free(text);
  free(idCopy);
}

static void MsgPostMessageBox(int type, const char *text, const char *id) {
  (void)id;
  char *title = NULL;
  if (type >= 0 && type < MSG_NUM_TYPES && kTitleLiterals[type] != NULL) {
    const char *utf8Title = MsgLookup(kTitleLiterals[type], false, NULL);
    if (!CodeSet_Utf8ToCurrent(utf8Title, strlen(utf8Title), &title, NULL)) NOT_IMPLEMENTED();
  }
  // A reserved type has no title: the caption is the product title alone.
  char *caption =
      title != NULL ? Str_Asprintf(NULL, "%s %s", kProductTitle, title) : strdup(kProductTitle);
  if (caption == NULL) PANIC_MEM_ALLOC();
  HostConsole_MessageBox(caption, Str_Printable(text).c_str());
  free(caption);
  free(title);
}
