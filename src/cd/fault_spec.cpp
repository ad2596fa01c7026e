// The fault text of a virtual drive: comma-separated key=value items.
#include "cd/virtual_drive.h"
#include <cerrno>
#include <cmath>
#include <cstdlib>

namespace {

bool ToDouble(const std::string& s, double& out) {
    if (s.empty() || s.size() > 32) return false;
    char* end = nullptr;
    errno = 0;
    const double v = std::strtod(s.c_str(), &end);
    if (errno || end != s.c_str() + s.size() || !std::isfinite(v)) return false;
    out = v;
    return true;
}

bool ToProbability(const std::string& s, double& out) {
    return ToDouble(s, out) && out >= 0 && out <= 1;
}

bool ToInt(const std::string& s, int64_t low, int64_t high, int64_t& out) {
    if (s.empty() || s.size() > 20) return false;
    size_t i = (s[0] == '-' || s[0] == '+') ? 1 : 0;
    if (i == s.size()) return false;
    for (size_t j = i; j < s.size(); ++j)
        if (s[j] < '0' || s[j] > '9') return false;
    char* end = nullptr;
    errno = 0;
    const long long v = std::strtoll(s.c_str(), &end, 10);
    if (errno || v < low || v > high) return false;
    out = v;
    return true;
}

// "a<sep>b" split at the first separator.
bool Split(const std::string& s, const std::string& sep, std::string& a, std::string& b) {
    const size_t at = s.find(sep, s.empty() ? 0 : 1); // a leading '-' is a sign
    if (at == std::string::npos) return false;
    a = s.substr(0, at);
    b = s.substr(at + sep.size());
    return true;
}

} // namespace

bool kyFaultSpec::Parse(const std::string& text, kyFaultSpec& out, std::string& error) {
    kyFaultSpec spec;
    error.clear();
    size_t pos = 0;
    while (pos <= text.size() && !text.empty()) {
        size_t comma = text.find(',', pos);
        if (comma == std::string::npos) comma = text.size();
        const std::string item = text.substr(pos, comma - pos);
        pos = comma + 1;
        const size_t eq = item.find('=');
        const std::string key = eq == std::string::npos ? item : item.substr(0, eq);
        const std::string value = eq == std::string::npos ? std::string() : item.substr(eq + 1);
        auto fail = [&](const char* expected) {
            error = "fault \"" + item + "\": " + expected;
            return false;
        };
        int64_t n = 0, m = 0;
        std::string a, b;
        if (item.empty()) return fail("empty item");
        if (eq == std::string::npos) return fail("expected key=value");
        if (key == "seed") {
            if (!ToInt(value, 0, INT64_MAX, n)) return fail("expected seed=N");
            spec.seed = uint64_t(n);
        } else if (key == "seek" || key == "qshift") {
            double p = 0;
            std::string range;
            if (!Split(value, ":", a, range) || !ToProbability(a, p))
                return fail(key == "seek"
                                ? "expected seek=p:lo..hi or seek=p:r with p from 0 to 1"
                                : "expected qshift=p:lo..hi or qshift=p:r with p from 0 to 1");
            if (Split(range, "..", a, b)) {
                if (!ToInt(a, -10000, 10000, n) || !ToInt(b, -10000, 10000, m) || n > m)
                    return fail("expected a range lo..hi of sectors with lo <= hi");
            } else {
                if (!ToInt(range, 1, 10000, m))
                    return fail("expected a range r of at least 1 sector");
                n = -m;
            }
            if (n == 0 && m == 0) return fail("the range holds no offset but 0");
            if (key == "seek") {
                spec.seekProbability = p;
                spec.seekLow = int32_t(n);
                spec.seekHigh = int32_t(m);
            } else {
                spec.qShiftProbability = p;
                spec.qShiftLow = int32_t(n);
                spec.qShiftHigh = int32_t(m);
            }
        } else if (key == "subq") {
            if (value != "0" && value != "1") return fail("expected subq=0 or subq=1");
            spec.subQ = value == "1";
        } else if (key == "qcrc") {
            if (!ToProbability(value, spec.qCrcProbability))
                return fail("expected qcrc=p with p from 0 to 1");
        } else if (key == "error") {
            if (!ToProbability(value, spec.errorProbability))
                return fail("expected error=p with p from 0 to 1");
        } else if (key == "bad") {
            if (!Split(value, ":", a, b) || !ToInt(a, 0, 0x7FFFFFFF, n) || !ToInt(b, 0, 1000000, m))
                return fail("expected bad=lba:n");
            spec.bad.push_back({uint32_t(n), uint32_t(m)});
        } else if (key == "scratch") {
            std::string range, q;
            double p;
            if (!Split(value, ":", range, q) || !Split(range, "-", a, b) ||
                !ToInt(a, 0, 0x7FFFFFFF, n) || !ToInt(b, 0, 0x7FFFFFFF, m) || n > m ||
                !ToProbability(q, p))
                return fail("expected scratch=a-b:q with a <= b and q from 0 to 1");
            spec.scratch.push_back({uint32_t(n), uint32_t(m), p});
        } else if (key == "settle") {
            if (!ToInt(value, 0, 0xFFFFFFFF, n)) return fail("expected settle=n");
            spec.settle = uint32_t(n);
        } else if (key == "speed") {
            if (!ToDouble(value, spec.speed) || spec.speed <= 0 || spec.speed > 100000)
                return fail("expected speed=x with x above 0");
        } else if (key == "offset") {
            if (!ToInt(value, -100000, 100000, n))
                return fail("expected offset=N samples (-100000 to 100000)");
            spec.readOffset = int32_t(n);
        } else {
            return fail("unknown fault (seed, seek, error, bad, scratch, settle, speed, offset, "
                        "subq, qcrc, "
                        "qshift)");
        }
        if (comma == text.size()) break;
    }
    out = spec;
    return true;
}
