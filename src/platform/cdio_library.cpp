#include "platform/cdio_library.h"
#include "platform/components.h"
#include "platform/library_loader.h"
#include <cstring>

namespace {
// libcdio's own version text, or the file it was loaded from.
std::optional<std::string> cdioVersion() {
    const kyLibrary* lib = kyLibrary::Load({"libcdio.so.19"});
    if (!lib) return std::nullopt;
    const auto* text = static_cast<const char* const*>(lib->Symbol("cdio_version_string"));
    if (text && *text) return std::string(*text) + " (" + lib->FileName() + ")";
    return lib->FileName();
}
const kyComponentRegistration registration{
    {"libcdio", "drive access through libcdio", cdioVersion}};
} // namespace

const kyCdioLibrary* kyCdioLibrary::Get() {
    static const kyCdioLibrary* table = []() -> const kyCdioLibrary* {
        static kyCdioLibrary t;
        const kyLibrary* lib = kyLibrary::Load({"libcdio.so.19"});
        bool ok = kyResolve(lib, "cdio_get_devices", t.getDevices);
        ok = kyResolve(lib, "cdio_free_device_list", t.freeDeviceList) && ok;
        ok = kyResolve(lib, "cdio_open", t.open) && ok;
        ok = kyResolve(lib, "cdio_destroy", t.destroy) && ok;
        ok = kyResolve(lib, "mmc_run_cmd", t.runCmd) && ok;
        return ok ? &t : nullptr;
    }();
    return table;
}

kyCdioTransport::~kyCdioTransport() {
    if (m_cdio) m_lib->destroy(m_cdio);
}

bool kyCdioTransport::Execute(const uint8_t* cdb, uint8_t cdbLength, void* data, uint32_t dataBytes,
                              bool dataIn, uint32_t timeoutMs) {
    // libcdio takes command blocks of up to 12 bytes and works their length out itself.
    if (!m_cdio || !cdb || cdbLength == 0 || cdbLength > MAX_CDB_LEN) return false;
    mmc_cdb_t block;
    std::memset(&block, 0, sizeof block);
    std::memcpy(block.field, cdb, cdbLength);
    const bool in = dataIn && data && dataBytes;
    return m_lib->runCmd(m_cdio, timeoutMs, &block, in ? SCSI_MMC_DATA_READ : SCSI_MMC_DATA_NONE,
                         in ? dataBytes : 0, in ? data : nullptr) == DRIVER_OP_SUCCESS;
}
