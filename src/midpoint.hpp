// The numerical kernel: one process's share of the composite midpoint rule for
// the integral of 1/(1+x^2) over [0, 1]. Pure computation, no MPI.
#pragma once

constexpr int N = 100;     // subintervals of [0, 1]
constexpr double h = 0.01; // width of one subinterval
static_assert(h == 1.0 / N, "h must be the width of one of the N subintervals");

// h times the sum of 1/(1+x^2) at the midpoints of subintervals rank+1,
// rank+1+Nproc, rank+1+2*Nproc, ... up to N (counted from 1). The shares of
// ranks 0 ... Nproc-1 together cover every subinterval exactly once.
// Requires rank >= 0 and Nproc >= 1.
double midpoint_share(int rank, int Nproc);
