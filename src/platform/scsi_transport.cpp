#include "platform/scsi_transport.h"
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <scsi/sg.h>
#include <sys/ioctl.h>
#include <unistd.h>

kySgIoTransport::~kySgIoTransport() {
    if (m_fd >= 0) ::close(m_fd);
}

std::unique_ptr<kySgIoTransport> kySgIoTransport::Open(const std::string& path,
                                                       std::string& reason) {
    // O_NONBLOCK: a drive with an open tray or no disc must still open, or we could not
    // even ask whether it is ready.
    int fd = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0 && (errno == EACCES || errno == EPERM || errno == EROFS))
        fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        reason = std::strerror(errno);
        return nullptr;
    }
    return std::make_unique<kySgIoTransport>(fd);
}

bool kySgIoTransport::Execute(const uint8_t* cdb, uint8_t cdbLength, void* data, uint32_t dataBytes,
                              bool dataIn, uint32_t timeoutMs) {
    if (m_fd < 0 || !cdb || cdbLength == 0 || cdbLength > 16) return false;
    uint8_t command[16];
    std::memcpy(command, cdb, cdbLength);
    uint8_t sense[14] = {};
    sg_io_hdr_t io;
    std::memset(&io, 0, sizeof io);
    io.interface_id = 'S';
    io.cmd_len = cdbLength;
    io.cmdp = command;
    io.mx_sb_len = sizeof sense;
    io.sbp = sense;
    io.timeout = timeoutMs;
    if (dataIn && data && dataBytes) {
        io.dxfer_direction = SG_DXFER_FROM_DEV;
        io.dxfer_len = dataBytes;
        io.dxferp = data;
    } else {
        io.dxfer_direction = SG_DXFER_NONE;
    }
    int rc;
    do {
        rc = ::ioctl(m_fd, SG_IO, &io);
    } while (rc < 0 && errno == EINTR);
    // A command that timed out or was aborted by the host can still carry status 0:
    // only a clean completion counts.
    return rc == 0 && (io.info & SG_INFO_OK_MASK) == SG_INFO_OK && io.status == 0 &&
           io.host_status == 0 && (io.driver_status & 0x0F) == 0;
}
