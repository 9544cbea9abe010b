#!/usr/bin/env bash
# Times storing a sparse 5 GiB file holding 20 MiB of data (twenty 1 MiB
# extents spread over it) to the agent with `vornacli put`, and fetching it
# back with `vornacli get`; prints both times and `du -k` of the source, the
# stored copy and the fetched copy, and checks both copies with cmp. The
# zeros cross the wire in full either way: the protocol has no holes.
#
#   bench/esparso.sh     (BENCH_DATA=/tmp/vorna-bench, AGENT=build-release/AgenteLinuxVorna)
#
# As root, the agent stores into a fresh ext4 on a loop device with direct
# I/O (as bench/copia.sh does), so the flush costs what a disk's would;
# elsewhere into a plain temporary folder. AGENT may name another build of
# the agent, to compare.
set -euo pipefail
cd "$(dirname "$0")/.."
. bench/comum.sh
DATA=${BENCH_DATA:-/tmp/vorna-bench}

compilar_release

mkdir -p "$DATA"
ORIGEM=$DATA/esparso-5g
if [ ! -e "$ORIGEM.pronto" ]; then  # made once, reused by later runs
  rm -f "$ORIGEM"
  truncate -s 5G "$ORIGEM"
  for i in $(seq 0 19); do
    dd if=/dev/urandom of="$ORIGEM" bs=1M count=1 seek=$((i * 256 + 7)) conv=notrunc status=none
  done
  touch "$ORIGEM.pronto"
fi

TEMP=$(mktemp -d)
DESTINO=$TEMP/destino
mkdir -p "$DESTINO" "$TEMP/agente" "$TEMP/volta"
PID_AGENTE=""
DISPOSITIVO=""
encerrar() {
  if [ -n "$PID_AGENTE" ]; then
    kill -TERM "$PID_AGENTE" 2> /dev/null || true
    wait "$PID_AGENTE" 2> /dev/null || true
  fi
  if mountpoint -q "$DESTINO" 2> /dev/null; then umount "$DESTINO" || umount -l "$DESTINO"; fi
  [ -n "$DISPOSITIVO" ] && losetup -d "$DISPOSITIVO" 2> /dev/null || true
  rm -rf "$TEMP"
}
trap encerrar EXIT

if disco_proprio_possivel; then
  # Room for the whole file, in case the agent under test writes every zero.
  DISPOSITIVO=$(montar_disco_novo "$TEMP/imagem" "$DESTINO" 8G)
  echo "target: a fresh ext4 on $DISPOSITIVO (direct I/O)"
else
  echo "target: a plain folder (not root, or no loop devices)"
fi
sync

iniciar_agente "$TEMP/agente"

gravar=$("$B/vornabench" run "$VORNACLI" -p "$PORTA" put "$ORIGEM" "$DESTINO/copia")
buscar=$("$B/vornabench" run "$VORNACLI" -p "$PORTA" get "$DESTINO/copia" "$TEMP/volta/copia")

printf 'put (store) %.3f s\nget (fetch) %.3f s\n' "$gravar" "$buscar"
printf 'du -k: source %s, stored %s, fetched %s\n' "$(du -k "$ORIGEM" | cut -f1)" \
  "$(du -k "$DESTINO/copia" | cut -f1)" "$(du -k "$TEMP/volta/copia" | cut -f1)"
cmp "$ORIGEM" "$DESTINO/copia"
cmp "$ORIGEM" "$TEMP/volta/copia"
echo "content: both copies identical to the source"
