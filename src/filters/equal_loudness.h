#pragma once
// ISO 226:2003 equal-loudness contours: the sound pressure level (dB) that a pure tone
// needs at each frequency to sound as loud as a 1 kHz tone of the given loudness level
// (phon). The ReplayGain ISO variant shapes its weighting filter after the 75-phon
// contour, and the noise-shaping quantizer puts its noise where the 2-phon contour (the
// hearing threshold, roughly) says the ear is least sensitive.
#include <array>
#include <cstdint>

class kyEqualLoudnessContour {
public:
    struct Point {
        double frequency; // Hz
        double level;     // dB SPL
    };
    static constexpr uint32_t kPointCount = 33;

    // Builds the contour for a loudness level of `phon`. Returns false, and leaves the
    // contour empty, outside 0 to 90 phon where the formula does not hold.
    bool build(double phon);
    bool valid() const { return m_valid; }

    // Level in dB SPL at `frequency` Hz: held flat beyond both ends, straight lines in the
    // outermost intervals, Catmull-Rom curves elsewhere. 0 when the contour is empty.
    double level(double frequency) const;

    const std::array<Point, kPointCount>& points() const { return m_points; }

private:
    std::array<Point, kPointCount> m_points{};
    bool m_valid = false;
};
