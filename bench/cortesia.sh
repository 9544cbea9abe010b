#!/usr/bin/env bash
# How much a backup takes from the machine's own work: a dd that reads a
# large file of the same disk (direct I/O) is timed alone, then while
# vornacli backs up the 100,000-file tree of that disk from an agent run
# plainly, and from one run with the service's settings (Nice=10, I/O
# class best-effort 7, with nice and ionice; CPUWeight= and IOWeight= need
# the unit's own cgroup and are left out here). The rounds are interleaved.
# Prints dd's rate and the backup's time for each.
#
#   bench/cortesia.sh   (ROUNDS=3, BENCH_DATA=/tmp/vorna-bench; root, loop devices)
set -euo pipefail
shopt -s inherit_errexit
cd "$(dirname "$0")/.."
. bench/comum.sh
ROUNDS=${ROUNDS:-3}
DATA=${BENCH_DATA:-/tmp/vorna-bench}
if ! disco_proprio_possivel; then
  echo "needs root and loop devices: benchmark skipped" >&2
  exit 0
fi

compilar_release
mkdir -p "$DATA"
ARVORE=$DATA/arvore100k
if [ ! -e "$ARVORE.pronto" ]; then
  rm -rf "$ARVORE"
  "$B/gerador-arvore" "$ARVORE" 100000 > /dev/null
  touch "$ARVORE.pronto"
fi

DISCO=$DATA/cortesia-disco
IMAGEM=$DATA/imagens/cortesia.img
COPIA=$DATA/cortesia-copia
TEMP=$(mktemp -d)
PID_AGENTE=""
PID_DD=""
encerrar() {
  [ -n "$PID_DD" ] && kill "$PID_DD" 2> /dev/null || true
  if [ -n "$PID_AGENTE" ]; then
    kill -TERM "$PID_AGENTE" 2> /dev/null || true
    wait "$PID_AGENTE" 2> /dev/null || true
  fi
  desmontar_disco "$DISCO" "$IMAGEM"
  rm -rf "$TEMP" "$COPIA" "$IMAGEM"
}
trap encerrar EXIT

# One disk holds the tree and the large file dd reads.
mkdir -p "$DISCO" "$(dirname "$IMAGEM")"
desmontar_disco "$DISCO" "$IMAGEM"
montar_disco_novo "$IMAGEM" "$DISCO" 12G > /dev/null
cp -a "$ARVORE" "$DISCO/arvore"
# Larger than what dd reads while a backup runs.
dd if=/dev/zero of="$DISCO/grande" bs=1M count=8192 status=none conv=fsync

esvaziar_cache() { sync; echo 3 > /proc/sys/vm/drop_caches; }

# dd reading the large file in the background until parar_dd; its rate.
iniciar_dd() {
  dd if="$DISCO/grande" of=/dev/null bs=1M iflag=direct 2> "$TEMP/dd" &
  PID_DD=$!
}
parar_dd() {
  # dd prints its count on SIGUSR1 (SIGINT is ignored by a background job).
  kill -USR1 "$PID_DD" 2> /dev/null || true
  sleep 0.2
  kill -TERM "$PID_DD" 2> /dev/null || true
  wait "$PID_DD" 2> /dev/null || true
  PID_DD=""
  sed -n 's/.* s, \([0-9.,]*\) \([kMG]*B\)\/s$/\1 \2/p' "$TEMP/dd" | tail -n 1 | tr , .
}

# rodada MODO: dd alone for 5 s (MODO sozinho), or dd during a backup from
# an agent run plainly (simples) or politely (cortes).
rodada() {
  esvaziar_cache
  if [ "$1" = sozinho ]; then
    iniciar_dd
    sleep 5
    echo "$1 dd $(parar_dd)/s"
    return
  fi
  local prefixo=()
  [ "$1" = cortes ] && prefixo=(nice -n 10 ionice -c 2 -n 7)
  PORTA=$("$B/vornabench" free-port)
  (cd "$TEMP" && exec "${prefixo[@]}" "$AGENTE" "$PORTA" > agente.out 2>&1) &
  PID_AGENTE=$!
  "$B/vornabench" wait "$PORTA"
  rm -rf "$COPIA"
  local inicio fim
  iniciar_dd
  inicio=$(date +%s.%N)
  "$VORNACLI" -p "$PORTA" backup "$DISCO/arvore" "$COPIA" > /dev/null
  fim=$(date +%s.%N)
  local taxa
  taxa=$(parar_dd)
  kill -TERM "$PID_AGENTE"
  wait "$PID_AGENTE" 2> /dev/null || true
  PID_AGENTE=""
  echo "$1 dd $taxa/s backup $(echo "$fim - $inicio" | bc) s"
}

for _ in $(seq "$ROUNDS"); do
  rodada sozinho
  rodada simples
  rodada cortes
done
