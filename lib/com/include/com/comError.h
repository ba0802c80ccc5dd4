// ComError: the exception that stands for a failed runtime call, carrying its
// HRESULT and, when the failing object supplied one, a shared reference to
// the error information. Copies share the error information.
#pragma once

#include "com/bstr.h"
#include "com/errorInfo.h"
#include "com/hresult.h"

class ComError {
 public:
  // Takes over the caller's reference to info (may be NULL) unless addRef is
  // true, in which case it takes one of its own.
  explicit ComError(HRESULT hr, IErrorInfo *info = nullptr, bool addRef = false) noexcept;
  ComError(const ComError &other) noexcept;
  ComError &operator=(const ComError &other) noexcept;
  virtual ~ComError();

  HRESULT Error() const noexcept { return hr_; }
  // The error information, or NULL; owned by this object.
  IErrorInfo *ErrorInfo() const noexcept { return info_; }
  // The description of the error information; a null BStr when there is no
  // error information or it has no description.
  BStr Description() const;
  BStr Source() const;
  GUID Guid() const;

 private:
  HRESULT hr_;
  IErrorInfo *info_;
};

// Throws ComError for hr with the calling thread's error information (taken
// out of the thread's slot).
[[noreturn]] void Com_IssueError(HRESULT hr);
