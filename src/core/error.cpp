#include "core/error.h"
#include <cstring>
#include <utility>

namespace {
struct Reason {
    kyError code = KY_OK;
    std::string text;
};
thread_local Reason t_reason;
} // namespace

const char* kyErrorMessage(kyError code) {
    if (code >= 0) return "No error";
    static const char* const table[] = {
        "Unknown error",
        "Invalid parameter",
        "Out of memory",
        "Couldn't open file",
        "Couldn't create file",
        "Couldn't read from file",
        "Couldn't write to file",
        "Invalid operation sequence",
        "Unsupported data format",
        "Unsupported channel format",
        "Unsupported file format",
        "Unsupported compression type",
        "File is corrupt or not of the expected format",
        "Invalid or corrupted file",
        "The file does not contain any audio data",
        nullptr, // 0x8004020F has no row
        "Missing required component",
        "Operation cancelled",
    };
    const uint32_t u = static_cast<uint32_t>(code);
    const uint32_t base = 0x80040200u;
    if (u >= base && u - base < sizeof(table) / sizeof(table[0]) && table[u - base])
        return table[u - base];
    return "Unknown error";
}

void kySetErrorReason(kyError code, std::string text) {
    t_reason = text.empty() ? Reason{} : Reason{code, std::move(text)};
}

void kySetErrorReason(kyError code, int systemError) {
    if (systemError == 0) {
        t_reason = Reason{};
        return;
    }
    char buffer[256];
    // The GNU strerror_r returns the text, which need not be in the buffer.
    kySetErrorReason(code, std::string(strerror_r(systemError, buffer, sizeof buffer)));
}

std::string kyErrorReason(kyError code) {
    if (kySucceeded(code) || t_reason.code != code) return {};
    return t_reason.text;
}

std::string kyErrorText(kyError code) {
    std::string text = kyErrorMessage(code);
    const std::string reason = kyErrorReason(code);
    if (!reason.empty()) text += ": " + reason;
    return text;
}
