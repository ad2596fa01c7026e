#pragma once
// Sending a disc's names to the database as a new disc or as an update of the record read
// before (the record's revision tells which), with the checks a front end makes first.
#include "cd/disc_toc.h"
#include "metadata/disc_info.h"
#include "metadata/freedb_client.h"

#include <string>

inline constexpr const char* kSubmitCaption = "freedb submit - DskR";
inline constexpr const char* kSubmitNeedsEmail =
    "You must enter an email address in the freedb options before you may submit a disc.";
inline constexpr const char* kSubmitSucceeded =
    "Disc successfully submitted.\n\nPlease note that it make take a while before your "
    "submission shows up in the freedb album database.";
inline constexpr const char* kSubmitFailed = "Sorry - Submission failed!";

// "Submit new disc..." for a record not read from the database (revision below 0), else
// "Submit disc update...".
const char* submitMenuText(const DiscInfo& info);
// The question asked before sending.
std::string submitConfirmation(const DiscInfo& info);
// The first check the record fails, as the message to show; empty when it may be sent.
// Checked in order: the artist, the album title, the category, every row's name (empty, or
// still "Track 01" / "Track01" / "Data 01" in any letter case).
std::string submitCheck(const DiscInfo& info);

// Posts the xmcd record of `info` for `toc` to /~cddb/submit.cgi with the submission
// headers. Refuses without sending when the artist, the title, the category or a track
// name is missing. The record is sent with the next revision, which `info` keeps only when
// the server accepts it (an answer beginning with "200").
bool submitDisc(FreedbClient& client, const kyDiscToc& toc, DiscInfo& info);
