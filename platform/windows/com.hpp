#pragma once
// Ownership of COM interfaces and of the calling thread's COM apartment.
// Included only by backend files: it brings in <windows.h>.
#include <windows.h>

#include <objbase.h>

namespace kelvora::platform::win {

// One interface pointer, released when it goes out of scope.
template <class T> struct ComPtr {
    T* p = nullptr;
    ComPtr() = default;
    ComPtr(const ComPtr&) = delete;
    ComPtr& operator=(const ComPtr&) = delete;
    ~ComPtr() {
        if (p) p->Release();
    }
    T** put() { return &p; }
    void** put_void() { return reinterpret_cast<void**>(&p); }
    T* get() const { return p; }
    T* operator->() const { return p; }
    explicit operator bool() const { return p != nullptr; }
};

// COM for this thread while it lives. A thread that already joined an apartment of the
// other kind keeps it (RPC_E_CHANGED_MODE): COM works there too, and is not ours to end.
// Declare it before the interfaces it serves, so it ends after they are released.
class ComApartment {
public:
    explicit ComApartment(DWORD model = COINIT_APARTMENTTHREADED)
        : hr_(CoInitializeEx(nullptr, model)) {}
    ~ComApartment() {
        if (SUCCEEDED(hr_)) CoUninitialize();
    }
    ComApartment(const ComApartment&) = delete;
    ComApartment& operator=(const ComApartment&) = delete;
    bool usable() const { return SUCCEEDED(hr_) || hr_ == RPC_E_CHANGED_MODE; }
    HRESULT result() const { return hr_; }

private:
    HRESULT hr_;
};

// A BSTR made from a wide text, freed when it goes out of scope.
class Bstr {
public:
    explicit Bstr(const wchar_t* text) : s_(SysAllocString(text)) {}
    ~Bstr() { SysFreeString(s_); }
    Bstr(const Bstr&) = delete;
    Bstr& operator=(const Bstr&) = delete;
    BSTR get() const { return s_; }
    explicit operator bool() const { return s_ != nullptr; }

private:
    BSTR s_;
};

} // namespace kelvora::platform::win
