// Times 8-byte messages between chosen pairs of a job's processes, as OSU's
// osu_latency times them: a warm-up, then many round trips back to back,
// half their mean. calibrate/measure.py runs it on a cluster's nodes, real
// or simulated alike, and builds a platform from what it prints.
//   midquad_probe pairs GROUPS CALLS REPEATS
//       GROUPS is a list of groups separated by "/", each of pairs "A-B"
//       joined by "+": the pairs of a group run at once, the groups one after
//       another, between barriers at which the others sleep. Each pair is timed
//       REPEATS times, CALLS round trips each. Rank 0 prints "pair A B US..." a
//       pair, one figure a repeat, then "host RANK NAME" a process.
//   midquad_probe first A-B CALLS
//       the first message between ranks A and B, which have not spoken
//       before, against CALLS warm ones. The lowest other rank starts them
//       together without a collective, which would connect them first.
//       Prints "first US US".
#include <mpi.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

const int bytes = 8;
const int warm_up = 10;

// round_trips: CALLS round trips between this rank and PEER, which this
// rank STARTS or answers. Returns the one-way time, in seconds.
double round_trips(int peer, bool starts, int calls) {
  char message[bytes] = {};
  const double t_start = MPI_Wtime();
  for (int i = 0; i < calls; ++i) {
    if (starts) {
      MPI_Send(message, bytes, MPI_CHAR, peer, 0, MPI_COMM_WORLD);
      MPI_Recv(message, bytes, MPI_CHAR, peer, 0, MPI_COMM_WORLD,
               MPI_STATUS_IGNORE);
    } else {
      MPI_Recv(message, bytes, MPI_CHAR, peer, 0, MPI_COMM_WORLD,
               MPI_STATUS_IGNORE);
      MPI_Send(message, bytes, MPI_CHAR, peer, 0, MPI_COMM_WORLD);
    }
  }
  return (MPI_Wtime() - t_start) / calls / 2;
}

// wait_turn: a barrier that sleeps while it waits, so that the ranks not
// being timed leave a node's cores to those that are: on a node of fewer
// cores than processes, ranks spinning in a barrier would take turns with
// the pair, a scheduler's time slice at a time.
void wait_turn() {
  MPI_Request request;
  MPI_Ibarrier(MPI_COMM_WORLD, &request);
  int done = 0;
  MPI_Test(&request, &done, MPI_STATUS_IGNORE);
  while (!done) {
    usleep(100);
    MPI_Test(&request, &done, MPI_STATUS_IGNORE);
  }
}

// groups: GROUPS's pairs, a list a group; empty where it is malformed or
// names a rank outside the job or twice in a group.
std::vector<std::vector<std::pair<int, int>>> groups(const char *text,
                                                     int Nproc) {
  std::vector<std::vector<std::pair<int, int>>> found(1);
  const char *p = text;
  while (*p) {
    char *end;
    const long a = std::strtol(p, &end, 10);
    if (end == p || *end != '-') {
      return {};
    }
    p = end + 1;
    const long b = std::strtol(p, &end, 10);
    if (end == p || a < 0 || b < 0 || a >= Nproc || b >= Nproc || a == b) {
      return {};
    }
    for (const auto &pair : found.back()) {
      if (pair.first == a || pair.second == a || pair.first == b ||
          pair.second == b) {
        return {};
      }
    }
    found.back().emplace_back(static_cast<int>(a), static_cast<int>(b));
    p = end;
    if (*p == '/') {
      found.emplace_back();
    } else if (*p != '+' && *p != '\0') {
      return {};
    }
    if (*p) {
      ++p;
    }
  }
  return found.back().empty() ? decltype(found){} : found;
}

int usage(int rank) {
  if (rank == 0) {
    std::fprintf(stderr, "usage: midquad_probe pairs A-B[+C-D][/E-F]... CALLS "
                         "REPEATS, or midquad_probe first A-B CALLS (3 or "
                         "more processes)\n");
  }
  MPI_Finalize();
  return 2;
}

} // namespace

