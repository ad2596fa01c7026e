#pragma once
// One road for MMC command blocks to a device: the kernel's SG_IO on a /dev/srN node,
// libcdio's mmc_run_cmd, or the in-process virtual drive. The drive-access methods build
// the command blocks and parse the answers; a transport only carries the bytes.
#include <cstdint>
#include <memory>
#include <string>

class kyScsiTransport {
public:
    virtual ~kyScsiTransport() = default;
    // Sends one command block. `dataIn` tells whether `data` (of `dataBytes`) receives an
    // answer; otherwise no data moves. True only when the command completed with GOOD
    // status and no transport error.
    virtual bool Execute(const uint8_t* cdb, uint8_t cdbLength, void* data, uint32_t dataBytes,
                         bool dataIn, uint32_t timeoutMs) = 0;
};

// SG_IO on an open device node. Owns the descriptor.
class kySgIoTransport : public kyScsiTransport {
public:
    explicit kySgIoTransport(int fd) : m_fd(fd) {}
    ~kySgIoTransport() override;
    kySgIoTransport(const kySgIoTransport&) = delete;
    kySgIoTransport& operator=(const kySgIoTransport&) = delete;

    // Opens a device node for commands (read/write when allowed, else read only; never
    // blocking on an empty tray). Null with the reason when the node cannot be opened.
    static std::unique_ptr<kySgIoTransport> Open(const std::string& path, std::string& reason);

    bool Execute(const uint8_t* cdb, uint8_t cdbLength, void* data, uint32_t dataBytes, bool dataIn,
                 uint32_t timeoutMs) override;
    int Descriptor() const { return m_fd; }

private:
    int m_fd;
};
