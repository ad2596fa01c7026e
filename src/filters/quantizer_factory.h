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
