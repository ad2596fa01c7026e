#pragma once
// The progress filter the batch puts into each file's chain: it shows the progress of the
// file and of the whole batch through the front end, and lets the front end work (and a
// cancel request arrive) after every step.
#include "filters/progress_indicator_filter.h"

#include <functional>

class kyBatchFrontend;

class OurProgressDisplay : public kyProgressIndicatorFilter {
public:
    // `closing` is called when the front end says the program is closing.
    OurProgressDisplay(kyBatchFrontend& frontend, int fileCount, std::function<void()> closing);

    // Index of the file in the batch, from 0.
    void setFileIndex(int index) { m_fileIndex = index; }
    int fileIndex() const { return m_fileIndex; }

    // File bar = percent; batch bar = (index × 100 + percent) / file count.
    void ProgressChanged(int32_t percent) override;
    void ErrorOccurred(kyError code) override;

private:
    kyBatchFrontend& m_frontend;
    int m_fileIndex = 0;
    int m_fileCount;
    std::function<void()> m_closing;
};
