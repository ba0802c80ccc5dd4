// Error texts. Both functions return the calling thread's buffer, which its next call
// overwrites: the system's text for the code, or "Unknown error %d (0x%x)"
// when the system has none, with trailing LF/CR and one final "." removed.
#pragma once

const char *Err_Errno2String(int code);
// The text of the thread's last error (Host_GetLastError).
const char *Err_ErrString(void);
