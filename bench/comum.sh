# Sourced by the benchmarks, from the project's root: what several need.

# rsync, installed when missing and root may; without it the benchmark is
# skipped (exit 0).
exigir_rsync() {
  if ! command -v rsync > /dev/null; then
    if [ "$(id -u)" = 0 ] && command -v apt-get > /dev/null; then
      echo "installing rsync" >&2
      { apt-get update && DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends rsync; } \
        > /dev/null 2>&1 || true
    fi
    if ! command -v rsync > /dev/null; then
      echo "rsync is not installed and could not be: benchmark skipped" >&2
      exit 0
    fi
  fi
}

# The release binaries: B (the bench programs), AGENTE (AGENT when given), VORNACLI.
compilar_release() {
  cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=Release -DVORNA_TESTS=OFF > /dev/null
  cmake --build build-release -j2 > /dev/null
  B=build-release/bench
  AGENTE=${AGENT:-$PWD/build-release/AgenteLinuxVorna}
  VORNACLI=$PWD/build-release/vornacli
}

# Whether a target can have a file system of its own: root and loop devices.
disco_proprio_possivel() {
  [ "$(id -u)" = 0 ] && command -v mkfs.ext4 > /dev/null && command -v losetup > /dev/null &&
    [ -e /dev/loop-control ]
}

# montar_disco_novo IMAGE DIR SIZE: a new ext4 in IMAGE, on a loop device
# with direct I/O (the machine's own disk would hide the cost of flushes),
# mounted at DIR. Prints the device.
montar_disco_novo() {
  local dispositivo
  rm -f "$1" && truncate -s "$3" "$1" &&
    mkfs.ext4 -q -F -E lazy_itable_init=0,lazy_journal_init=0 "$1" &&
    dispositivo=$(losetup --direct-io=on --show -f "$1") &&
    mount "$dispositivo" "$2" && echo "$dispositivo"
}
