// What midquad costs without its computation, for the scaling benchmark:
// the same barrier, reduction and barrier around nothing, printed in the same
// format; with "empty" as its last argument, only the start and end of the
// library.
#include <mpi.h>

#include <cstdio>
#include <cstring>

int main(int argc, char *argv[]) {
  MPI_Init(&argc, &argv);
  const bool empty = argc > 1 && std::strcmp(argv[argc - 1], "empty") == 0;
  if (!empty) {
    int rank;
    int Nproc;
    MPI_Comm_rank(MPI_COMM_WORLD, &rank);
    MPI_Comm_size(MPI_COMM_WORLD, &Nproc);
    MPI_Barrier(MPI_COMM_WORLD);
    const double t_start = MPI_Wtime();
    double share = 0.0;
    double z = 0.0;
    MPI_Reduce(&share, &z, 1, MPI_DOUBLE, MPI_SUM, 0, MPI_COMM_WORLD);
    MPI_Barrier(MPI_COMM_WORLD);
    const double t_end = MPI_Wtime();
    if (rank == 0) {
      std::printf("N= 0, Nproc=%d, z = %lf, Time=%lf \n", Nproc, z,
                  t_end - t_start);
      std::fflush(stdout);
    }
  }
  MPI_Finalize();
  return 0;
}
