// Preference reads. This program never installs a preference set, so every
// read answers with the caller's default; the read is noted in the (never
// opened) diagnostic log, as early reads are.
#include "user/preference.h"

#include <cstdlib>
#include <cstring>

#include "misc/panic.h"
#include "user/commonState.h"
#include "user/dictionary.h"
#include "user/log.h"

const void *PreferenceGet(const void *defaultValue, int type, const char *name) {
  (void)type;
  CommonState *common = CommonState_Get();
  if (common == NULL || common->preferenceState == NULL) {
    // The dictionary reads its own error switches while reporting; logging
    // those would only add noise around the error itself.
    static const char kQuiet[] = "msg.dictionary.error";
    if (strncmp(name, kQuiet, sizeof kQuiet - 1) != 0) {
      Log("PREF early PreferenceGet(%s), using default\n", name);
    }
  }
  // No preference set exists in this program: nothing ever stores one in the
  // CommonState, so the default is the answer in every case.
  return defaultValue;
}

bool Preference_GetBool(bool defaultValue, const char *name) {
  return *static_cast<const bool *>(PreferenceGet(&defaultValue, DICT_BOOL, name));
}

char *Preference_GetString(const char *defaultValue, const char *name) {
  const char *value =
      *static_cast<const char *const *>(PreferenceGet(&defaultValue, DICT_STRING, name));
  if (value == NULL) return NULL;
  char *copy = strdup(value);
  if (copy == NULL) PANIC_UNRECOVERABLE_ALLOC();
  return copy;
}
