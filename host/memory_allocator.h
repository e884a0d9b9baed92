// The sample allocator a player supplies when the downstream pin has none of its own: a fixed
// set of buffers, handed out one sample at a time, each returning when its last reference goes.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "framework/media_type.h"
#include "host/com_ptr.h"
#include "platform/platform.h"
#include "platform/ref_counted.h"

namespace vmx::host {

class MemoryAllocator;

class MediaSample final : public IMediaSample {
public:
    MediaSample(MemoryAllocator& owner, BYTE* buffer, LONG size);

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;

    STDMETHODIMP GetPointer(BYTE** buffer) override;
    STDMETHODIMP_(LONG) GetSize() override;
    STDMETHODIMP GetTime(REFERENCE_TIME* start, REFERENCE_TIME* stop) override;
    STDMETHODIMP SetTime(REFERENCE_TIME* start, REFERENCE_TIME* stop) override;
    STDMETHODIMP IsSyncPoint() override;
    STDMETHODIMP SetSyncPoint(BOOL sync) override;
    STDMETHODIMP IsPreroll() override;
    STDMETHODIMP SetPreroll(BOOL preroll) override;
    STDMETHODIMP_(LONG) GetActualDataLength() override;
    STDMETHODIMP SetActualDataLength(LONG length) override;
    STDMETHODIMP GetMediaType(AM_MEDIA_TYPE** mt) override;
    STDMETHODIMP SetMediaType(AM_MEDIA_TYPE* mt) override;
    STDMETHODIMP IsDiscontinuity() override;
    STDMETHODIMP SetDiscontinuity(BOOL discontinuity) override;
    STDMETHODIMP GetMediaTime(LONGLONG* start, LONGLONG* stop) override;
    STDMETHODIMP SetMediaTime(LONGLONG* start, LONGLONG* stop) override;

private:
    friend class MemoryAllocator;

    // Back to the state of a fresh sample: no times, no flags, no type, full length.
    void ClearProperties();

    MemoryAllocator& owner_;
    BYTE* const buffer_;
    const LONG size_;
    std::atomic<ULONG> references_{0};
    bool outstanding_ = false;  // guarded by the owner's lock

    LONG actualLength_;
    REFERENCE_TIME start_ = 0;
    REFERENCE_TIME stop_ = 0;
    bool startValid_ = false;
    bool stopValid_ = false;
    LONGLONG mediaStart_ = 0;
    LONGLONG mediaStop_ = 0;
    bool mediaTimeValid_ = false;
    bool syncPoint_ = false;
    bool discontinuity_ = false;
    bool preroll_ = false;
    std::optional<CMediaType> mediaType_;
};

class MemoryAllocator final : public KRefCounted<IMemAllocator> {
public:
    static ComPtr<MemoryAllocator> Create();

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;

    STDMETHODIMP SetProperties(ALLOCATOR_PROPERTIES* request, ALLOCATOR_PROPERTIES* actual) override;
    STDMETHODIMP GetProperties(ALLOCATOR_PROPERTIES* props) override;
    STDMETHODIMP Commit() override;
    STDMETHODIMP Decommit() override;
    STDMETHODIMP GetBuffer(IMediaSample** sample, REFERENCE_TIME* start, REFERENCE_TIME* stop, DWORD flags) override;
    STDMETHODIMP ReleaseBuffer(IMediaSample* sample) override;

    // Samples handed out and not yet returned.
    size_t OutstandingCount() const;

private:
    struct Buffer {
        std::vector<BYTE> storage;
        std::unique_ptr<MediaSample> sample;
    };

    MemoryAllocator() = default;
    ~MemoryAllocator() override = default;
    void FreeBuffersLocked();

    mutable std::mutex lock_;
    std::condition_variable sampleFreed_;
    size_t waiters_ = 0;  // GetBuffer calls waiting for a free sample: a return wakes only these
    std::optional<ALLOCATOR_PROPERTIES> properties_;
    bool committed_ = false;
    std::vector<Buffer> buffers_;
    std::deque<MediaSample*> free_;
    size_t outstanding_ = 0;
};

// Makes CoCreateInstance(CLSID_MemoryAllocator) create a MemoryAllocator in this process.
// Safe to call any number of times from any thread; registers once.
HRESULT RegisterMemoryAllocatorClass();

}  // namespace vmx::host
