#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <initializer_list>

#include "midpoint.hpp"

namespace {

// Shares computed apart from this program, with Python's IEEE-754 doubles and
// the same order of operations:
//   def share(rank, Nproc):
//       total, i = 0.0, rank + 1
//       while i <= 100:
//           x = (i - 0.5) * 0.01
//           total += 1.0 / (x * x + 1.0)
//           i += Nproc
//       return total * 0.01
// A fused x*x + 1.0 changes Nproc=3 rank 0 and Nproc=12 ranks 1 and 7;
// scaling each term by h, or adding in another order, changes most of them.
struct Reference {
  int Nproc;
  int rank;
  double share;
};
// clang-format off
const Reference references[] = {
    {1, 0, 0x1.921ffb2bf5445p-1},
    {2, 0, 0x1.9367ae7ec431cp-2},
    {2, 1, 0x1.90d847d926568p-2},
    {3, 0, 0x1.113357037856fp-2},
    {3, 1, 0x1.0a5fb1ecbd79cp-2},
    {3, 2, 0x1.08aced67b4b7ep-2},
    {7, 0, 0x1.e2fa6886f69f0p-4},
    {7, 1, 0x1.dffb1f7765faep-4},
    {7, 2, 0x1.c8933dbea3a5cp-4},
    {7, 3, 0x1.c5b8812b6c476p-4},
    {7, 4, 0x1.c2d620d210c6cp-4},
    {7, 5, 0x1.bfec7cbe4aeb5p-4},
    {7, 6, 0x1.bcfbf4e6e1e8cp-4},
    {12, 0, 0x1.232c5230b82e5p-4},
    {12, 1, 0x1.216b6447a4f62p-4},
    {12, 2, 0x1.1fa5752d61408p-4},
    {12, 3, 0x1.1ddabcac0e1a4p-4},
    {12, 4, 0x1.07aab78b73c10p-4},
    {12, 5, 0x1.060afbc2ef0f8p-4},
    {12, 6, 0x1.0466988dbd47cp-4},
    {12, 7, 0x1.02bdc627af514p-4},
    {12, 8, 0x1.0110bccb98712p-4},
    {12, 9, 0x1.febf6946bb964p-5},
    {12, 10, 0x1.fb55cb705bbd2p-5},
    {12, 11, 0x1.f7e50fc5d43c3p-5},
    {INT_MAX, 0, 0x1.47abfb9f5cc75p-7},
    {INT_MAX, 99, 0x1.49528f1830161p-8},
    {INT_MAX, 100, 0.0},
    {INT_MAX, INT_MAX - 1, 0.0},
};
// clang-format on

// The composite midpoint rule overshoots pi/4 by about h^2/48 (for this
// integrand the h^4 term is below 1e-11).
const double one_process = 0x1.921ffb2bf5445p-1;

TEST(MidpointShare, MatchesReferenceBitForBit) {
  for (const Reference &ref : references) {
    EXPECT_EQ(midpoint_share(ref.rank, ref.Nproc), ref.share)
        << "Nproc=" << ref.Nproc << " rank=" << ref.rank;
  }
}

TEST(MidpointShare, OneProcessIsPiOverFourPlusTheRuleError) {
  const double pi = std::acos(-1.0);
  EXPECT_NEAR(midpoint_share(0, 1), pi / 4 + h * h / 48, 1e-10);
  EXPECT_NEAR(midpoint_share(0, 1), 0.785400, 5e-7); // prints as 0.785400
}

TEST(MidpointShare, SharesCoverEverySubintervalOnce) {
  for (int Nproc : {1, 2, 3, 4, 5, 6, 7, 8, 99, 100, 101, 1000}) {
    double total = 0.0;
    for (int rank = 0; rank < Nproc; ++rank) {
      const double share = midpoint_share(rank, Nproc);
      if (rank >= N) {
        EXPECT_EQ(share, 0.0) << "Nproc=" << Nproc << " rank=" << rank;
      } else {
        EXPECT_GT(share, 0.0) << "Nproc=" << Nproc << " rank=" << rank;
      }
      total += share;
    }
    // Rounding in the last bits only: a lost or doubled term is over 5e-5.
    EXPECT_NEAR(total, one_process, 1e-14) << "Nproc=" << Nproc;
  }
}

} // namespace
