# shellcheck shell=bash
# What midquad needs, in one place: the packages that each command asks for,
# and how the missing ones are installed. The quick start and CI (.ci/run)
# source this file.

# A line a package: its system (debian, fedora, macos), its name, whether
# what asks for it cannot do without it (required) or leaves out what it
# enables (optional), what asks for it, and what it enables. What asks:
#   build                    every build
#   mpich, openmpi, smpi     a build with that MPI
#   test, timeline, package  ./quickstart test, timeline and package
#   ci-STAGE                 a stage of .ci/run
dependency_table() {
  cat <<'EOF'
debian cmake            required build
debian make             required build
debian g++              required build
debian lld              optional build     a one-process Time without a page fault in it
debian libgtest-dev     optional build     the kernel's unit tests
debian mpich            required mpich
debian libmpich-dev     required mpich
debian openmpi-bin      required openmpi
debian libopenmpi-dev   required openmpi
debian libsimgrid-dev   required smpi
debian python3          required smpi      simulated jobs: their platforms and host files
debian python3          required timeline  the drawing
debian python3          optional test      the tests of the launcher, the models and the timeline
debian gnuplot-nox      required timeline  the picture
debian gnuplot-nox      optional test      the timeline's tests
debian pajeng           required timeline  a simulated job's trace, read
debian pajeng           optional test      the timeline's and the simulated models' tests
debian dpkg-dev         required package
debian file             required package
debian nodejs           required ci-docs
debian npm              required ci-docs
debian clang-format     required ci-format
debian clang            required ci-clang,ci-cross
debian lintian          required ci-packages
debian devscripts       required ci-packages,ci-trixie
debian git              required ci-packages
debian qemu-user-static required ci-cross
debian googletest       required ci-cross
debian g++-aarch64-linux-gnu     required ci-cross
debian g++-powerpc64le-linux-gnu required ci-cross
debian g++-s390x-linux-gnu       required ci-cross
debian g++-riscv64-linux-gnu     required ci-cross
debian g++-i686-linux-gnu        required ci-cross
debian debootstrap      required ci-trixie
debian datamash         required ci-bench
debian time             required ci-bench
fedora cmake            required build
fedora make             required build
fedora gcc-c++          required build
fedora gtest-devel      optional build     the kernel's unit tests
fedora mpich-devel      required mpich
fedora openmpi-devel    required openmpi
macos  cmake            required build
macos  googletest       optional build     the kernel's unit tests
macos  mpich            required mpich
macos  open-mpi         required openmpi
EOF
}

# packages SYSTEM ASKING...: the packages of SYSTEM that any of ASKING asks
# for, each once, in the table's order.
#   example: packages debian build mpich test
packages() {
  local system=$1
  shift
  dependency_table | awk -v os="$system" -v asking=" $* " '
    $1 == os {
      n = split($4, askers, ",")
      for (i = 1; i <= n; i++)
        if (index(asking, " " askers[i] " ") && !seen[$2]++) print $2
    }'
}

# install_missing PACKAGE...: installs those of Debian's PACKAGEs that are
# not installed, through sudo unless root; without sudo, says what root
# must run and fails.
#   example: install_missing $(packages debian build mpich)
install_missing() {
  local package missing=() sudo=()
  for package in "$@"; do
    dpkg-query -W -f='${Status}\n' "$package" 2>/dev/null |
      grep -q 'install ok installed' || missing+=("$package")
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
