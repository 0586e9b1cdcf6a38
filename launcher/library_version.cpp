// Prints the MPI library's version string, for the configure step to name
// the MPI that the program is built with.
#include <mpi.h>

#include <cstdio>

int main(int argc, char **argv) {
  MPI_Init(&argc, &argv);
  char version[MPI_MAX_LIBRARY_VERSION_STRING];
  int length = 0;
  MPI_Get_library_version(version, &length);
  std::printf("%s\n", version);
  MPI_Finalize();
  return 0;
}
