// ComError: an HRESULT and a shared reference to the error information that
// came with it. Copies take their own reference, so the exception can be
// copied into other exceptions (as a cause) and outlive the original.
#include "com/comError.h"

ComError::ComError(HRESULT hr, IErrorInfo *info, bool addRef) noexcept : hr_(hr), info_(info) {
  if (info_ != nullptr && addRef) {
    info_->AddRef();
  }
}

ComError::ComError(const ComError &other) noexcept : hr_(other.hr_), info_(other.info_) {
  if (info_ != nullptr) {
    info_->AddRef();
  }
}

ComError &ComError::operator=(const ComError &other) noexcept {
  if (other.info_ != nullptr) {
    other.info_->AddRef();
  }
  if (info_ != nullptr) {
    info_->Release();
  }
  hr_ = other.hr_;
  info_ = other.info_;
  return *this;
}

ComError::~ComError() {
  if (info_ != nullptr) {
    info_->Release();
  }
}

BStr ComError::Description() const {
  BSTR description = nullptr;
  if (info_ == nullptr || FAILED(info_->GetDescription(&description))) {
    return BStr();
  }
  return BStr::Attach(description);
}

BStr ComError::Source() const {
  BSTR source = nullptr;
  if (info_ == nullptr || FAILED(info_->GetSource(&source))) {
    return BStr();
  }
  return BStr::Attach(source);
}

GUID ComError::Guid() const {
  GUID guid = GUID_NULL;
  if (info_ != nullptr && FAILED(info_->GetGUID(&guid))) {
    guid = GUID_NULL;
  }
  return guid;
}

void Com_IssueError(HRESULT hr) {
  IErrorInfo *info = nullptr;
  if (GetErrorInfo(0, &info) != S_OK) {
    info = nullptr;
  }
  throw ComError(hr, info);
}
