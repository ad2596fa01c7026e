#pragma once
// A file's audio held between the read of the disc and its encoding on another thread.
//
// kySpoolSink ends the read chain in place of the writer: it keeps every block exactly as
// the writer would have received it (the source's untouched interleaved bytes where the
// chain offers them, else the float planes), with the stream's format and a copy of its
// properties. kySpoolSource then plays the blocks to the writer in the same calls, so an
// encoding on a worker makes the same file as one made while reading.
//
// The blocks of every spool of a batch share one memory budget; a spool that would pass
// it writes its further blocks to a temporary file (unnamed, gone with the spool).
#include "core/filter.h"
#include "platform/temp_file.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// Bytes of queued audio held in memory by all spools, and the most they may hold.
class kySpoolBudget {
public:
    explicit kySpoolBudget(uint64_t limit) : m_limit(limit) {}
    bool take(uint64_t bytes);
    void give(uint64_t bytes);
    uint64_t used() const { return m_used.load(std::memory_order_relaxed); }
    uint64_t limit() const { return m_limit; }

private:
    const uint64_t m_limit;
    std::atomic<uint64_t> m_used{0};
};

class kyAudioSpool {
public:
    explicit kyAudioSpool(kySpoolBudget& budget) : m_budget(budget) {}
    ~kyAudioSpool();
    kyAudioSpool(const kyAudioSpool&) = delete;
    kyAudioSpool& operator=(const kyAudioSpool&) = delete;

    // The stream's description, taken when the read starts.
    kyAudioFormat format{};
    std::string interleavedId; // set when the blocks are the source's bytes
    kyPropertyTable properties{KY_SOURCE_PROPERTY_SLOTS};

    // Appends one block; false when neither memory nor the temporary file takes it.
    bool append(const void* bytes, size_t size, uint32_t frames);
    // Ends writing: what follows reads the blocks from the first.
    bool finishWriting();
    size_t blockCount() const { return m_blocks.size(); }
    // The next block into `out` (its frames into `frames`); false at the end or on a read
    // error (then `failed` is set).
    bool next(std::vector<uint8_t>& out, uint32_t& frames);
    bool failed() const { return m_failed; }
    // Bytes that went to the temporary file.
    uint64_t spilledBytes() const { return m_file ? m_file->size() : 0; }

private:
    struct Block {
        uint32_t frames = 0;
        uint32_t size = 0;
        std::vector<uint8_t> bytes; // empty when the block is in the file
    };
    kySpoolBudget& m_budget;
    std::vector<Block> m_blocks;
    size_t m_next = 0;
    uint64_t m_held = 0; // bytes of m_blocks in memory, taken from the budget
    std::unique_ptr<kyTempFile> m_file;
    bool m_failed = false;
};

// The read chain's end while workers encode: captures the stream into a spool.
class kySpoolSink : public kySinkFilter2 {
public:
    explicit kySpoolSink(kyAudioSpool& spool) : kySinkFilter2("Encoder queue"), m_spool(spool) {}
    kyError Run() override;
    kyError Write(float** planes, uint32_t frames) override;
    kyError WriteInterleaved(const void* bytes, uint32_t byteCount, uint32_t frames) override;

private:
    kyAudioSpool& m_spool;
    std::vector<float> m_packed;
};

// Plays a spool to a writer: interleaved runs where the spool holds the source's bytes
// (which it also converts to planes for writers that want them), else the float planes.
// Stops with "Operation cancelled" once `cancel` is set.
class kySpoolSource : public kySourceFilter2 {
public:
    kySpoolSource(std::unique_ptr<kyAudioSpool> spool, const std::atomic<bool>& cancel);
    kyError Prepare() override;
    kyError Process() override;
    const char* GetInterleavedFormat(uint32_t channels) override;
    kyError RunInterleaved() override;

private:
    std::unique_ptr<kyAudioSpool> m_spool;
    const std::atomic<bool>& m_cancel;
    std::vector<uint8_t> m_block;
    std::vector<std::vector<float>> m_planes;
    std::vector<float*> m_ptrs;
    bool m_started = false;
};
