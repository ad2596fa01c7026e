#pragma once
// The Musepack SV8 container: "MPCK", then packets of a two-letter key and a size that
// counts the whole packet (key and size field too), coded 7 bits a byte, most
// significant first, with the top bit set on every byte but the last. The stream header
// ("SH") starts with the CRC-32 of the rest of its payload.
#include <cstddef>
#include <cstdint>
#include <vector>

// Sample rates by their 3-bit index in the stream header.
constexpr uint32_t KY_MPC_RATES[4] = {44100, 48000, 37800, 32000};

struct kyMpcPacket {
    char key[2] = {0, 0};
    uint64_t size = 0;        // the whole packet
    uint32_t headerBytes = 0; // key and size field
};

// Reads a packet header at `p`; false when `avail` bytes do not hold one or its size is
// smaller than the header itself.
bool kyMpcReadPacket(const uint8_t* p, size_t avail, kyMpcPacket& packet);
// Appends a size as the container codes it, in at least `minBytes` bytes.
void kyMpcPutSize(std::vector<uint8_t>& out, uint64_t value, uint32_t minBytes = 1);
// Appends a whole packet: key, size, payload.
void kyMpcPutPacket(std::vector<uint8_t>& out, const char* key,
                    const std::vector<uint8_t>& payload);

// What the stream header says.
struct kyMpcStreamHeader {
    uint32_t version = 0;
    uint64_t samples = 0;
    uint64_t beginSilence = 0;
    uint32_t sampleRate = 0;
    uint32_t maxBand = 0; // the last band a frame may use, 1..31
    uint32_t channels = 0;
    bool midSide = false;
    uint32_t blockPower = 0; // frames per seek-table block = 2^blockPower
};
// Parses a stream header's payload (after key and size): false when its CRC does not
// match or a field is out of range.
bool kyMpcParseStreamHeader(const uint8_t* payload, size_t size, kyMpcStreamHeader& header);
// A stream header's payload with its CRC; the sample count takes at least `sampleBytes`
// bytes, so that a header rewritten with the real count keeps its length.
std::vector<uint8_t> kyMpcStreamHeaderPayload(const kyMpcStreamHeader& header,
                                              uint32_t sampleBytes = 1);
