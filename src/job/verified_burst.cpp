// Verified burst: the batch reads every file in burst mode and holds each track against
// the disc's AccurateRip record; a file the record does not confirm in full is read again
// in scratch correcting mode. The burst file stays a temporary until the secure one is
// complete, so a failed or cancelled re-read never leaves half a file nor loses the
// earlier file of that name.
#include "job/accuraterip_check.h"
#include "job/batch_frontend.h"
#include "job/batch_runner.h"
#include "job/our_progress_display.h"

#include "cd/dsk_reader.h"
#include "core/filter.h"
#include "filters/gain_analyzer.h"

#include <utility>

void kyBatchRunner::chooseReadMode() {
    m_verifying = false;
    m_verifyNote.clear();
    if (m_settings.eMode != KY_READ_VERIFIED) {
        m_source.SetJitterCorrection(m_settings.eMode != KY_READ_BURST);
        m_source.SetVerify(m_settings.eMode == KY_READ_SCRATCH);
        return;
    }
    if (!m_accurateRipSet && m_settings.bAccurateRip && m_source.IsDriveOpen()) {
        m_frontend.setStatus("Asking the AccurateRip database...");
        m_accurateRip = kyLookUpAccurateRip(
            m_settings, m_source.Toc(), [this] { return m_frontend.pumpEvents() && m_running; });
        m_accurateRipSet = true;
    }
    if (m_accurateRip.state == kyAccurateRipResult::Match) {
        m_verifying = true;
        m_source.SetReadMode(KY_READ_BURST);
        m_verifyNote = "burst reads checked against AccurateRip, "
                       "tracks not confirmed read again in scratch correcting mode";
        return;
    }
    // Nothing to check a burst read against: every file is read the secure way at once
    // rather than twice.
    const std::string why =
        m_accurateRip.state == kyAccurateRipResult::Skipped ? std::string("AccurateRip not asked")
        : m_accurateRip.message.empty() ? std::string(kyAccurateRipResultText(m_accurateRip.state))
                                        : m_accurateRip.message;
    m_verifyNote =
        "no AccurateRip record (" + why + "): every track read in scratch correcting mode";
    m_source.SetReadMode(KY_READ_SCRATCH);
    m_frontend.setStatus("Verified burst: " + m_verifyNote);
}

kyError kyBatchRunner::settleVerifiedBurst(const Group& group, const std::string& path,
                                           Chain& chain, FileRecord& record, bool album,
                                           kyGainAnalyzer*& analyzer) {
    if (!m_verifying) {
        record.verified = kyVerifiedBurst::Secure;
        return KY_OK;
    }
    if (kyTracksConfirmed(record)) {
        record.verified = kyVerifiedBurst::Confirmed;
        return KY_OK;
    }
    // A cancel that came as the burst read ended: an unconfirmed file is not kept.
    if (!m_running) return KYERR_CANCELLED;

    // The burst chain is set aside whole (its file complete but not in place, or its audio
    // measured for the album), to be dropped or taken back after the secure read.
    const FileRecord burstRecord = record;
    Chain burst = std::move(chain);
    chain = Chain{};
    kySinkFilter* burstHead = m_source.downstream();
    m_source.Disconnect();
    kyGainAnalyzer* burstAnalyzer = std::exchange(analyzer, nullptr);
    auto dropBurst = [&] {
        if (burst.end) burst.end->DestroyChain();
        burst.file.discard();
        if (burstAnalyzer) burstAnalyzer->Release();
    };

    record.verified = kyVerifiedBurst::Reread;
    record.burstCrc = burstRecord.copyCrc;
    record.burstAccurateRip = burstRecord.accurateRip;
    record.testCrc.reset();
    record.copyCrc.reset();
    record.suspect.clear();
    record.filled.clear();
    record.accurateRip.clear();

    setStatus("- Re-reading securely no %d out of %d -", m_result.fileIndex + 1);
    m_frontend.setFileProgress(0);
    m_source.SetReadMode(KY_READ_SCRATCH);
    std::string samePath = path;
    kyError e = buildChain(group, samePath, m_result.fileIndex, chain, album, false);
    if (e == KY_OK) {
        m_current = chain.progress;
        e = readFile(chain, record, album, analyzer);
        reportFailure(e); // building the chain shows its own failures
    }
    m_source.SetReadMode(KY_READ_BURST);
    if (kySucceeded(e)) {
        dropBurst();
        return KY_OK;
    }

    // The secure read did not finish: its chain and file go.
    const kyReadReport failedReport = m_source.Report();
    m_current = nullptr;
    m_source.Disconnect();
    if (chain.end) chain.end->DestroyChain();
    chain.file.discard();
    chain = Chain{};
    if (analyzer) analyzer->Release();
    analyzer = nullptr;
    if (e == KYERR_CANCELLED) {
        dropBurst();
        return e;
    }
    // Any other failure keeps the complete burst read, unconfirmed.
    const uint32_t rereads = record.rereads;
    record = burstRecord;
    record.rereads = rereads;
    record.verified = kyVerifiedBurst::BurstKept;
    record.burstCrc = burstRecord.copyCrc;
    record.burstAccurateRip = burstRecord.accurateRip;
    record.verifyNote = std::string("the secure re-read failed (") + kyErrorText(e) +
                        (e == KYERR_READ_FILE && failedReport.failedSector
                             ? ": " + kySpanText(m_source.Toc(), {*failedReport.failedSector,
                                                                  *failedReport.failedSector})
                             : std::string()) +
                        "); the burst read is kept";
    if (record.endSector > record.firstSector) {
        kyReadReport merged;
        merged.suspect = record.suspect;
        merged.addSuspect(record.firstSector, record.endSector - 1);
        record.suspect = merged.suspect;
    }
    chain = std::move(burst);
    burst = Chain{};
    if (burstHead) m_source.Connect(burstHead);
    m_current = chain.progress;
    analyzer = burstAnalyzer;
    return KY_OK;
}
