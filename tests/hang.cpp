// A job that never ends: every process spins after starting the MPI library.
#include <mpi.h>

int main(int argc, char *argv[]) {
  MPI_Init(&argc, &argv);
  for (volatile bool spinning = true; spinning;) {
  }
  MPI_Finalize();
  return 0;
}
