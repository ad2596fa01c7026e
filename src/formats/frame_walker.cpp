#include "formats/frame_walker.h"
#include <algorithm>
#include <new>
#include <vector>

namespace {
// Larger than any frame of the formats walked (an MPEG frame has at most 2881 bytes, an
// ADTS frame 8191), so a whole frame always fits behind the read position.
constexpr size_t kPiece = 256 * 1024;
} // namespace

kyError kyWalkFrames(const kyWalkReadFn& read, uint64_t from, uint64_t to,
                     const kyFrameParseFn& parse, const kyWalkFn& fn) {
    std::vector<uint8_t> buf;
    try {
        buf.resize(kPiece);
    } catch (const std::bad_alloc&) {
        return KYERR_OUT_OF_MEMORY;
    }
    uint64_t pos = from;
    while (pos < to) {
        const size_t want = static_cast<size_t>(std::min<uint64_t>(to - pos, buf.size()));
        const long got = read(pos, buf.data(), want);
        if (got < 0) return KYERR_READ_FILE;
        const size_t n = static_cast<size_t>(got);
        if (n == 0) break; // the file is shorter than the range
        const bool last = pos + n >= to || n < want;
        const uint8_t* b = buf.data();
        size_t i = 0;
        size_t other = 0; // start of a run of other bytes not yet handed out
        bool runOpen = false;
        auto closeRun = [&](size_t end) -> kyError {
            if (!runOpen || end <= other) {
                runOpen = false;
                return KY_OK;
            }
            runOpen = false;
            return fn(b + other, static_cast<uint32_t>(end - other), nullptr);
        };
        while (i < n) {
            kyWalkedFrame f;
            const size_t avail = n - i;
            if (avail < 4 && !last) break; // read on from here
            bool isFrame = avail >= 4 && parse(b + i, avail, f) && f.bytes > 0;
            if (isFrame && f.bytes > avail) {
                if (!last) break; // the frame goes on in the next piece
                isFrame = false;  // cut off by the end
            }
            if (isFrame) {
                // A frame counts when another one starts where it ends (or the range does).
                const size_t next = i + f.bytes;
                kyWalkedFrame g;
                if (next + 4 <= n)
                    isFrame = parse(b + next, n - next, g);
                else if (!last)
                    break; // confirm it with the next piece
            }
            if (isFrame) {
                kyError e = closeRun(i);
                if (kyFailed(e)) return e;
                e = fn(b + i, f.bytes, &f);
                if (kyFailed(e)) return e;
                i += f.bytes;
                continue;
            }
            if (!runOpen) {
                runOpen = true;
                other = i;
            }
            ++i;
        }
        kyError e = closeRun(i);
        if (kyFailed(e)) return e;
        if (i == 0) return KYERR_READ_FILE; // cannot happen with pieces larger than a frame
        pos += i;
    }
    return KY_OK;
}
