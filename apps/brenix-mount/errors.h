// The front end's exceptions, the event records written for them, and the
// fatal stop's front-end ending. Only main catches these.
#pragma once

#include <stdexcept>
#include <string>

#include "com/bstr.h"
#include "com/comError.h"

// A condition the user must be told plainly or can correct. Exit code 1.
class UserError : public std::runtime_error {
 public:
  explicit UserError(const std::string &text) : std::runtime_error(text) {}
};

// A mount-service operation failed and there is a user-facing explanation.
// Exit code 2.
class AppError : public std::runtime_error {
 public:
  AppError(const ComError &cause, const std::string &text)
      : std::runtime_error(text), cause_(cause) {}
  const ComError &cause() const { return cause_; }

 private:
  ComError cause_;
};

// A host call failed. Exit code 3. The text names the system error, the
// source (from apps/ or lib/ onward) and the line.
class ApiException : public std::runtime_error {
 public:
  // The thread's last error.
  ApiException(const char *source, int line);
  // An error code returned by the failed call.
  ApiException(int errorCode, const char *source, int line);
  // The thread's last error, then a detail such as "while reading <path>".
  ApiException(const std::string &detail, const char *source, int line);
};

// The HRESULT in lower-case hex without prefix or leading zeros.
std::string HexHResult(HRESULT hr);
// The error information's description, else the host's text for the
// HRESULT, else "IDispatch error #%d" / "Unknown error 0x%0lX". Never throws
// a conversion failure.
std::string ComErrorDescription(const ComError &e);
// The text of a BSTR in the current code page. A null BSTR or text that
// cannot be converted raises ApiException; an empty BSTR gives "".
std::string BstrToString(BSTR text);

void LogUserError(const UserError &e);
void LogAppError(const AppError &e);
void LogComError(const ComError &e);
void LogApiException(const ApiException &e);

// Installs the event-log message table and the fatal stop's ending (the
// unexpected-error text, an event record, exit code 3).
void InstallErrorReporting();
// Ends the run as a fatal stop with the given text.
[[noreturn]] void FatalStop(const char *text);
