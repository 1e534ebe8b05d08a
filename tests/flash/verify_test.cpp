#include <gtest/gtest.h>

#include <vector>

#include "tools/qdm7-flash/run/verify.h"

namespace {

using Blocks = std::vector<std::int32_t>;

// Three blocks; the shifted partition's four ranges are the first half
// block, the two that straddle blocks 0|1 and 1|2, and the last half block.
TEST(DifferingBlocks, NamesWhatTheBlockCrcsSawAndWhatOnlyTheShiftedOnesDid)
{
    EXPECT_EQ(differing_blocks({true, true, true}, {true, true, true, true}), Blocks{});
    // Block 1 differs: its own range and both straddling ranges say so; only
    // block 1 is named.
    EXPECT_EQ(differing_blocks({true, false, true}, {true, false, false, true}), Blocks{1});
    // A difference the block CRCs missed, in the range over blocks 0 and 1:
    // both are named. At either end, the half block's one block.
    EXPECT_EQ(differing_blocks({true, true, true}, {true, false, true, true}), (Blocks{0, 1}));
    EXPECT_EQ(differing_blocks({true, true, true}, {false, true, true, false}), (Blocks{0, 2}));
}

} // namespace
