#pragma once
// libcdio, loaded at run time: the entry points the libcdio drive-access method uses, and
// a transport that sends MMC command blocks with mmc_run_cmd.
#include "platform/scsi_transport.h"
#include <cdio/cdio.h>
#include <cdio/mmc.h>

struct kyCdioLibrary {
    char** (*getDevices)(driver_id_t);
    void (*freeDeviceList)(char**);
    CdIo_t* (*open)(const char*, driver_id_t);
    void (*destroy)(CdIo_t*);
    driver_return_code_t (*runCmd)(const CdIo_t*, unsigned int, const mmc_cdb_t*,
                                   cdio_mmc_direction_t, unsigned int, void*);

    // The table, resolved once per process; null when the library or an entry point is missing.
    static const kyCdioLibrary* Get();
};

// Owns an open libcdio device.
class kyCdioTransport : public kyScsiTransport {
public:
    kyCdioTransport(const kyCdioLibrary* lib, CdIo_t* cdio) : m_lib(lib), m_cdio(cdio) {}
    ~kyCdioTransport() override;
    kyCdioTransport(const kyCdioTransport&) = delete;
    kyCdioTransport& operator=(const kyCdioTransport&) = delete;

    bool Execute(const uint8_t* cdb, uint8_t cdbLength, void* data, uint32_t dataBytes, bool dataIn,
                 uint32_t timeoutMs) override;

private:
    const kyCdioLibrary* m_lib;
    CdIo_t* m_cdio;
};
