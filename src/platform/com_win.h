// Small RAII owners for COM: the per-thread apartment, interface pointers, CoTaskMem blocks
// and PROPVARIANTs. Windows files only.
#pragma once

#include <windows.h>

#include <objbase.h>
#include <propidl.h>

#include <utility>

namespace brindle::com {

// COM for the calling thread, released on the same thread. An apartment of the other kind
// already set up by someone else is left alone and still usable.
class Apartment {
 public:
  explicit Apartment(DWORD model = COINIT_MULTITHREADED) {
    const HRESULT hr = ::CoInitializeEx(nullptr, model);
    initialised_ = SUCCEEDED(hr);  // S_OK and S_FALSE both need a matching CoUninitialize
    usable_ = initialised_ || hr == RPC_E_CHANGED_MODE;
    result_ = hr;
  }
  Apartment(const Apartment&) = delete;
  Apartment& operator=(const Apartment&) = delete;
  ~Apartment() {
    if (initialised_) ::CoUninitialize();
  }

  bool usable() const { return usable_; }
  HRESULT result() const { return result_; }

 private:
  bool initialised_ = false;
  bool usable_ = false;
  HRESULT result_ = S_OK;
};

// An owned interface pointer.
template <class T>
class Ptr {
 public:
  Ptr() = default;
  Ptr(const Ptr& other) : raw_(other.raw_) {
    if (raw_) raw_->AddRef();
  }
  Ptr(Ptr&& other) noexcept : raw_(std::exchange(other.raw_, nullptr)) {}
  Ptr& operator=(Ptr other) noexcept {
    std::swap(raw_, other.raw_);
    return *this;
  }
  ~Ptr() { reset(); }

  void reset() {
    if (raw_) std::exchange(raw_, nullptr)->Release();
  }
  T* get() const { return raw_; }
  T* operator->() const { return raw_; }
  explicit operator bool() const { return raw_ != nullptr; }
  // For out-parameters: releases what is held and hands out the slot.
  T** put() {
    reset();
    return &raw_;
  }
  void** put_void() { return reinterpret_cast<void**>(put()); }

 private:
  T* raw_ = nullptr;
};

// A block from CoTaskMemAlloc (mix formats, endpoint ids).
template <class T>
class TaskMem {
 public:
  TaskMem() = default;
  TaskMem(const TaskMem&) = delete;
  TaskMem& operator=(const TaskMem&) = delete;
  ~TaskMem() { ::CoTaskMemFree(raw_); }

  T* get() const { return raw_; }
  T** put() {
    ::CoTaskMemFree(std::exchange(raw_, nullptr));
    return &raw_;
  }

 private:
  T* raw_ = nullptr;
};

class PropVariant {
 public:
  PropVariant() { ::PropVariantInit(&value_); }
  PropVariant(const PropVariant&) = delete;
  PropVariant& operator=(const PropVariant&) = delete;
  ~PropVariant() { ::PropVariantClear(&value_); }

  PROPVARIANT* put() { return &value_; }
  const PROPVARIANT& get() const { return value_; }

 private:
  PROPVARIANT value_;
};

}  // namespace brindle::com
