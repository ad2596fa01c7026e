#pragma once
// ITU-T G.711 mu-law and A-law, to and from 16-bit linear samples.
#include <cstdint>

uint8_t kyLinearToMuLaw(int32_t pcm16);
uint8_t kyLinearToALaw(int32_t pcm16);
int16_t kyMuLawToLinear(uint8_t code);
int16_t kyALawToLinear(uint8_t code);
