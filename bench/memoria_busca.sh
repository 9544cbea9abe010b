#!/usr/bin/env bash
# Memory held by stalled fetches: 30 logged-in connections (or N) each ask
# for a large file in chunks of 2^31-1 bytes and never read a byte. Prints
# the agent's resident memory before and while they stall; exits non-zero
# when it grew by more than 40 MiB.
#
#   bench/memoria_busca.sh [N]
set -euo pipefail
cd "$(dirname "$0")/.."
. bench/comum.sh
N=${1:-30}
DATA=${BENCH_DATA:-/tmp/vorna-bench}
compilar_release  # AGENT: another agent binary to compare
mkdir -p "$DATA/agente-memoria"
[ -e "$DATA/grande64m" ] || "$B/gerador-arquivo" "$DATA/grande64m" 67108864

PORTA=$("$B/vornabench" free-port)
(cd "$DATA/agente-memoria" && exec "$AGENTE" "$PORTA" > agente.out 2>&1) &
PID=$!
PARADOS=
# Ends only what this script started, by pid.
encerrar() {
  if [ -n "$PARADOS" ]; then
    kill -TERM "$PARADOS" 2>/dev/null || true
    wait "$PARADOS" 2>/dev/null || true
  fi
  kill -TERM "$PID" 2>/dev/null || true
  wait "$PID" 2>/dev/null || true
}
trap encerrar EXIT
"$B/vornabench" wait "$PORTA"
sleep 0.5  # the thread of the connection that checked for the agent ends
residente() { awk '/VmRSS/ { print $2 }' /proc/$PID/status; }
antes=$(residente)
echo "idle: resident $antes kB"

# The stalled peers keep their connections until they are ended.
rm -f "$DATA/parados.out"
"$B/vornabench" stall "$PORTA" "$DATA/grande64m" 2147483647 "$N" > "$DATA/parados.out" &
PARADOS=$!
for _ in $(seq 100); do grep -q ready "$DATA/parados.out" 2>/dev/null && break; sleep 0.1; done
grep -q ready "$DATA/parados.out" || { echo "the stalled peers did not connect"; exit 1; }
sleep 2  # every fetch has read what it will before its socket fills
depois=$(residente)
echo "$N stalled fetches, chunk 2147483647: resident $depois kB ($(( (depois - antes) / 1024 )) MiB more)"
if [ "$depois" -gt $((antes + 40 * 1024)) ]; then
  echo "more than 40 MiB held"
  exit 1
fi
