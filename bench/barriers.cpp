// Back-to-back barriers of one process, for bench/timeline: run with and
// without the recording library, the difference per call is what recording
// adds to each MPI call. Prints nanoseconds per call.
#include <mpi.h>

#include <chrono>
#include <cstdio>

int main(int argc, char *argv[]) {
  MPI_Init(&argc, &argv);
  const int calls = 4000; // the record holds 4096 calls
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < calls; ++i) {
    MPI_Barrier(MPI_COMM_WORLD);
  }
  const std::chrono::duration<double, std::nano> took =
      std::chrono::steady_clock::now() - start;
  std::printf("%.1f\n", took.count() / calls);
  MPI_Finalize();
  return 0;
}
