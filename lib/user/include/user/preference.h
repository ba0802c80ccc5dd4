// Preference reads. No preference set is ever installed in this program, so
// every read returns the caller's default.
#pragma once

// Returns a pointer to the value to use (the default pointer here).
const void *PreferenceGet(const void *defaultValue, int type, const char *name);
bool Preference_GetBool(bool defaultValue, const char *name);
// Returns a malloc'd copy of the text to use, or NULL when it is NULL.
char *Preference_GetString(const char *defaultValue, const char *name);
