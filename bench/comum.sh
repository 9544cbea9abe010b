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

# desmontar_disco DIR IMAGE: DIR's own file system, if mounted, and the loop
# devices of IMAGE go. A process may still be leaving the folder: unmounting
# is tried again, then done lazily.
desmontar_disco() {
  local dispositivo
  if mountpoint -q "$1" 2> /dev/null; then
    for _ in 1 2 3 4 5; do umount "$1" 2> /dev/null && break; sleep 0.2; done
    if mountpoint -q "$1"; then umount -l "$1"; fi
  fi
  [ -f "$2" ] || return 0
  for dispositivo in $(losetup -j "$2" | cut -d: -f1); do
    losetup -d "$dispositivo" 2> /dev/null || true
  done
}

# alvo_novo DIR IMAGE: DIR empty, on a new file system in IMAGE when PROPRIO
# is true (disco_proprio_possivel).
alvo_novo() {
  desmontar_disco "$1" "$2"
  rm -rf "$1"
  mkdir -p "$1"
  if $PROPRIO; then
    mkdir -p "$(dirname "$2")"
    montar_disco_novo "$2" "$1" 2G > /dev/null
    rmdir "$1/lost+found"
  fi
}

# iniciar_agente DIR: the agent on a free loopback port, DIR its working
# folder; sets PORTA and PID_AGENTE and returns once it listens.
iniciar_agente() {
  PORTA=$("$B/vornabench" free-port)
  mkdir -p "$1"
  (cd "$1" && exec "$AGENTE" "$PORTA" > agente.out 2>&1) &
  PID_AGENTE=$!
  "$B/vornabench" wait "$PORTA"
}

# iniciar_rsyncd DIR: an rsync daemon on a free loopback port serving the
# modules read from standard input (rsyncd.conf sections), its
# configuration and pid file in DIR; sets PORTA_RSYNC and PID_RSYNC and
# returns once it answers.
iniciar_rsyncd() {
  local dono=""
  PORTA_RSYNC=$("$B/vornabench" free-port)
  [ "$(id -u)" = 0 ] && dono=$'uid = root\ngid = root'
  {
    printf 'use chroot = no\naddress = 127.0.0.1\nport = %s\npid file = %s\n%s\n' \
      "$PORTA_RSYNC" "$1/rsyncd.pid" "$dono"
    cat
  } > "$1/rsyncd.conf"
  rsync --daemon --no-detach --config="$1/rsyncd.conf" &
  PID_RSYNC=$!
  for _ in $(seq 100); do
    rsync "rsync://127.0.0.1:$PORTA_RSYNC/" > /dev/null 2>&1 && break
    sleep 0.1
  done
}

# lista DIR: every regular file below DIR with its size and modification
# second, sorted.
lista() { (cd "$1" && find . -type f -printf '%P %s %T@\n' | sed 's/\.[0-9]*$//' | LC_ALL=C sort); }
