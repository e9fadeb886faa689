// Small helpers shared by the vector, matrix and quaternion functions.
#pragma once

#include <array>
#include <cstddef>
#include <cstdlib>

namespace kavri::geom {

template <size_t N>
using Values = std::array<double, N>;

// A zero-filled object from the general heap (released with free()); NULL when
// memory is short.
template <size_t N>
double *allocate() {
    return static_cast<double *>(std::calloc(N, sizeof(double)));
}

template <size_t N>
Values<N> load(const double *src) {
    Values<N> v{};
    for (size_t i = 0; i < N; ++i) v[i] = src[i];
    return v;
}

// Writes a result computed into a temporary, so the destination may alias an operand.
template <size_t N>
double *store(const Values<N> &v, double *dest) {
    for (size_t i = 0; i < N; ++i) dest[i] = v[i];
    return dest;
}

// The destination of an operation: dest, or the first operand when dest is NULL.
inline double *target(double *dest, double *first) {
    return dest != nullptr ? dest : first;
}

// The destination of a constructor or conversion: dest, or a new object.
template <size_t N>
double *target_or_new(double *dest) {
    return dest != nullptr ? dest : allocate<N>();
}

}  // namespace kavri::geom
