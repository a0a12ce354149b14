// Checks the vertical-blank events a client took as they came: a client the
// machine starves may miss blanks, as it would on real hardware, but it never
// sees one twice or out of order, each step's time is its number of blanks
// times the period, and most steps are one blank (unless the build is known
// to be too slow for that: most_single false).
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

inline void expect_blank_steps(const std::vector<uint64_t> &sequence, const std::vector<uint64_t> &time_ns,
                               double period_ns, bool most_single = true)
{
    ASSERT_EQ(sequence.size(), time_ns.size());
    size_t single = 0;
    for (size_t i = 1; i < sequence.size(); ++i) {
        ASSERT_GT(sequence[i], sequence[i - 1]) << "at " << i;
        ASSERT_GT(time_ns[i], time_ns[i - 1]) << "at " << i;
        const uint64_t blanks = sequence[i] - sequence[i - 1];
        EXPECT_NEAR(double(time_ns[i] - time_ns[i - 1]), double(blanks) * period_ns, 1e6) << "at " << i;
        single += blanks == 1;
    }
    if (most_single) {
        EXPECT_GE(2 * single, sequence.size() - 1) << "most events follow the blank before";
    }
}
