#pragma once
// Making quantizers, and the process-wide default kind the batch runner sets before a run.
#include "core/quantizer.h"
#include <cstdint>
#include <memory>

// Kinds: 0 plain rounding, 1 rectangular dither, 2 triangular dither, 3 noise-shaped
// dither; 999 means the current default kind.
constexpr uint32_t KY_QUANTIZER_DEFAULT_KIND = 999;

// Null for an unsupported bit depth (31, above 32) or when allocation fails.
std::unique_ptr<kyQuantizer> kyCreateQuantizer(uint32_t bits, uint32_t kind, uint32_t channels,
                                               uint32_t sampleRate);

void kySetDefaultQuantizerKind(uint32_t kind);
uint32_t kyGetDefaultQuantizerKind();

// The default kind for writers run on the calling thread only (an encoder worker runs the
// file read a while ago, while the reading thread has set the default for the next file).
// KY_QUANTIZER_DEFAULT_KIND goes back to the process-wide default.
void kySetThreadQuantizerKind(uint32_t kind);
