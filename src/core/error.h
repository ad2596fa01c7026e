#pragma once
// Result codes of the pipeline: zero or positive is success, negative is a failure
// whose message comes from one fixed table.
#include <cstdint>
#include <string>

using kyError = int32_t;

constexpr kyError KY_OK = 0;
constexpr kyError KY_NOTHING_DONE = 1; // success that means nothing was done / data ended

constexpr kyError KYERR_UNKNOWN = static_cast<kyError>(0x80040200u);
constexpr kyError KYERR_INVALID_PARAMETER = static_cast<kyError>(0x80040201u);
constexpr kyError KYERR_OUT_OF_MEMORY = static_cast<kyError>(0x80040202u);
constexpr kyError KYERR_OPEN_FILE = static_cast<kyError>(0x80040203u);
constexpr kyError KYERR_CREATE_FILE = static_cast<kyError>(0x80040204u);
constexpr kyError KYERR_READ_FILE = static_cast<kyError>(0x80040205u);
constexpr kyError KYERR_WRITE_FILE = static_cast<kyError>(0x80040206u);
constexpr kyError KYERR_SEQUENCE = static_cast<kyError>(0x80040207u);
constexpr kyError KYERR_DATA_FORMAT = static_cast<kyError>(0x80040208u);
constexpr kyError KYERR_CHANNEL_FORMAT = static_cast<kyError>(0x80040209u);
constexpr kyError KYERR_FILE_FORMAT = static_cast<kyError>(0x8004020Au);
constexpr kyError KYERR_COMPRESSION = static_cast<kyError>(0x8004020Bu);
constexpr kyError KYERR_CORRUPT = static_cast<kyError>(0x8004020Cu);
constexpr kyError KYERR_INVALID_FILE = static_cast<kyError>(0x8004020Du);
constexpr kyError KYERR_NO_AUDIO = static_cast<kyError>(0x8004020Eu);
constexpr kyError KYERR_MISSING_COMPONENT = static_cast<kyError>(0x80040210u);
constexpr kyError KYERR_CANCELLED = static_cast<kyError>(0x80040211u);

inline bool kySucceeded(kyError e) {
    return e >= 0;
}
inline bool kyFailed(kyError e) {
    return e < 0;
}

// The message of a code: "No error" for success, the table's text for a known
// failure, "Unknown error" for anything else.
const char* kyErrorMessage(kyError code);

// What says more about a failure than its code ("libFLAC.so.12 not found", "Permission
// denied"), noted where the failure arises and shown beside the code's message. A code
// travels up the chain unchanged; its reason is kept per thread beside it, so only the
// code noted last has one. An empty text forgets the reason.
void kySetErrorReason(kyError code, std::string text);
// The system's reason for a failed file operation: `systemError` is an errno value whose
// text is noted ("No space left on device"); 0 forgets the reason.
void kySetErrorReason(kyError code, int systemError);
// The reason noted for `code` on this thread, or empty.
std::string kyErrorReason(kyError code);
// The message of `code` followed by ": " and its reason when one was noted:
// "Couldn't create file: Permission denied".
std::string kyErrorText(kyError code);
