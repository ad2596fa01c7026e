#pragma once
// xmcd records, the text form in which the CDDB databases hand out and take in a disc's
// names: "# " comment lines, then KEY=value lines (DISCID, DTITLE, DYEAR, DGENRE, TTITLEn,
// EXTD, EXTTn, PLAYORDER). A long value is spread over several lines of the same key;
// "\n", "\t" and "\\" stand for a line break, a TAB and a backslash.
#include "cd/disc_toc.h"
#include "metadata/disc_info.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// Fills `info` from an xmcd record, which must begin with "# xmcd" (any letter case). Keys
// compare without regard to letter case. The lines of one key are joined before the
// escapes are undone, so neither an escape nor a UTF-8 character can be torn apart; a
// value that is not valid UTF-8 is read as Windows-1252. Every key present replaces its
// field: DTITLE "Artist / Title" gives both (without " / " only the artist), TTITLEn and
// EXTTn name row n of the rows `info` already has (other indices are ignored), "# Revision:"
// sets the revision (0 when absent). Fields the record does not name keep their values.
// False with a message (and `info` untouched) when the text is not an xmcd record.
bool discInfoFromXmcd(std::string_view text, DiscInfo& info, std::string& error);

// The frame offsets listed in the record's "# Track frame offsets:" comment (empty when
// it has none), to tell whether a record belongs to a disc.
std::vector<uint32_t> xmcdFrameOffsets(std::string_view text);

// The xmcd record of `info` for the disc `toc`, every line ending in CR LF: the frame
// offsets, the disc length, `revision` and "Submitted via: `submitter`" as comments; then
// DISCID, DTITLE "artist / title", DYEAR (empty when there is no year), DGENRE, TTITLEn for
// each track of `toc`, EXTD, EXTTn and an empty PLAYORDER.
std::string xmcdRecord(const DiscInfo& info, const kyDiscToc& toc, int32_t revision,
                       std::string_view submitter);

// A value in its escaped form: backslash doubled, a line break (CR LF, LF CR, a lone LF or
// CR) as "\n", a TAB as "\t", any other control character as a space.
std::string xmcdEscape(std::string_view value);
// The reverse: "\n" gives CR LF, "\t" a TAB, "\\" a backslash; any other backslash stays.
std::string xmcdUnescape(std::string_view value);
// Appends KEY=value lines for one value, escaped and cut between characters and escapes
// so that no line exceeds 253 bytes before its CR LF; an empty value gives one line.
void appendXmcdLines(std::string& out, std::string_view key, std::string_view value);
