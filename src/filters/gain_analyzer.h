#pragma once
// Loudness analyzers: fed the planar blocks of one stream, they measure its loudness and
// answer the gain in dB that brings it to a target. The ReplayGain and the BS.1770
// analyzers share this interface.
//
// Analyzers are shared by reference count. A new analyzer holds one reference, owned by
// whoever created it; a user that keeps it calls AddRef(), and every holder calls
// Release() when done; the last Release() destroys it. kyGainAnalyzerPtr does that
// bookkeeping for C++ holders.
//
// Use: init(rate, channels, mask) once, process() any number of blocks, finish() once,
// then gain().
#include "core/error.h"
#include <atomic>
#include <cstdint>
#include <new>
#include <utility>

class kyGainAnalyzer {
public:
    kyGainAnalyzer() = default;
    kyGainAnalyzer(const kyGainAnalyzer&) = delete;
    kyGainAnalyzer& operator=(const kyGainAnalyzer&) = delete;

    // Prepares a measurement; a mask of 0 means the default speaker layout.
    virtual kyError init(uint32_t sampleRate, uint32_t channels, uint32_t channelMask) = 0;
    // Adds `frames` frames. `planes` is a null-terminated array of channel buffers; a null
    // array is silence, and channels missing from a shorter array count as silent.
    virtual void process(float* const* planes, uint32_t frames) = 0;
    // Completes the measurement: the tail still buffered is taken into account.
    virtual void finish() = 0;
    // Gain in dB towards the target; 0 until finish() could measure something.
    virtual float gain() const = 0;

    void AddRef() { m_refs.fetch_add(1, std::memory_order_relaxed); }
    void Release() {
        if (m_refs.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
    }

protected:
    // Only Release() destroys an analyzer.
    virtual ~kyGainAnalyzer() = default;

    // How many of the first `channels` planes are present: a null array has none, and a
    // short array ends at its null terminator.
    static uint32_t presentPlanes(float* const* planes, uint32_t channels) {
        uint32_t n = 0;
        if (planes)
            while (n < channels && planes[n]) ++n;
        return n;
    }

private:
    std::atomic<uint32_t> m_refs{1};
};

// Holds one reference to an analyzer.
template <class T> class kyGainAnalyzerPtr {
public:
    kyGainAnalyzerPtr() = default;
    // Takes over a reference the caller already owns (a new analyzer's first one).
    static kyGainAnalyzerPtr adopt(T* p) {
        kyGainAnalyzerPtr r;
        r.m_p = p;
        return r;
    }
    // Shares `p`: raises its count.
    static kyGainAnalyzerPtr share(T* p) {
        if (p) p->AddRef();
        return adopt(p);
    }
    kyGainAnalyzerPtr(const kyGainAnalyzerPtr& o) : m_p(o.m_p) {
        if (m_p) m_p->AddRef();
    }
    kyGainAnalyzerPtr(kyGainAnalyzerPtr&& o) noexcept : m_p(std::exchange(o.m_p, nullptr)) {}
    kyGainAnalyzerPtr& operator=(kyGainAnalyzerPtr o) noexcept {
        std::swap(m_p, o.m_p);
        return *this;
    }
    ~kyGainAnalyzerPtr() { reset(); }

    void reset() {
        if (m_p) std::exchange(m_p, nullptr)->Release();
    }
    // Hands the reference back to the caller, who must Release() it.
    T* detach() { return std::exchange(m_p, nullptr); }
    T* get() const { return m_p; }
    T* operator->() const { return m_p; }
    T& operator*() const { return *m_p; }
    explicit operator bool() const { return m_p != nullptr; }

private:
    T* m_p = nullptr;
};

// Creates an analyzer held by the returned pointer (null when memory is short).
template <class T, class... Args> kyGainAnalyzerPtr<T> kyMakeGainAnalyzer(Args&&... args) {
    return kyGainAnalyzerPtr<T>::adopt(new (std::nothrow) T(std::forward<Args>(args)...));
}
