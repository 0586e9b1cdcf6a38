// Records the MPI calls of an unmodified program, for its timeline: loaded at
// launch (LD_PRELOAD), it defines the MPI functions that the program calls and
// passes each on to its PMPI twin, as the MPI standard's profiling interface
// allows. Each rank writes MIDQUAD_RECORD_DIR/rank-RANK.rec at MPI_Finalize:
//   record 1 RANK NPROC HOST      the first line
//   call NAME START END           a call, in nanoseconds of CLOCK_MONOTONIC
//   wtime VALUE AT                a value MPI_Wtime gave the program, and when
//   end                           the last line: the record is whole
// CLOCK_MONOTONIC is one clock for every rank on a host; MPI_Wtime may not be
// (Open MPI's starts at each process's MPI_Init), and MPICH's may not be read
// before MPI_Init has returned. Nothing is written before MPI_Finalize, so
// that recording costs the timed calls only two clock readings each. A rank
// that cannot write its whole record says why and exits with status 1.
#include <mpi.h>

#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

struct Entry {
  const char *name; // nullptr for an MPI_Wtime value
  long long start;
  long long end;
  double value;
};

Entry entries[4096];
int recorded = 0;
int dropped = 0;

long long now() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t.tv_sec * 1000000000LL + t.tv_nsec;
}

void add(const char *name, long long start, long long end, double value = 0.0) {
  if (recorded == static_cast<int>(sizeof entries / sizeof entries[0])) {
    ++dropped;
    return;
  }
  entries[recorded++] = {name, start, end, value};
}

[[noreturn]] void fail(const char *what, const char *path) {
  std::fprintf(stderr, "midquad record: %s %s: %s\n", what, path,
               std::strerror(errno));
  std::exit(1);
}

// Writes the record into a file that did not exist before: a name that
// already stands in the folder, even a link, is an error, not a target.
void write_record(int rank, int Nproc) {
  const char *folder = std::getenv("MIDQUAD_RECORD_DIR");
  if (folder == nullptr || *folder == '\0') {
    std::fprintf(
        stderr,
        "midquad record: MIDQUAD_RECORD_DIR names no folder to record into\n");
    std::exit(1);
  }
  char path[4096];
  std::snprintf(path, sizeof path, "%s/rank-%d.rec", folder, rank);
  const int fd =
      open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (fd < 0) {
    fail("cannot create", path);
  }
  FILE *out = fdopen(fd, "w");
  if (out == nullptr) {
    fail("cannot write", path);
  }
  char host[256] = "unknown";
  gethostname(host, sizeof host - 1);
  std::fprintf(out, "record 1 %d %d %s\n", rank, Nproc, host);
  for (int i = 0; i < recorded; ++i) {
    if (entries[i].name != nullptr) {
      std::fprintf(out, "call %s %lld %lld\n", entries[i].name,
                   entries[i].start, entries[i].end);
    } else {
      std::fprintf(out, "wtime %.17g %lld\n", entries[i].value,
                   entries[i].start);
    }
  }
  if (dropped == 0) {
    std::fprintf(out, "end\n");
  }
  if (std::fflush(out) != 0 || fsync(fd) != 0 || std::ferror(out) ||
      std::fclose(out) != 0) {
    fail("cannot write", path);
  }
  if (dropped != 0) {
    std::fprintf(
        stderr,
        "midquad record: %d calls past the first %d were not recorded\n",
        dropped, recorded);
    std::exit(1);
  }
}

int world_rank = -1;
int world_size = 0;

void note_world() {
  PMPI_Comm_rank(MPI_COMM_WORLD, &world_rank);
  PMPI_Comm_size(MPI_COMM_WORLD, &world_size);
}

} // namespace

extern "C" {

int MPI_Init(int *argc, char ***argv) {
  const long long start = now();
  const int status = PMPI_Init(argc, argv);
  add("MPI_Init", start, now());
  note_world();
  return status;
}

int MPI_Init_thread(int *argc, char ***argv, int required, int *provided) {
  const long long start = now();
  const int status = PMPI_Init_thread(argc, argv, required, provided);
  add("MPI_Init", start, now());
  note_world();
  return status;
}

int MPI_Barrier(MPI_Comm comm) {
  const long long start = now();
  const int status = PMPI_Barrier(comm);
  add("MPI_Barrier", start, now());
  return status;
}

int MPI_Reduce(const void *sendbuf, void *recvbuf, int count,
               MPI_Datatype datatype, MPI_Op op, int root, MPI_Comm comm) {
  const long long start = now();
  const int status =
      PMPI_Reduce(sendbuf, recvbuf, count, datatype, op, root, comm);
  add("MPI_Reduce", start, now());
  return status;
}

double MPI_Wtime(void) {
  const double value = PMPI_Wtime();
  const long long at = now();
  add(nullptr, at, at, value);
  return value;
}

int MPI_Finalize(void) {
  const long long start = now();
  const int status = PMPI_Finalize();
  add("MPI_Finalize", start, now());
  write_record(world_rank, world_size);
  return status;
}

} // extern "C"
