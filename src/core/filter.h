#pragma once
// The filter classes and their connection and pull protocol.
//
// A chain is one source, any number of morph filters and one sink, linked by plain
// pointers. The last sink runs the chain by pulling: it asks upstream to Process, the
// request travels to the real source, and the source pushes one block of float planes down
// through every morph to the sink. Filters are heap objects owned by the chain once linked:
// DestroyChain() on any member destroys every member exactly once.
//
// Blocks: Write() receives planes the callee may modify in place (a fade, a gain) before
// passing them on; the caller must not rely on their content afterwards.
#include "core/audio_format.h"
#include "core/error.h"
#include "core/property_table.h"
#include <cstdint>

class kySinkFilter;
class kyMorphFilter;

class kyFilter {
public:
    explicit kyFilter(const char* name) : m_name(name) {}
    kyFilter(const kyFilter&) = delete;
    kyFilter& operator=(const kyFilter&) = delete;
    const char* filterName() const { return m_name; }

protected:
    ~kyFilter() = default;
    const char* m_name;
};

class kySourceFilter : public kyFilter {
public:
    explicit kySourceFilter(const char* name) : kyFilter(name) {}
    virtual ~kySourceFilter() = default;

    // Stream format query.
    virtual kyError GetFormat(kyAudioFormat& format) = 0;
    // Moves to `frame`; returns the frame reached.
    virtual uint32_t Seek(uint32_t frame) { return 0; }
    // Gets ready to deliver from the current position.
    virtual kyError Prepare() = 0;
    // Produces one block and pushes it downstream.
    virtual kyError Process() = 0;
    // The data-format id the stream can be handed over in unchanged for `channels`
    // channels, or null.
    virtual const char* GetInterleavedFormat(uint32_t channels) { return nullptr; }
    // Pushes the whole stream as interleaved bytes through the sink's WriteInterleaved.
    virtual kyError RunInterleaved() { return KYERR_SEQUENCE; }
    virtual const char* GetPropertyA(uint32_t slot) { return nullptr; }
    virtual const char* GetPropertyUtf8(uint32_t slot) { return nullptr; }
    virtual const char16_t* GetPropertyW(uint32_t slot) { return nullptr; }
    virtual kySinkFilter* AsSink() { return nullptr; }
    // Destroys this filter and everything downstream.
    virtual void DestroyChain();

    // Links this source to `sink`; the sink's previous source loses its downstream link.
    void Connect(kySinkFilter* sink);
    // Puts `morph` between this source and its current downstream; returns its sink side.
    kySinkFilter* InsertAfter(kyMorphFilter* morph);
    // Clears the partner's link to this filter, then this filter's link.
    void Disconnect();

    kySinkFilter* downstream() const { return m_downstream; }

protected:
    friend class kySinkFilter;
    friend class kyMorphFilter;
    kySinkFilter* m_downstream = nullptr;
};

// A source with an identity: its stream format, a skipped-frame count and its properties.
class kySourceFilter2 : public kySourceFilter {
public:
    explicit kySourceFilter2(const char* name) : kySourceFilter(name) {
        m_format.lengthFrames = 0;
        m_format.channels = 1;
        m_format.channelMask = 0;
        m_format.sampleRate = 44100;
        m_format.blockFrames = 8192;
    }

    kyError GetFormat(kyAudioFormat& format) override;
    const char* GetPropertyA(uint32_t slot) override { return m_properties.getA(slot); }
    const char* GetPropertyUtf8(uint32_t slot) override { return m_properties.getUtf8(slot); }
    const char16_t* GetPropertyW(uint32_t slot) override { return m_properties.getW(slot); }

    kyPropertyTable& properties() { return m_properties; }

protected:
    kyAudioFormat m_format;
    uint32_t m_skippedFrames = 0;
    kyPropertyTable m_properties{KY_SOURCE_PROPERTY_SLOTS};
};

class kySinkFilter : public kyFilter {
public:
    explicit kySinkFilter(const char* name) : kyFilter(name) {}
    virtual ~kySinkFilter() = default;

    virtual kyError Run() = 0;
    // Planar write of one block of float samples.
    virtual kyError Write(float** planes, uint32_t frames) = 0;
    virtual kyError EndOfStream() = 0;
    // Interleaved write of one block in the stream's data format; 1 means not accepted.
    virtual kyError WriteInterleaved(const void* bytes, uint32_t byteCount, uint32_t frames) {
        return 1;
    }
    virtual kySourceFilter* AsSource() { return nullptr; }
    // Destroys this filter and everything upstream.
    virtual void DestroyChain();
    // Called on the chain's last sink before any member of its chain is destroyed: a sink
    // that runs the chain on a thread of its own ends that thread here.
    virtual void ChainGoing() {}

    // Puts `morph` between this sink and its current upstream.
    void InsertBefore(kyMorphFilter* morph);
    void Disconnect();

    kySourceFilter* upstream() const { return m_upstream; }

protected:
    friend class kySourceFilter;
    friend class kyMorphFilter;
    kySourceFilter* m_upstream = nullptr;
};

// A sink with the pull loop and a finished flag set by EndOfStream.
class kySinkFilter2 : public kySinkFilter {
public:
    explicit kySinkFilter2(const char* name) : kySinkFilter(name) {}
    kyError Run() override;
    kyError EndOfStream() override {
        m_finished = true;
        return KY_OK;
    }
    bool finished() const { return m_finished; }

protected:
    bool m_finished = false;
};

// One object with a source side (linked downstream) and a sink side (linked upstream).
// By default every operation passes through to the neighbour; filters override what they
// transform.
class kyMorphFilter : public kySourceFilter, public kySinkFilter {
public:
    explicit kyMorphFilter(const char* name) : kySourceFilter(name), kySinkFilter(name) {}

    // Source side.
    kyError GetFormat(kyAudioFormat& format) override;
    uint32_t Seek(uint32_t frame) override;
    kyError Prepare() override;
    kyError Process() override;
    const char* GetInterleavedFormat(uint32_t) override { return nullptr; }
    kyError RunInterleaved() override { return KYERR_SEQUENCE; }
    const char* GetPropertyA(uint32_t slot) override;
    const char* GetPropertyUtf8(uint32_t slot) override;
    const char16_t* GetPropertyW(uint32_t slot) override;
    kySinkFilter* AsSink() override { return this; }

    // Sink side.
    kyError Run() override;
    kyError Write(float** planes, uint32_t frames) override;
    kyError EndOfStream() override;
    kyError WriteInterleaved(const void*, uint32_t, uint32_t) override { return 1; }
    kySourceFilter* AsSource() override { return this; }

    // Unlinks itself, destroys itself, then the rest of the chain on both sides.
    void DestroyChain() override;

    // Links its neighbours to each other and clears both of its own links.
    void Remove();

    const char* filterName() const { return kySourceFilter::filterName(); }
};
