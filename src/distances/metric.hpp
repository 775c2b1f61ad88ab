// The distances between two trees that the kernels and the split-table queries compute.
#pragma once

namespace kestrilune {

// Rf: Robinson-Foulds, the number of splits found in exactly one of the two trees. Wrf:
// weighted Robinson-Foulds, the sum of absolute branch-length differences over all splits.
// Kf: the Kuhner-Felsenstein branch score, the square root of the sum of their squares.
enum class Metric { Rf, Wrf, Kf };

}  // namespace kestrilune
