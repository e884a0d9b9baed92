// The framework's base object: object counting, the non-delegating IUnknown that every COM
// object of the module is built on, and the small lock types used with the platform's
// critical sections.
#pragma once

#include <atomic>

#include "platform/platform.h"

// Private success code: FillSample has nothing to deliver yet.
constexpr HRESULT S_NOT_READY = 0x100;

class CCritSec {
public:
    CCritSec() { InitializeCriticalSection(&m_CritSec); }
    ~CCritSec() { DeleteCriticalSection(&m_CritSec); }
    CCritSec(const CCritSec&) = delete;
    CCritSec& operator=(const CCritSec&) = delete;
    void Lock() { EnterCriticalSection(&m_CritSec); }
    void Unlock() { LeaveCriticalSection(&m_CritSec); }

private:
    CRITICAL_SECTION m_CritSec;
};

class CAutoLock {
public:
    explicit CAutoLock(CCritSec* lock) : m_pLock(lock) { m_pLock->Lock(); }
    ~CAutoLock() { m_pLock->Unlock(); }
    CAutoLock(const CAutoLock&) = delete;
    CAutoLock& operator=(const CAutoLock&) = delete;

private:
    CCritSec* m_pLock;
};

struct INonDelegatingUnknown {
    virtual HRESULT STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID riid, void** ppv) = 0;
    virtual ULONG STDMETHODCALLTYPE NonDelegatingAddRef() = 0;
    virtual ULONG STDMETHODCALLTYPE NonDelegatingRelease() = 0;

protected:
    ~INonDelegatingUnknown() = default;
};

// Counts every live framework object, so the module knows when it may be unloaded.
class CBaseObject {
public:
    explicit CBaseObject(const WCHAR* name);
    virtual ~CBaseObject();
    CBaseObject(const CBaseObject&) = delete;
    CBaseObject& operator=(const CBaseObject&) = delete;
    static LONG ObjectsActive();

private:
    static LONG m_cObjects;
};

class CUnknown : public INonDelegatingUnknown, public CBaseObject {
public:
    CUnknown(const WCHAR* name, IUnknown* outer);
    ~CUnknown() override = default;

    HRESULT STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID riid, void** ppv) override;
    ULONG STDMETHODCALLTYPE NonDelegatingAddRef() override;
    ULONG STDMETHODCALLTYPE NonDelegatingRelease() override;

    // The unknown that QueryInterface/AddRef/Release are delegated to: the outer object when
    // aggregated, else this object's own non-delegating unknown.
    IUnknown* GetOwner() const { return m_pUnknown; }

protected:
    std::atomic<LONG> m_cRef{0};

private:
    // Presents the non-delegating methods as an IUnknown without reinterpreting vtables.
    struct NonDelegatingAdapter final : IUnknown {
        CUnknown* self;
        HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override
        {
            return self->NonDelegatingQueryInterface(riid, ppv);
        }
        ULONG STDMETHODCALLTYPE AddRef() override { return self->NonDelegatingAddRef(); }
        ULONG STDMETHODCALLTYPE Release() override { return self->NonDelegatingRelease(); }
    };
    NonDelegatingAdapter m_adapter;
    IUnknown* m_pUnknown;
};

// Hands out an interface pointer with a reference.
HRESULT GetInterface(IUnknown* unknown, void** ppv);

// The delegating IUnknown of a class built on CUnknown.
#define DECLARE_IUNKNOWN                                                                          \
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override                    \
    {                                                                                             \
        return GetOwner()->QueryInterface(riid, ppv);                                             \
    }                                                                                             \
    ULONG STDMETHODCALLTYPE AddRef() override { return GetOwner()->AddRef(); }                   \
    ULONG STDMETHODCALLTYPE Release() override { return GetOwner()->Release(); }

// Copies a wide string into task memory (null for a null source).
HRESULT AMGetWideString(LPCWSTR source, LPWSTR* target);
