#pragma once
// What every page of the wizard shares, without any toolkit: the program's captions, its
// web addresses, the buttons of the message-box types, the text of a writer's failure,
// the help file beside the program, and the album-art search.
#include "app/rip_settings.h"
#include "core/error.h"
#include "job/batch_frontend.h"
#include "metadata/disc_info.h"

#include <string>
#include <string_view>
#include <vector>

inline constexpr const char* kProgramCaption = "DskR v5.0";
inline constexpr const char* kTitleSuffix = " - DskR v5.0";
inline constexpr const char* kShortCaption = "DskR";

// The program's information page, the database's home page and the album-art search.
inline constexpr const char* kInfoPageUrl = "https://dskr.velmora.example/";
inline constexpr const char* kFreedbHomeUrl = "https://gnudb.org/";
inline constexpr const char* kAlbumArtSearchUrl = "https://www.amazon.com/gp/search/";

inline constexpr const char* kBrowserFailed = "Couldn't launch Web-browser!";
inline constexpr const char* kBrowserFailedCaption = "SpawnURL";

// Message-box result codes.
constexpr int kyAnswerOk = 1;
constexpr int kyAnswerCancel = 2;
constexpr int kyAnswerAbort = 3;
constexpr int kyAnswerRetry = 4;
constexpr int kyAnswerIgnore = 5;

// The buttons of message-box type 0 (OK), 1 (OK, Cancel), 2 (Abort, Retry, Ignore), 3 (Yes,
// No, Cancel), 4 (Yes, No) and 5 (Retry, Cancel); empty for any other type, which shows
// nothing and answers OK.
std::vector<kyPromptButton> messageBoxButtons(int type);

// A message box uses at most this many characters of its text.
constexpr size_t kMessageBoxTextLimit = 1024;
std::string messageBoxText(std::string_view text);

// What a failed writer (or any stage) reports: the error's text, or for a missing codec
// library where to find one.
std::string writerErrorText(kyError code);

// The help file to open from the program's folder: "DskR.chm" has no viewer here, so the
// first of DskR.pdf, DskR.html and DskR.htm that exists; empty when there is none.
std::string findHelpFile(const std::string& programDirectory);
// The folder part of the program's path (up to its last "/").
std::string programDirectoryOf(std::string_view programPath);

// Text encoded for the album-art search query: letters, digits and "-_.~" as they are, a
// space as "+", quotes and back-quotes dropped, every other byte "%XX"; at most 255 bytes
// (encoding stops at the first character that does not fit).
std::string albumArtQueryText(std::string_view utf8);
// The search address for the disc's artist and album.
std::string albumArtUrl(const DiscInfo& disc);
// The folder the first selected track would be written to (put on the clipboard for the
// cover picture).
std::string albumArtFolder(const RipSettings& settings, const DiscInfo& disc);
