#pragma once
// aiff_Reader: AIFF and AIFF-C files. Integer PCM of either byte order, float and G.711
// are read by the base; "ima4" packets are decoded by the base's block-codec path. The
// text chunks, an ID3v2 tag, markers and the instrument chunk become properties and
// markers.
#include "formats/reader_filter.h"
#include <string>
#include <vector>

class aiff_Reader : public kyReaderFilter {
public:
    aiff_Reader(int fd, const char* fileName, const kyFormatEntry* entry, int32_t option);

    bool GetMarker(uint32_t index, uint32_t& frame, std::string& name) override;

    static kyReaderFilter* Create(int fd, const char* fileName, const kyFormatEntry* entry,
                                  int32_t option);

private:
    struct Marker {
        uint32_t id;
        uint32_t position;
        std::string name;
    };

    kyError open();
    kyError parseComm(const uint8_t* b, uint32_t n);
    kyError chooseDecoder();
    void parseMarkers(const uint8_t* b, uint32_t n);
    void parseInstrument(const uint8_t* b, uint32_t n);
    void parseComments(const uint8_t* b, uint32_t n);

    bool m_aifc = false;
    uint32_t m_units = 0;      // COMM's sample frames ("ima4": packets)
    uint32_t m_sampleSize = 0; // COMM's bits per sample
    uint8_t m_type[4] = {'N', 'O', 'N', 'E'};
    bool m_haveComm = false;
    bool m_haveData = false;
    bool m_haveAnno = false;
    std::vector<Marker> m_markers;
    uint8_t m_instrument[20] = {};
    bool m_haveInstrument = false;
};
