#pragma once
// AccurateRip in a batch: the disc's record asked for once before the batch, and each
// file's tracks judged against it from the checksums its read took.
#include "app/rip_settings.h"
#include "cd/accuraterip_tap.h"
#include "job/file_record.h"
#include "metadata/accuraterip_client.h"

#include <functional>

// The disc's record from settings.szAccurateRipServer (bAccurateRip off: state Skipped),
// with iAccurateRipTimeout for connecting and for each answer. `keepGoing` may cancel.
kyAccurateRipRecord kyLookUpAccurateRip(const RipSettings& settings, const kyDiscToc& toc,
                                        std::function<bool()> keepGoing = {});

// The checksums of the tracks of `record`'s range that the tap saw, each with the
// database's verdict, into record.accurateRip.
void kyJudgeTracks(const kyAccurateRipRecord& database, const kyAccurateRipTap& tap,
                   const kyDiscToc& toc, kyFileRecord& record);

// Every track of the file confirmed by the database: the file is whole disc tracks, each
// of them matched, nothing in it left unconfirmed by the read, and a test pass (if any)
// read the same.
bool kyTracksConfirmed(const kyFileRecord& record);

// A track the database contradicts (a mismatch) is suspect unless the read confirmed it
// itself (scratch correcting, no suspect sector): its sectors join record.suspect.
void kyMarkContradictedTracks(const kyDiscToc& toc, kyFileRecord& record);

// "Accurately ripped (confidence 12)", "Not present in the AccurateRip database", ...: one
// track's verdict for the log.
std::string kyAccurateRipVerdictText(const kyAccurateRipTrackVerdict& verdict);
