#include "host/memory_allocator.h"

#include <algorithm>
#include <cstdint>
#include <new>

namespace vmx::host {

namespace {

// Results and flags the platform header does not carry; values are the platform's.
constexpr HRESULT kBufferOverflow = static_cast<HRESULT>(0x8004020DU);
constexpr HRESULT kTimeout = static_cast<HRESULT>(0x8004022EU);
constexpr HRESULT kMediaTimeNotSet = static_cast<HRESULT>(0x80040251U);
constexpr DWORD kGetBufferNoWait = 0x4;

// A filter that asks for absurd buffers (a damaged file read as a frame size) gets a failure
// from Commit instead of taking the test process down.
constexpr std::uint64_t kMaxCommittedBytes = std::uint64_t{1} << 30;

}  // namespace

// ---- MediaSample ----

MediaSample::MediaSample(MemoryAllocator& owner, BYTE* buffer, LONG size)
    : owner_(owner), buffer_(buffer), size_(size), actualLength_(size)
{
}

void MediaSample::ClearProperties()
{
    actualLength_ = size_;
    start_ = stop_ = 0;
    startValid_ = stopValid_ = false;
    mediaStart_ = mediaStop_ = 0;
    mediaTimeValid_ = false;
    syncPoint_ = discontinuity_ = preroll_ = false;
    mediaType_.reset();
}

STDMETHODIMP MediaSample::QueryInterface(REFIID riid, void** ppv)
{
    if (!ppv)
        return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IMediaSample) {
        *ppv = static_cast<IMediaSample*>(this);
        AddRef();
        return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
}

STDMETHODIMP_(ULONG) MediaSample::AddRef() { return ++references_; }

STDMETHODIMP_(ULONG) MediaSample::Release()
{
    ULONG remaining = --references_;
    // The sample may be destroyed inside ReleaseBuffer (last one back after Decommit).
    if (remaining == 0)
        owner_.ReleaseBuffer(this);
    return remaining;
}

STDMETHODIMP MediaSample::GetPointer(BYTE** buffer)
{
    if (!buffer)
        return E_POINTER;
    *buffer = buffer_;
    return S_OK;
}

STDMETHODIMP_(LONG) MediaSample::GetSize() { return size_; }

STDMETHODIMP MediaSample::GetTime(REFERENCE_TIME* start, REFERENCE_TIME* stop)
{
    if (!start || !stop)
        return E_POINTER;
    if (!startValid_)
        return VFW_E_SAMPLE_TIME_NOT_SET;
    *start = start_;
    if (!stopValid_) {
        *stop = start_ + 1;
        return VFW_S_NO_STOP_TIME;
    }
    *stop = stop_;
    return S_OK;
}

STDMETHODIMP MediaSample::SetTime(REFERENCE_TIME* start, REFERENCE_TIME* stop)
{
    startValid_ = start != nullptr;
    stopValid_ = start && stop;
    start_ = start ? *start : 0;
    stop_ = stopValid_ ? *stop : 0;
    return S_OK;
}

STDMETHODIMP MediaSample::IsSyncPoint() { return syncPoint_ ? S_OK : S_FALSE; }

STDMETHODIMP MediaSample::SetSyncPoint(BOOL sync)
{
    syncPoint_ = sync != FALSE;
    return S_OK;
}

STDMETHODIMP MediaSample::IsPreroll() { return preroll_ ? S_OK : S_FALSE; }

STDMETHODIMP MediaSample::SetPreroll(BOOL preroll)
{
    preroll_ = preroll != FALSE;
    return S_OK;
}

STDMETHODIMP_(LONG) MediaSample::GetActualDataLength() { return actualLength_; }

STDMETHODIMP MediaSample::SetActualDataLength(LONG length)
{
    if (length < 0)
        return E_INVALIDARG;
    if (length > size_)
        return kBufferOverflow;
    actualLength_ = length;
    return S_OK;
}

STDMETHODIMP MediaSample::GetMediaType(AM_MEDIA_TYPE** mt)
{
    if (!mt)
        return E_POINTER;
    *mt = nullptr;
    if (!mediaType_)
        return S_FALSE;
    *mt = CreateMediaType(&*mediaType_);
    return *mt ? S_OK : E_OUTOFMEMORY;
}

STDMETHODIMP MediaSample::SetMediaType(AM_MEDIA_TYPE* mt)
{
    if (!mt) {
        mediaType_.reset();
        return S_OK;
    }
    CMediaType copy(*mt);
    if (mt->cbFormat != 0 && mt->pbFormat && !copy.pbFormat)
        return E_OUTOFMEMORY;
    mediaType_ = std::move(copy);
    return S_OK;
}

STDMETHODIMP MediaSample::IsDiscontinuity() { return discontinuity_ ? S_OK : S_FALSE; }

STDMETHODIMP MediaSample::SetDiscontinuity(BOOL discontinuity)
{
    discontinuity_ = discontinuity != FALSE;
    return S_OK;
}

STDMETHODIMP MediaSample::GetMediaTime(LONGLONG* start, LONGLONG* stop)
{
    if (!start || !stop)
        return E_POINTER;
    if (!mediaTimeValid_)
        return kMediaTimeNotSet;
    *start = mediaStart_;
    *stop = mediaStop_;
    return S_OK;
}

STDMETHODIMP MediaSample::SetMediaTime(LONGLONG* start, LONGLONG* stop)
{
    if (!start) {
        mediaTimeValid_ = false;
        return S_OK;
    }
    if (!stop)
        return E_POINTER;
    mediaStart_ = *start;
    mediaStop_ = *stop;
    mediaTimeValid_ = true;
    return S_OK;
}

// ---- MemoryAllocator ----

ComPtr<MemoryAllocator> MemoryAllocator::Create() { return ComPtr<MemoryAllocator>(new (std::nothrow) MemoryAllocator()); }

STDMETHODIMP MemoryAllocator::QueryInterface(REFIID riid, void** ppv)
{
    if (!ppv)
        return E_POINTER;
    return riid == IID_IUnknown || riid == IID_IMemAllocator ? Answer(ppv, static_cast<IMemAllocator*>(this)) : NoInterface(ppv);
}

STDMETHODIMP MemoryAllocator::SetProperties(ALLOCATOR_PROPERTIES* request, ALLOCATOR_PROPERTIES* actual)
{
    if (!request || !actual)
        return E_POINTER;
    std::lock_guard lock(lock_);
    if (committed_)
        return VFW_E_ALREADY_COMMITTED;
    if (outstanding_ > 0)
        return VFW_E_BUFFERS_OUTSTANDING;
    if (request->cbBuffer < 0 || request->cbAlign < 0 || request->cbPrefix < 0)
        return E_INVALIDARG;
    LONG align = request->cbAlign == 0 ? 1 : request->cbAlign;
    if ((align & (align - 1)) != 0)
        return VFW_E_BADALIGN;
    ALLOCATOR_PROPERTIES granted{std::max<LONG>(1, request->cBuffers), request->cbBuffer, align, request->cbPrefix};
    properties_ = granted;
    *actual = granted;
    return S_OK;
}

STDMETHODIMP MemoryAllocator::GetProperties(ALLOCATOR_PROPERTIES* props)
{
    if (!props)
        return E_POINTER;
    std::lock_guard lock(lock_);
    *props = properties_.value_or(ALLOCATOR_PROPERTIES{0, 0, 0, 0});
    return S_OK;
}

STDMETHODIMP MemoryAllocator::Commit()
{
    std::lock_guard lock(lock_);
    if (!properties_ || properties_->cbBuffer <= 0)
        return VFW_E_SIZENOTSET;
    if (committed_)
        return S_OK;
    // Buffers survive a Decommit while samples are out; a quick re-Commit reuses them.
    if (buffers_.empty()) {
        const ALLOCATOR_PROPERTIES& props = *properties_;
        const std::uint64_t span = std::uint64_t(props.cbPrefix) + std::uint64_t(props.cbBuffer)
            + std::uint64_t(props.cbAlign) - 1;
        if (span * std::uint64_t(props.cBuffers) > kMaxCommittedBytes)
            return E_OUTOFMEMORY;
        try {
            buffers_.reserve(static_cast<size_t>(props.cBuffers));
            for (LONG i = 0; i < props.cBuffers; ++i) {
                Buffer buffer;
                buffer.storage.resize(static_cast<size_t>(span));
                // The prefix sits before the aligned data pointer the sample exposes.
                auto base = reinterpret_cast<std::uintptr_t>(buffer.storage.data()) + std::uintptr_t(props.cbPrefix);
                auto misalignment = base % std::uintptr_t(props.cbAlign);
                size_t skip = misalignment ? size_t(props.cbAlign) - misalignment : 0;
                BYTE* data = buffer.storage.data() + props.cbPrefix + skip;
                buffer.sample = std::make_unique<MediaSample>(*this, data, props.cbBuffer);
                free_.push_back(buffer.sample.get());
                buffers_.push_back(std::move(buffer));
            }
        } catch (const std::bad_alloc&) {
            FreeBuffersLocked();
            return E_OUTOFMEMORY;
        }
    }
    committed_ = true;
    return S_OK;
}

STDMETHODIMP MemoryAllocator::Decommit()
{
    std::lock_guard lock(lock_);
    if (!committed_)
        return S_OK;
    committed_ = false;
    if (outstanding_ == 0)
        FreeBuffersLocked();
    sampleFreed_.notify_all();
    return S_OK;
}

STDMETHODIMP MemoryAllocator::GetBuffer(IMediaSample** sample, REFERENCE_TIME*, REFERENCE_TIME*, DWORD flags)
{
    if (!sample)
        return E_POINTER;
    *sample = nullptr;
    std::unique_lock lock(lock_);
    if (committed_ && free_.empty() && (flags & kGetBufferNoWait))
        return kTimeout;
    if (committed_ && free_.empty()) {
        ++waiters_;
        sampleFreed_.wait(lock, [this] { return !committed_ || !free_.empty(); });
        --waiters_;
    }
    if (!committed_)
        return VFW_E_NOT_COMMITTED;
    MediaSample* taken = free_.front();
    free_.pop_front();
    taken->outstanding_ = true;
    taken->references_ = 1;
    ++outstanding_;
    AddRef();  // held for the sample until it comes back, so the buffers outlive it
    *sample = taken;
    return S_OK;
}

STDMETHODIMP MemoryAllocator::ReleaseBuffer(IMediaSample* sample)
{
    if (!sample)
        return E_POINTER;
    {
        std::lock_guard lock(lock_);
        auto owned = std::find_if(buffers_.begin(), buffers_.end(), [sample](const Buffer& buffer) {
            return static_cast<IMediaSample*>(buffer.sample.get()) == sample;
        });
        if (owned == buffers_.end() || !owned->sample->outstanding_)
            return E_INVALIDARG;
        MediaSample& returned = *owned->sample;
        returned.outstanding_ = false;
        returned.ClearProperties();
        free_.push_back(&returned);
        --outstanding_;
        if (!committed_ && outstanding_ == 0)
            FreeBuffersLocked();
        if (waiters_ > 0)
            sampleFreed_.notify_all();
    }
    Release();
    return S_OK;
}

size_t MemoryAllocator::OutstandingCount() const
{
    std::lock_guard lock(lock_);
    return outstanding_;
}

void MemoryAllocator::FreeBuffersLocked()
{
    free_.clear();
    buffers_.clear();
}

// ---- Class registration ----

namespace {

// Lives for the whole process, so its reference count is only for show.
class MemoryAllocatorFactory final : public IClassFactory {
public:
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        if (!ppv)
            return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IClassFactory) {
            *ppv = static_cast<IClassFactory*>(this);
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }

    STDMETHODIMP CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override
    {
        if (!ppv)
            return E_POINTER;
        *ppv = nullptr;
        if (outer)
            return CLASS_E_NOAGGREGATION;
        ComPtr<MemoryAllocator> allocator = MemoryAllocator::Create();
        if (!allocator)
            return E_OUTOFMEMORY;
        return allocator->QueryInterface(riid, ppv);
    }
    STDMETHODIMP LockServer(BOOL) override { return S_OK; }
};

MemoryAllocatorFactory allocatorFactory;

}  // namespace

HRESULT RegisterMemoryAllocatorClass()
{
    static const HRESULT registration = [] {
        DWORD cookie = 0;
        return CoRegisterClassObject(CLSID_MemoryAllocator, &allocatorFactory, CLSCTX_INPROC_SERVER,
                                     REGCLS_MULTIPLEUSE, &cookie);
    }();
    return registration;
}

}  // namespace vmx::host
