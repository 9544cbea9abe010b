#!/usr/bin/env bash
# Compares the listening sockets: the IPv4 socket of the default
# configuration, and the one dual-stack socket of enderecoEscuta=:: reached
# over IPv4 (127.0.0.1) and over IPv6 (::1). Each case: N connections one
# after the other (connect, login, version, close), then a fetch of a
# 256 MiB file; a new agent for each case, the cases interleaved over
# ROUNDS rounds. Prints each case's median seconds, minimum and maximum.
#
#   bench/escuta.sh    (ROUNDS=7, N=2000, BENCH_DATA=/tmp/vorna-bench,
#                       AGENTS: the agent binaries to compare, by default
#                       the release build's)
set -euo pipefail
cd "$(dirname "$0")/.."
. bench/comum.sh
ROUNDS=${ROUNDS:-7}
N=${N:-2000}
DATA=${BENCH_DATA:-/tmp/vorna-bench}
compilar_release
AGENTS=${AGENTS:-$AGENTE}
mkdir -p "$DATA"
[ -e "$DATA/grande256m" ] || "$B/gerador-arquivo" "$DATA/grande256m" 268435456
pasta=$(mktemp -d)
trap '[ -n "${PID_AGENTE:-}" ] && kill -TERM "$PID_AGENTE" 2> /dev/null; rm -rf "$pasta"' EXIT

declare -A LOGINS BUSCA
# caso BINARY LISTEN HOST: one round of one case.
caso() {
  local chave="$1 $2 $3"
  rm -rf "$pasta/agente" && mkdir -p "$pasta/agente"
  [ "$2" = "-" ] || echo "enderecoEscuta=$2" > "$pasta/agente/vornaConfig.txt"
  AGENTE=$1 iniciar_agente "$pasta/agente"
  LOGINS[$chave]+="$(VORNA_BENCH_HOST=$3 "$B/vornabench" logins "$PORTA" "$N") "
  BUSCA[$chave]+="$(VORNA_BENCH_HOST=$3 "$B/vornabench" get "$PORTA" "$DATA/grande256m" 1048576) "
  kill -TERM "$PID_AGENTE"
  wait "$PID_AGENTE" 2> /dev/null || true
  PID_AGENTE=
}
resumo() { tr ' ' '\n' <<< "$*" | grep . | sort -g | awk '{ v[NR] = $1 } END {
  printf "%.3f (%.3f-%.3f)", NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2, v[1], v[NR] }'; }

CASOS=()
for agente in $AGENTS; do
  CASOS+=("$agente - 127.0.0.1" "$agente :: 127.0.0.1" "$agente :: ::1")
done
for ((r = 1; r <= ROUNDS; r++)); do
  for c in "${CASOS[@]}"; do
    # shellcheck disable=SC2086
    caso $c
  done
  echo "round $r done" >&2
done
echo "agent | listen | via | $N logins (s) | 256 MiB fetch (s)"
for c in "${CASOS[@]}"; do
  read -r agente escuta via <<< "$c"
  echo "$agente | $escuta | $via | $(resumo ${LOGINS[$c]}) | $(resumo ${BUSCA[$c]})"
done
