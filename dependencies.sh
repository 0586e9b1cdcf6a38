# shellcheck shell=bash
# What midquad needs, in one place: the packages that each command asks for,
# and how the missing ones are installed. The quick start and CI (.ci/run)
# source this file.

# A line a package: its system (debian, fedora, macos), its name, what shows
# that it is there however it came (a command on the PATH; - where the build
# looks for it itself), whether what asks for it cannot do without it
# (required) or leaves out what it enables (optional), what asks for it, and
# what it enables. What asks:
#   build                    every build
#   mpich, openmpi, smpi     a build with that MPI
#   test, timeline, package, calibrate, check
#                            ./quickstart test, timeline, package,
#                            calibrate and check
#   ci-STAGE                 a stage of .ci/run
dependency_table() {
  cat <<'EOF'
debian cmake            cmake            required build
debian make             make             required build
debian g++              c++              required build
debian lld              ld.lld           optional build     a one-process Time without a page fault in it
debian libgtest-dev     -                optional build     the kernel's unit tests
debian mpich            mpiexec.mpich    required mpich
debian libmpich-dev     mpicxx.mpich     required mpich
debian openmpi-bin      mpiexec.openmpi  required openmpi
debian libopenmpi-dev   mpicxx.openmpi   required openmpi
debian libsimgrid-dev   smpicxx          required smpi
debian python3          python3          required smpi      simulated jobs: their platforms and host files
debian python3          python3          required timeline  the drawing
debian python3          python3          required calibrate the measurements, and the platform made of them
debian python3          python3          required check     the jobs, and their predictions
debian pajeng           pj_dump          required check     the predictions' traces, read
debian python3          python3          optional test      the tests of the launcher, the models, the timeline and the ReFrame check
debian gnuplot-nox      gnuplot          required timeline  the picture
debian gnuplot-nox      gnuplot          optional test      the timeline's tests
debian pajeng           pj_dump          required timeline  a simulated job's trace, read
debian pajeng           pj_dump          optional test      the timeline's and the simulated models' tests
debian lmod             -                required ci-cluster
debian dpkg-dev         dpkg-buildflags  required package
debian file             file             required package
debian nodejs           -                required ci-docs
debian npm              -                required ci-docs
debian clang-format     -                required ci-format
debian shellcheck       -                required ci-format
debian clang            -                required ci-clang,ci-cross
debian lintian          -                required ci-packages
debian devscripts       -                required ci-packages,ci-trixie
debian git              -                required ci-packages
debian qemu-user-static -                required ci-cross
debian googletest       -                required ci-cross
debian g++-aarch64-linux-gnu     -       required ci-cross
debian g++-powerpc64le-linux-gnu -       required ci-cross
debian g++-s390x-linux-gnu       -       required ci-cross
debian g++-riscv64-linux-gnu     -       required ci-cross
debian g++-i686-linux-gnu        -       required ci-cross
debian debootstrap      -                required ci-trixie
debian datamash         -                required ci-bench
debian time             -                required ci-bench
fedora cmake            cmake            required build
fedora make             make             required build
fedora gcc-c++          c++              required build
fedora gtest-devel      -                optional build     the kernel's unit tests
fedora mpich-devel      -                required mpich
fedora openmpi-devel    -                required openmpi
macos  cmake            cmake            required build
macos  googletest       -                optional build     the kernel's unit tests
macos  mpich            -                required mpich
macos  open-mpi         -                required openmpi
EOF
}

# packages SYSTEM ASKING...: the packages of SYSTEM that any of ASKING asks
# for, each once, in the table's order.
#   example: packages debian build mpich test
packages() {
  local system=$1
  shift
  table_rows "$system" "" "$@" | awk '!seen[$1]++ { print $1 }'
}

# table_rows SYSTEM NEED ASKING...: the rows of SYSTEM that any of ASKING
# asks for with NEED (required or optional; empty for either), tab-separated
# and without their system: package, what shows it, need, what it enables.
table_rows() {
  local system=$1 need=$2
  shift 2
  dependency_table | awk -v os="$system" -v need="$need" -v asking=" $* " '
    $1 == os && (need == "" || $4 == need) {
      n = split($5, askers, ",")
      for (i = 1; i <= n; i++)
        if (index(asking, " " askers[i] " ")) {
          enables = $0
          if (!sub(/^[^ ]+ +[^ ]+ +[^ ]+ +[^ ]+ +[^ ]+ +/, "", enables)) enables = ""
          print $2 "\t" $3 "\t" $4 "\t" enables
          break
        }
    }'
}

# absent NEED ASKING...: the Debian packages that any of ASKING asks for
# with NEED and that are not there, whether from Debian or from elsewhere (a
# module, a prefix on the PATH): a line each, the package and what it
# enables. Of a package that the build looks for itself only Debian can
# tell; elsewhere it counts as there, and the build says what it leaves out.
#   example: absent required build mpich
absent() {
  local need=$1 package shows enables
  shift
  table_rows debian "$need" "$@" | while IFS=$'\t' read -r package shows _ enables; do
    if [ "$shows" = - ]; then
      ! command -v dpkg-query >/dev/null || installed "$package" ||
        printf '%s\t%s\n' "$package" "$enables"
    elif ! on_path "$shows"; then
      printf '%s\t%s\n' "$package" "$enables"
    fi
  done | awk -F '\t' '!seen[$1]++'
}

# on_path COMMAND: whether COMMAND is there; for c++, the compiler that
# CMake takes, CXX's if it is set.
on_path() {
  if [ "$1" = c++ ] && [ -n "${CXX:-}" ]; then
    set -- "${CXX%% *}"
  fi
  command -v "$1" >/dev/null
}

# installed PACKAGE: whether Debian has PACKAGE installed.
installed() {
  dpkg-query -W -f='${Status}\n' "$1" 2>/dev/null | grep -q 'install ok installed'
}

# install_missing PACKAGE...: installs those of Debian's PACKAGEs that are
# not installed, through sudo unless root; without sudo, says what root
# must run and fails.
#   example: install_missing $(packages debian build mpich)
install_missing() {
  local package missing=() sudo=()
  for package in "$@"; do
    installed "$package" || missing+=("$package")
  done
  [ ${#missing[@]} -gt 0 ] || return 0
  echo "${0##*/}: installing ${missing[*]}" >&2
  if [ "$(id -u)" -ne 0 ]; then
    command -v sudo >/dev/null || {
      echo "${0##*/}: as root, run: apt-get install ${missing[*]}" >&2
      return 1
    }
    sudo=(sudo)
  fi
  # The package lists are read once a run.
  [ -n "${apt_updated:-}" ] || ${sudo[@]+"${sudo[@]}"} apt-get update -q >&2
  apt_updated=yes
  ${sudo[@]+"${sudo[@]}"} env DEBIAN_FRONTEND=noninteractive apt-get install -y -q \
    --no-install-recommends "${missing[@]}" >&2
}
