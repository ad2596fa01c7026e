#pragma once
// The third road to the drives, in the place of an ASPI layer: libcdio loaded at run time,
// sending the same MMC command blocks with mmc_run_cmd. "Missing required component" when
// the library or one of its entry points is missing.
#include "cd/dsk_reader_mode_mmc.h"

class kyDskReaderModeASPI : public kyDskReaderModeMmc {
public:
    kyDskReaderModeASPI();

protected:
    std::unique_ptr<kyScsiTransport> OpenTransport(uint32_t localNumber) override;
};
