#pragma once
// The processing stages a rip or a conversion puts between its source and its writer.
#include "app/rip_settings.h"
#include <cstdint>

class kySourceFilter;
class kySinkFilter;

// With `source` already connected to `writer` (and any channel broker in between), inserts
// what the settings ask for, one stage at a time directly below the source or directly
// above the writer, giving
//   source → silence removal → resampler → channel broker → trim → writer.
// The progress filter, inserted below the source afterwards, comes first; a normalize stage
// goes directly above the writer. Returns the sample rate the writer receives.
uint32_t kyInsertProcessingStages(kySourceFilter& source, kySinkFilter& writer,
                                  const RipSettings& settings, uint32_t sourceRate);
