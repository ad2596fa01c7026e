#pragma once
// Reading encoder settings out of subformat texts ("CBR 128 kbit/s", "VBR Quality 90") and
// the rate and bit-rate tables they are fitted to.
#include <cstdint>
#include <span>
#include <string>

// The number that starts at character `at` of `text` (blanks skipped), or `fallback` when
// there is none.
uint32_t kyNumberAt(const std::string& text, size_t at, uint32_t fallback);
// The number after `prefix` when `text` starts with it, else `fallback`.
uint32_t kyNumberAfter(const std::string& text, const std::string& prefix, uint32_t fallback);

// The first value of an ascending table that is not below `value` (the last one when all
// are below).
uint32_t kyRaiseToTable(std::span<const uint32_t> table, uint32_t value);
// The same for sample rates.
inline uint32_t kyFirstRateNotBelow(std::span<const uint32_t> rates, uint32_t rate) {
    return kyRaiseToTable(rates, rate);
}
// The last value of an ascending table that is not above `value` (the first one when all
// are above).
uint32_t kyLastRateNotAbove(std::span<const uint32_t> rates, uint32_t value);
