#pragma once
// The box tree the QuickTime/MPEG-4 writer builds: each box owns its first child and its
// next sibling. A box's size is its header, its payload and its children; a box larger
// than the writer's limit gets a 64-bit size (size field 1, then the size after the type).
#include "core/error.h"
#include "platform/temp_file.h"
#include <cstdint>
#include <memory>
#include <vector>

// Where boxes are written to.
class TBoxOutput {
public:
    virtual ~TBoxOutput() = default;
    // All bytes, or "Couldn't write to file".
    virtual kyError Put(const void* data, size_t size) = 0;
};

class TBoxHandler {
public:
    explicit TBoxHandler(const char* type);
    virtual ~TBoxHandler();
    TBoxHandler(const TBoxHandler&) = delete;
    TBoxHandler& operator=(const TBoxHandler&) = delete;

    virtual uint64_t PayloadSize() const { return 0; }
    virtual kyError WritePayload(TBoxOutput& out) const { return KY_OK; }

    // The whole box; above `largeAbove` bytes its header takes 16 bytes instead of 8.
    uint64_t Size(uint64_t largeAbove) const;
    // Header, payload, then each child in order.
    kyError Write(TBoxOutput& out, uint64_t largeAbove) const;

    // Appends a child after the last one and returns it.
    template <typename Box> Box* Add(std::unique_ptr<Box> child) {
        Box* raw = child.get();
        addChild(std::move(child));
        return raw;
    }
    const char* type() const { return m_type; }
    void setType(const char* type);

private:
    void addChild(std::unique_ptr<TBoxHandler> child);
    char m_type[4];
    std::unique_ptr<TBoxHandler> m_firstChild;
    std::unique_ptr<TBoxHandler> m_next;
};

// A payload of fixed size, zero-filled at creation.
class TBoxMem : public TBoxHandler {
public:
    TBoxMem(const char* type, size_t size) : TBoxHandler(type), m_data(size, 0) {}
    TBoxMem(const char* type, std::vector<uint8_t> payload)
        : TBoxHandler(type), m_data(std::move(payload)) {}

    uint64_t PayloadSize() const override { return m_data.size(); }
    kyError WritePayload(TBoxOutput& out) const override;

    uint8_t* data() { return m_data.data(); }
    size_t size() const { return m_data.size(); }
    void put16(size_t at, uint32_t v);
    void put32(size_t at, uint32_t v);
    void put64(size_t at, uint64_t v);
    void putType(size_t at, const char* type);

protected:
    std::vector<uint8_t> m_data;
};

// As TBoxMem, its first four bytes being the version (8 bits) and flags (24 bits).
class TFullBoxMem : public TBoxMem {
public:
    TFullBoxMem(const char* type, size_t size, uint8_t version = 0, uint32_t flags = 0);
};

// "stsz": one size for every sample, or a growing table of 32-bit sizes.
class TSizesBoxMem : public TFullBoxMem {
public:
    TSizesBoxMem() : TFullBoxMem("stsz", 12) {}

    // Every sample has `size` bytes (the table is not used).
    void SetConstant(uint32_t size) { m_constant = size; }
    void SetCount(uint64_t count) { m_count = count; }
    // Appends a sample of `size` bytes to the table. May throw std::bad_alloc.
    void Append(uint32_t size) {
        m_sizes.push_back(size);
        m_count = m_sizes.size();
    }
    uint64_t Count() const { return m_count; }
    uint32_t Constant() const { return m_constant; }
    const std::vector<uint32_t>& Sizes() const { return m_sizes; }

    uint64_t PayloadSize() const override;
    kyError WritePayload(TBoxOutput& out) const override;

private:
    uint32_t m_constant = 0;
    uint64_t m_count = 0;
    std::vector<uint32_t> m_sizes;
};

// "stco" with 32-bit chunk offsets, or "co64" once an offset needs 64 bits.
class TChunkOffsetsBox : public TBoxHandler {
public:
    TChunkOffsetsBox() : TBoxHandler("stco") {}
    // Sets the offsets; "co64" when the last one is above `largeAbove`.
    void SetOffsets(std::vector<uint64_t> offsets, uint64_t largeAbove);
    bool IsLarge() const { return m_large; }

    uint64_t PayloadSize() const override;
    kyError WritePayload(TBoxOutput& out) const override;

private:
    std::vector<uint64_t> m_offsets;
    bool m_large = false;
};

// Bytes appended to a temporary file while the stream runs, copied to the output in pieces
// of at most 1 MiB when the box is written. The temporary file has no name: nothing of it
// outlives the box.
class TBoxFileBuf : public TBoxHandler {
public:
    explicit TBoxFileBuf(const char* type) : TBoxHandler(type) {}

    // Makes the temporary file; false when none can be made.
    bool Create() { return m_file.create(); }
    // All bytes, or "Couldn't write to file" (a full disk).
    kyError Append(const void* data, size_t size) {
        return m_file.write(data, size) ? KY_OK : KYERR_WRITE_FILE;
    }
    uint64_t PayloadSize() const override { return m_file.size(); }
    // "Couldn't read from file" when the temporary file cannot be read back.
    kyError WritePayload(TBoxOutput& out) const override;

private:
    mutable kyTempFile m_file;
};
