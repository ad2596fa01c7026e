#include "job/our_progress_display.h"

#include "job/batch_frontend.h"

OurProgressDisplay::OurProgressDisplay(kyBatchFrontend& frontend, int fileCount,
                                       std::function<void()> closing)
    : m_frontend(frontend), m_fileCount(fileCount > 0 ? fileCount : 1),
      m_closing(std::move(closing)) {}

void OurProgressDisplay::ProgressChanged(int32_t percent) {
    m_frontend.setFileProgress(percent);
    m_frontend.setBatchProgress(
        static_cast<int>((static_cast<int64_t>(m_fileIndex) * 100 + percent) / m_fileCount));
    if (!m_frontend.pumpEvents() && m_closing) m_closing();
}

void OurProgressDisplay::ErrorOccurred(kyError code) {
    m_frontend.fileFailed(code);
}