int main(int argc, char *argv[]) {
  MPI_Init(&argc, &argv);
  int rank;
  int Nproc;
  MPI_Comm_rank(MPI_COMM_WORLD, &rank);
  MPI_Comm_size(MPI_COMM_WORLD, &Nproc);
  const std::string mode = argc > 1 ? argv[1] : "";

  if (mode == "first") {
    const auto pair =
        argc == 4 ? groups(argv[2], Nproc) : decltype(groups("", 0)){};
    const int calls = argc == 4 ? std::atoi(argv[3]) : 0;
    if (pair.size() != 1 || pair[0].size() != 1 || calls < 1 || Nproc < 3) {
      return usage(rank);
    }
    const int a = pair[0][0].first;
    const int b = pair[0][0].second;
    int referee = 0;
    while (referee == a || referee == b) {
      ++referee;
    }
    // The referee warms its own connections to A and B, then tells both to
    // go: they start within a message of each other, strangers still.
    char go = 0;
    if (rank == referee) {
      for (const int peer : {a, b}) {
        round_trips(peer, true, warm_up);
      }
      MPI_Send(&go, 1, MPI_CHAR, a, 1, MPI_COMM_WORLD);
      MPI_Send(&go, 1, MPI_CHAR, b, 1, MPI_COMM_WORLD);
    } else if (rank == a || rank == b) {
      const int peer = rank == a ? b : a;
      round_trips(referee, false, warm_up);
      MPI_Recv(&go, 1, MPI_CHAR, referee, 1, MPI_COMM_WORLD, MPI_STATUS_IGNORE);
      const double first = round_trips(peer, rank == a, 1);
      round_trips(peer, rank == a, warm_up);
      const double warm = round_trips(peer, rank == a, calls);
      if (rank == a) {
        std::printf("first %.3f %.3f\n", first * 1e6, warm * 1e6);
      }
    }
    MPI_Finalize();
    return 0;
  }

  const auto pairs = argc == 5 && mode == "pairs" ? groups(argv[2], Nproc)
                                                  : decltype(groups("", 0)){};
  const int calls = argc == 5 ? std::atoi(argv[3]) : 0;
  const int repeats = argc == 5 ? std::atoi(argv[4]) : 0;
  if (pairs.empty() || calls < 1 || repeats < 1) {
    return usage(rank);
  }
  // Each pair's figures, filled in by its first rank and summed onto rank 0.
  int count = 0;
  for (const auto &group : pairs) {
    count += static_cast<int>(group.size());
  }
  std::vector<double> mine(static_cast<size_t>(count) * repeats, 0.0);
  int index = 0;
  for (const auto &group : pairs) {
    wait_turn();
    for (const auto &pair : group) {
      if (rank == pair.first || rank == pair.second) {
        const int peer = rank == pair.first ? pair.second : pair.first;
        round_trips(peer, rank == pair.first, warm_up);
        for (int r = 0; r < repeats; ++r) {
          const double each = round_trips(peer, rank == pair.first, calls);
          if (rank == pair.first) {
            mine[static_cast<size_t>(index) * repeats + r] = each;
          }
        }
      }
      ++index;
    }
  }
  // The last pair's ranks still run: the others wait for them asleep, not
  // spinning in the reduction.
  wait_turn();
  std::vector<double> all(mine.size());
  MPI_Reduce(mine.data(), all.data(), static_cast<int>(mine.size()), MPI_DOUBLE,
             MPI_SUM, 0, MPI_COMM_WORLD);
  char name[MPI_MAX_PROCESSOR_NAME] = {};
  int length;
  MPI_Get_processor_name(name, &length);
  std::vector<char> names(
      rank == 0 ? static_cast<size_t>(Nproc) * MPI_MAX_PROCESSOR_NAME : 0);
  MPI_Gather(name, MPI_MAX_PROCESSOR_NAME, MPI_CHAR, names.data(),
             MPI_MAX_PROCESSOR_NAME, MPI_CHAR, 0, MPI_COMM_WORLD);
  if (rank == 0) {
    index = 0;
    for (const auto &group : pairs) {
      for (const auto &pair : group) {
        std::printf("pair %d %d", pair.first, pair.second);
        for (int r = 0; r < repeats; ++r) {
          std::printf(" %.3f",
                      all[static_cast<size_t>(index) * repeats + r] * 1e6);
        }
        std::printf("\n");
        ++index;
      }
    }
    for (int r = 0; r < Nproc; ++r) {
      std::printf("host %d %s\n", r,
                  &names[static_cast<size_t>(r) * MPI_MAX_PROCESSOR_NAME]);
    }
  }
  MPI_Finalize();
  return 0;
}
