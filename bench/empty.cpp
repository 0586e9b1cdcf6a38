// A job that only starts and ends the MPI library.
#include <mpi.h>

int main(int argc, char *argv[]) {
  MPI_Init(&argc, &argv);
  MPI_Finalize();
  return 0;
}
