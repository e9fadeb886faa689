// Helpers for the geometry tests.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdlib>
#include <memory>

// Owner of an object the geometry functions allocated with malloc.
struct FreeDeleter {
    void operator()(double *p) const { std::free(p); }
};
using Owned = std::unique_ptr<double, FreeDeleter>;

inline void expect_values(const double *got, const double *want, size_t n, double tol = 1e-12) {
    ASSERT_NE(got, nullptr);
    for (size_t i = 0; i < n; ++i) EXPECT_NEAR(got[i], want[i], tol) << "element " << i;
}
