#pragma once
// In-place radix-2 FFT for spectral checks in tests. The size must be a power of two.
#include <complex>
#include <vector>

namespace kytest {

void fft(std::vector<std::complex<double>>& a);

} // namespace kytest
