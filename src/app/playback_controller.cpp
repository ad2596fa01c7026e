#include "app/playback_controller.h"
#include "core/property_table.h"
#include "playback/audio_io_manager.h"
#include <algorithm>
#include <cmath>
#include <cstdio>

std::string kyPlaybackTimeText(int64_t t) {
    t = std::max<int64_t>(t, 0);
    const int64_t hours = t / 3600, minutes = (t / 60) % 60, seconds = t % 60;
    char text[48];
    if (hours)
        std::snprintf(text, sizeof text, "%lldh%lld%lldm%lld%llds", (long long)hours,
                      (long long)(minutes / 10), (long long)(minutes % 10),
                      (long long)(seconds / 10), (long long)(seconds % 10));
    else
        std::snprintf(text, sizeof text, "%lldm%lld%llds", (long long)minutes,
                      (long long)(seconds / 10), (long long)(seconds % 10));
    return text;
}

std::string kyPlaybackTimeDisplay(int64_t position, int64_t length, bool remaining) {
    if (!remaining) return kyPlaybackTimeText(position);
    return std::string(position < length ? "-" : " ") + " " +
           kyPlaybackTimeText(std::max<int64_t>(0, length - position));
}

kyMeterColour kyMeterSegmentColour(uint32_t i, uint32_t n, bool lit) {
    const uint32_t h = n / 2;
    uint32_t red = 0, green = 255;
    if (i >= h && n > h) {
        red = 255 * (i - h) / (n - h);
        green = 255 - red;
    }
    if (!lit) {
        red /= 4;
        green /= 4;
    }
    return {uint8_t(red), uint8_t(green)};
}

uint32_t kyMeterLitSegments(uint32_t n, float level, bool active) {
    if (!active) return 0;
    const double lit = std::trunc(double(n) * std::clamp(double(level), 0.0, 1.0) + 0.5);
    return static_cast<uint32_t>(std::min<double>(lit, n));
}

int kyMeterSegmentSize(double baseUnit, double factor) {
    return std::max(1, static_cast<int>(std::trunc(baseUnit * 1.5 * factor)));
}

kyPlaybackController::kyPlaybackController(kySourceFilter* source) : m_source(source) {}

kyPlaybackController::~kyPlaybackController() {
    if (!m_output) return;
    m_output->Stop(true);
    // The source is the opener's: only the meter and the output go.
    m_source->Disconnect();
    m_meter->DestroyChain();
}

kyError kyPlaybackController::Open(const std::string& device, double startSeconds,
                                   EndNotification notify) {
    if (!m_source || m_output) return KYERR_SEQUENCE;
    kyAudioFormat format{};
    kyError e = m_source->GetFormat(format);
    if (kyFailed(e)) return e;
    if (format.channels == 0 || format.sampleRate == 0) return KYERR_DATA_FORMAT;
    auto output = kyOpenAudioOutput(device, format.sampleRate, format.channels, e);
    if (!output) return kyFailed(e) ? e : KYERR_OPEN_FILE;
    if (output->Rate() != format.sampleRate) {
        kySetErrorReason(KYERR_DATA_FORMAT, output->Description() + " does not play " +
                                                std::to_string(format.sampleRate) + " Hz");
        return KYERR_DATA_FORMAT;
    }
    m_rate = format.sampleRate;
    m_duration = format.lengthFrames == KY_NO_LENGTH ? 0 : format.lengthFrames / m_rate;
    if (m_duration > 0 && startSeconds >= m_duration) return KYERR_INVALID_PARAMETER;
    output->SetEndNotification(std::move(notify));
    m_output = output.release();
    m_meter = new kygfVUMeterFilter();
    m_source->Connect(m_output);
    m_source->InsertAfter(m_meter);
    if (startSeconds > 0) {
        e = m_output->SeekSeconds(startSeconds);
        if (kyFailed(e)) return e;
    }
    return m_output->Start();
}

bool kyPlaybackController::IsActive() const {
    return m_output && m_output->IsRunning() && !m_output->AtEnd();
}

bool kyPlaybackController::PlayPause() {
    if (!m_output) return false;
    if (IsActive()) {
        m_output->Stop(true);
        m_meter->Clear();
        return false;
    }
    m_output->Stop(true);
    if (m_output->AtEnd()) m_output->Seek(0);
    return kySucceeded(m_output->Start()) && m_output->IsRunning();
}

void kyPlaybackController::SeekRequest(int slider, bool dragging, int64_t nowMs) {
    if (!m_output) return;
    slider = std::clamp(slider, 0, kSliderMax);
    m_pendingTarget = slider * m_duration / kSliderMax;
    if (!dragging && !IsActive()) {
        m_output->SeekSeconds(m_pendingTarget);
        m_pendingTarget = -1;
        m_deferredDue = 0;
    } else {
        m_deferredSlider = slider;
        m_deferredDue = nowMs + kDeferMs;
    }
}

void kyPlaybackController::SeekBy(double seconds) {
    if (!m_output) return;
    const double target =
        std::clamp(PositionSeconds() + seconds, 0.0, std::max(0.0, m_duration - 1.0 / m_rate));
    m_output->SeekSeconds(target);
}

double kyPlaybackController::PositionSeconds() const {
    return m_output ? double(m_output->Position()) / m_rate : 0.0;
}

kyPlaybackController::View kyPlaybackController::Tick(int64_t nowMs) {
    View v;
    if (!m_output) return v;
    v.active = IsActive();
    double position = m_pendingTarget;
    if (position < 0) {
        position = PositionSeconds();
        if (position > m_duration) m_duration = std::max(m_duration, m_output->Duration());
    }
    v.slider = m_duration > 0
                   ? std::clamp(int(position * kSliderMax / m_duration + 0.5), 0, kSliderMax)
                   : 0;
    v.lengthSeconds = std::llround(m_duration);
    v.positionSeconds = std::llround(position);
    // A seek that fell due is carried out, playing or not (a running output restarts at
    // the new place).
    if (m_deferredDue && nowMs >= m_deferredDue) {
        m_deferredDue = 0;
        m_output->SeekSeconds(m_deferredSlider * m_duration / kSliderMax);
        m_pendingTarget = -1;
    }
    return v;
}

std::string kyPlaybackController::EndOfPlayback(kyError result) {
    if (m_meter) m_meter->Clear();
    return kyFailed(result) ? kyErrorText(result) : std::string();
}

std::string kyPlaybackController::Title(const std::string& caption) const {
    const char* name = m_source ? m_source->GetPropertyUtf8(KYPROP_TITLE) : nullptr;
    return std::string(name && *name ? name : "Unknown") + " - " +
           kyPlaybackTimeText(std::llround(m_duration)) + " - " + caption;
}
