#pragma once
// What the "Audio playback" window does, without its widgets: the chain from a borrowed
// source through the level meter to a sound card, play and pause, rewind, seeking from the
// position slider (deferred while it is dragged), the 100 ms timer's view of position and
// time, and the meter's segment colours. The window (and dskr-cli's play) only show it.
#include "filters/vu_meter_filter.h"
#include "playback/audio_output_filter.h"
#include <cstdint>
#include <functional>
#include <string>

// "3m07s", "1h03m07s".
std::string kyPlaybackTimeText(int64_t seconds);
// The time display: the position, or in remaining-time mode "-" (a space at the end) and
// the time left.
std::string kyPlaybackTimeDisplay(int64_t position, int64_t length, bool remaining);

struct kyMeterColour {
    uint8_t red, green;
};
// Segment `i` of `n`: green in the lower half, then towards red; unlit ones at a quarter.
kyMeterColour kyMeterSegmentColour(uint32_t i, uint32_t n, bool lit);
// The lit segments of `n` for a level of 0 to 1; none when the meter is inactive.
uint32_t kyMeterLitSegments(uint32_t n, float level, bool active);
// A segment's size in pixels from a font's base unit: never below 1.
int kyMeterSegmentSize(double baseUnit, double factor);

class kyPlaybackController {
public:
    static constexpr int kSliderMax = 65535;
    static constexpr int64_t kDeferMs = 200;

    // Called on the playing thread when the stream ended or failed; the window posts it to
    // its own thread and hands it to EndOfPlayback there.
    using EndNotification = std::function<void(kyError)>;

    // `source` is borrowed: it is connected for playing and disconnected again, never
    // destroyed.
    explicit kyPlaybackController(kySourceFilter* source);
    ~kyPlaybackController();
    kyPlaybackController(const kyPlaybackController&) = delete;
    kyPlaybackController& operator=(const kyPlaybackController&) = delete;

    // Makes the chain on `device` (see kyOpenAudioOutput) and starts playing from
    // `startSeconds`. Without a source nothing happens and the result is "Invalid operation
    // sequence".
    kyError Open(const std::string& device, double startSeconds, EndNotification notify);
    bool IsOpen() const { return m_output != nullptr; }
    // Playing and not at the end.
    bool IsActive() const;
    // Pauses while playing (returns false), else plays from where it was, from the start
    // once at the end (returns true when it runs).
    bool PlayPause();
    void Rewind(int64_t nowMs) { SeekRequest(0, false, nowMs); }
    // A request from the slider (0..65535).
    void SeekRequest(int slider, bool dragging, int64_t nowMs);
    // Relative seek in seconds (the command line's arrows), kept within the stream.
    void SeekBy(double seconds);

    struct View {
        bool active = false;
        int slider = 0;
        int64_t lengthSeconds = 0, positionSeconds = 0;
    };
    // The 100 ms timer: what to show, and a deferred seek that fell due is carried out.
    View Tick(int64_t nowMs);
    // On the window's thread: the meter drops to zero; a failure gives its message.
    // Returns the error text to show, or empty.
    std::string EndOfPlayback(kyError result);

    double Duration() const { return m_duration; }
    double PositionSeconds() const;
    const kygfVUMeterFilter* Meter() const { return m_meter; }
    kyAudioOutputFilter* Output() const { return m_output; }
    // "Name - 3m07s - caption".
    std::string Title(const std::string& caption) const;

private:
    kySourceFilter* m_source;
    kygfVUMeterFilter* m_meter = nullptr;
    kyAudioOutputFilter* m_output = nullptr;
    double m_duration = 0;
    double m_rate = 44100;
    double m_pendingTarget = -1;
    int m_deferredSlider = 0;
    int64_t m_deferredDue = 0;
};
