// Times one small-message MPI operation on the simulated cluster as published
// benchmarks time it on real ones.
//   BUILD/launch --measure NPROC OPERATION BYTES CALLS
// OPERATION is latency, barrier, reduce, allreduce or bcast; latency is half
// the round trip of a ping-pong between ranks 0 and 1; the collectives are
// timed on every rank, on MPI_COMM_WORLD. Rank 0 prints microseconds a call,
// two ways: as OSU's benchmarks report, many calls back to back, averaged per
// rank, then over the ranks; and as harnesses that time each call between
// barriers report, the slowest rank's time of each call, its median over the
// calls.
#include <mpi.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

int main(int argc, char *argv[]) {
  MPI_Init(&argc, &argv);
  int rank;
  int Nproc;
  MPI_Comm_rank(MPI_COMM_WORLD, &rank);
  MPI_Comm_size(MPI_COMM_WORLD, &Nproc);
  const char *operation = argc == 4 ? argv[1] : "";
  const int bytes = argc == 4 ? std::atoi(argv[2]) : 0;
  const int calls = argc == 4 ? std::atoi(argv[3]) : 0;
  const bool ping_pong = !std::strcmp(operation, "latency");
  const bool known = ping_pong || !std::strcmp(operation, "barrier") ||
                     !std::strcmp(operation, "reduce") ||
                     !std::strcmp(operation, "allreduce") ||
                     !std::strcmp(operation, "bcast");
  if (!known || bytes < 1 || calls < 1 || (ping_pong && Nproc < 2)) {
    if (rank == 0) {
      std::fprintf(
          stderr,
          "usage: measure latency|barrier|reduce|allreduce|bcast BYTES CALLS "
          "(latency: 2 or more processes)\n");
    }
    MPI_Finalize();
    return 2;
  }
  // Reductions add floats, as the benchmarks do; a message of fewer bytes
  // than a float carries one.
  const int floats = bytes < 4 ? 1 : bytes / 4;
  std::vector<char> message(bytes);
  std::vector<float> in(floats, 1.0f);
  std::vector<float> out(floats);
  auto call = [&] {
    if (!std::strcmp(operation, "barrier")) {
      MPI_Barrier(MPI_COMM_WORLD);
    } else if (!std::strcmp(operation, "reduce")) {
      MPI_Reduce(in.data(), out.data(), floats, MPI_FLOAT, MPI_SUM, 0,
                 MPI_COMM_WORLD);
    } else if (!std::strcmp(operation, "allreduce")) {
      MPI_Allreduce(in.data(), out.data(), floats, MPI_FLOAT, MPI_SUM,
                    MPI_COMM_WORLD);
    } else if (!std::strcmp(operation, "bcast")) {
      MPI_Bcast(message.data(), bytes, MPI_CHAR, 0, MPI_COMM_WORLD);
    } else if (rank == 0) {
      MPI_Send(message.data(), bytes, MPI_CHAR, 1, 0, MPI_COMM_WORLD);
      MPI_Recv(message.data(), bytes, MPI_CHAR, 1, 0, MPI_COMM_WORLD,
               MPI_STATUS_IGNORE);
    } else if (rank == 1) {
      MPI_Recv(message.data(), bytes, MPI_CHAR, 0, 0, MPI_COMM_WORLD,
               MPI_STATUS_IGNORE);
      MPI_Send(message.data(), bytes, MPI_CHAR, 0, 0, MPI_COMM_WORLD);
    }
  };
  // A ping-pong's time is a round trip, and only ranks 0 and 1 take part.
  auto one_way = [&](double time) {
    return !ping_pong ? time : rank < 2 ? time / 2 : 0.0;
  };
  call(); // connections and first-touch costs stay out of the average
  MPI_Barrier(MPI_COMM_WORLD);
  const double t_start = MPI_Wtime();
  for (int i = 0; i < calls; ++i) {
    call();
  }
  const double each = one_way((MPI_Wtime() - t_start) / calls);
  double sum = 0.0;
  MPI_Reduce(&each, &sum, 1, MPI_DOUBLE, MPI_SUM, 0, MPI_COMM_WORLD);
  // Between barriers, a call cannot overlap the next: a tree's leaves would
  // otherwise send the next call's message while the root still receives.
  std::vector<double> times(calls);
  for (double &time : times) {
    MPI_Barrier(MPI_COMM_WORLD);
    const double t_call = MPI_Wtime();
    call();
    time = one_way(MPI_Wtime() - t_call);
  }
  std::vector<double> slowest(calls);
  MPI_Reduce(times.data(), slowest.data(), calls, MPI_DOUBLE, MPI_MAX, 0,
             MPI_COMM_WORLD);
  if (rank == 0) {
    std::sort(slowest.begin(), slowest.end());
    const double median = (slowest[(calls - 1) / 2] + slowest[calls / 2]) / 2;
    const int timed = ping_pong ? 2 : Nproc;
    std::printf("%.3f %.3f\n", sum / timed * 1e6, median * 1e6);
  }
  MPI_Finalize();
  return 0;
}
