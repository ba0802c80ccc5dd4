// Smart references for the front end: ComPtr<T> holds one reference to an
// interface T and releases it on every path; ComVariant clears its VARIANT
// the same way. Using an empty reference throws ComError(E_POINTER), and a
// failed method becomes ComError with the error information that belongs to
// it. Only the front end instantiates these; the runtime underneath never
// throws.
#pragma once

#include <cstddef>
#include <utility>

#include "com/bstr.h"
#include "com/comError.h"
#include "com/errorInfo.h"
#include "com/mountService.h"
#include "com/unknown.h"
#include "com/variant.h"

// Throws ComError(hr) with the error information of the failed call, if any.
[[noreturn]] inline void Com_RaiseCallError(HRESULT hr, IUnknown *object, const IID &iid) {
  throw ComError(hr, Com_TakeCallErrorInfo(object, iid));
}

template <class T>
class ComPtr {
 public:
  ComPtr() noexcept = default;
  ComPtr(std::nullptr_t) noexcept {}
  // Shares p: takes a reference of its own.
  explicit ComPtr(T *p) noexcept : p_(p) {
    if (p_ != nullptr) {
      p_->AddRef();
    }
  }
  ComPtr(const ComPtr &other) noexcept : ComPtr(other.p_) {}
  ComPtr(ComPtr &&other) noexcept : p_(other.p_) { other.p_ = nullptr; }
  ComPtr &operator=(ComPtr other) noexcept {
    std::swap(p_, other.p_);
    return *this;
  }
  ~ComPtr() { Reset(); }

  // Takes over the caller's reference to p.
  static ComPtr Attach(T *p) noexcept {
    ComPtr r;
    r.p_ = p;
    return r;
  }
  // Hands the reference to the caller and leaves the holder empty.
  T *Detach() noexcept {
    T *p = p_;
    p_ = nullptr;
    return p;
  }
  void Reset() noexcept {
    T *p = p_;
    p_ = nullptr;
    if (p != nullptr) {
      p->Release();
    }
  }

  // For an out-parameter: empties the holder, which then takes over what the
  // call stores (no extra reference).
  T **Receive() noexcept {
    Reset();
    return &p_;
  }

  // Throws ComError(E_POINTER) when empty.
  T *operator->() const {
    if (p_ == nullptr) {
      throw ComError(E_POINTER);
    }
    return p_;
  }
  T *Get() const noexcept { return p_; }
  explicit operator bool() const noexcept { return p_ != nullptr; }

  // Replaces the content with other's interface T (QueryInterface). Returns
  // the HRESULT; the holder is empty on failure.
  template <class U>
  HRESULT QueryFrom(U *other) noexcept {
    Reset();
    if (other == nullptr) {
      return E_POINTER;
    }
    void *p = nullptr;
    HRESULT hr = other->QueryInterface(ComIid<T>::Get(), &p);
    if (SUCCEEDED(hr)) {
      p_ = static_cast<T *>(p);
    }
    return hr;
  }

  // Returns hr when it succeeded; otherwise throws ComError with the error
  // information of a failed method of T on this object.
  HRESULT Check(HRESULT hr) const {
    if (FAILED(hr)) {
      Com_RaiseCallError(hr, p_, ComIid<T>::Get());
    }
    return hr;
  }

 private:
  T *p_ = nullptr;
};

// A VARIANT that is cleared when it goes out of scope.
class ComVariant {
 public:
  ComVariant() noexcept { VariantInit(&v_); }
  ComVariant(const ComVariant &) = delete;
  ComVariant &operator=(const ComVariant &) = delete;
  ~ComVariant() { VariantClear(&v_); }

  // For an out-parameter: clears the value first.
  VARIANT *Receive() noexcept {
    VariantClear(&v_);
    return &v_;
  }
  const VARIANT &Get() const noexcept { return v_; }

  // The value as text: a BSTR is shared as it is, anything else converted.
  // Throws ComError with the conversion's HRESULT when it cannot be.
  BStr ToBStr() const {
    if (v_.vt == VT_BSTR) {
      BSTR copy = SysAllocStringLen(v_.bstrVal, SysStringLen(v_.bstrVal));
      if (copy == nullptr && v_.bstrVal != nullptr) {
        throw ComError(E_OUTOFMEMORY);
      }
      return BStr::Attach(copy);
    }
    VARIANT text;
    VariantInit(&text);
    HRESULT hr = VariantChangeType(&text, &v_, 0, VT_BSTR);
    if (FAILED(hr)) {
      throw ComError(hr);
    }
    return BStr::Attach(text.bstrVal);
  }

 private:
  VARIANT v_;
};
