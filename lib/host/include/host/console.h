// The message box of a host without a window system: the text goes to
// standard error, and the box is "dismissed" with the Enter key when a person
// is at the terminal.
#pragma once

// Writes the caption on one line, the body as given, then "[OK]" on a line of
// its own (a line feed is put before it when the body does not end with one),
// all on standard error. When standard input and standard error are both
// terminals it then waits for the Enter key (or the end of input); otherwise it
// returns at once. NULL caption or body count as empty.
void HostConsole_MessageBox(const char *caption, const char *body);
