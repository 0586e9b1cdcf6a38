// What a real job's first barrier and reduction cost beside the same calls
// repeated warm: the program's timed part, run 1000 times in one job. Rank 0
// prints the first Time and the median of the others, in microseconds.
#include <mpi.h>

#include <algorithm>
#include <cstdio>
#include <vector>

#include "midpoint.hpp"

int main(int argc, char *argv[]) {
  MPI_Init(&argc, &argv);
  int rank;
  int Nproc;
  MPI_Comm_rank(MPI_COMM_WORLD, &rank);
  MPI_Comm_size(MPI_COMM_WORLD, &Nproc);
  const int calls = 1000;
  std::vector<double> times;
  for (int i = 0; i < calls; ++i) {
    MPI_Barrier(MPI_COMM_WORLD);
    const double t_start = MPI_Wtime();
    double share = midpoint_share(rank, Nproc);
    double z = 0.0;
    MPI_Reduce(&share, &z, 1, MPI_DOUBLE, MPI_SUM, 0, MPI_COMM_WORLD);
    MPI_Barrier(MPI_COMM_WORLD);
    times.push_back(MPI_Wtime() - t_start);
  }
  if (rank == 0) {
    const double first = times[0];
    auto middle = times.begin() + 1 + (calls - 1) / 2;
    std::nth_element(times.begin() + 1, middle, times.end());
    std::printf("%.1f %.1f\n", first * 1e6, *middle * 1e6);
  }
  MPI_Finalize();
  return 0;
}
