// The radix-2 FFT the analyses share (in place; the size a power of two).
#pragma once

#include <complex>
#include <vector>

namespace tidewell::tools {

// Forward (e^-i) or inverse (e^+i, not scaled) transform.
void fourierTransform(std::vector<std::complex<double>>& a, bool inverse = false);

}  // namespace tidewell::tools
