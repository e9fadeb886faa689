// The instruction set the library picks, and the cap the environment puts on
// it (the "isa." variants of the vector tests run with each cap).
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "kavri.h"

namespace {

#if defined(__aarch64__)
const std::vector<std::string> kOrder = {"baseline", "neon"};
#else
const std::vector<std::string> kOrder = {"baseline", "avx2", "avx512"};
#endif

int rank_of(const std::string &name) {
    for (size_t i = 0; i < kOrder.size(); ++i) {
        if (kOrder[i] == name) return static_cast<int>(i);
    }
    return -1;
}

TEST(Isa, ThePickIsAKnownNameAndNeverAboveTheCap) {
    const std::string picked = kavri_get_isa();
    ASSERT_GE(rank_of(picked), 0) << picked;
    EXPECT_EQ(picked, kavri_get_isa()) << "picked once";
    const char *cap = std::getenv("KAVRI_MAX_ISA");
    if (cap == nullptr || rank_of(cap) < 0) return;
    EXPECT_LE(rank_of(picked), rank_of(cap));
    // The baseline is always there, so a baseline cap is always met exactly.
    if (std::string(cap) == "baseline") {
        EXPECT_EQ(picked, "baseline");
    }
}

}  // namespace
