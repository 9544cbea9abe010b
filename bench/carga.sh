#!/usr/bin/env bash
# Load test: 500 connections at once (half listing a 10,000-file tree, half
# fetching a 4 MiB file), every reply checked; then the agent's memory and
# threads must be back to their idle level. Prints the figures; exits
# non-zero when a reply was wrong or the agent did not come back to idle.
#
#   bench/carga.sh [CONNECTIONS]
set -euo pipefail
cd "$(dirname "$0")/.."
. bench/comum.sh
N=${1:-500}
DATA=${BENCH_DATA:-/tmp/vorna-bench}
compilar_release
mkdir -p "$DATA/agente-carga"
[ -e "$DATA/arvore10k.pronto" ] || { rm -rf "$DATA/arvore10k"; "$B/gerador-arvore" "$DATA/arvore10k" 10000 > /dev/null; touch "$DATA/arvore10k.pronto"; }
[ -e "$DATA/medio4m" ] || "$B/gerador-arquivo" "$DATA/medio4m" 4194304

PORTA=$("$B/vornabench" free-port)
(cd "$DATA/agente-carga" && exec "$AGENTE" "$PORTA" > agente.out 2>&1) &
PID=$!
trap 'kill -TERM $PID 2>/dev/null || true; wait $PID 2>/dev/null || true' EXIT
"$B/vornabench" wait "$PORTA"
sleep 0.5  # the thread of the connection that checked for the agent ends
estado() { awk '/VmRSS/ { r = $2 } /Threads/ { t = $2 } END { print r, t }' /proc/$PID/status; }
read -r rss0 threads0 <<< "$(estado)"
echo "idle: resident $rss0 kB, $threads0 threads"
"$B/vornabench" load "$PORTA" "$DATA/arvore10k" "$DATA/medio4m" "$N"
pico=$(awk '/VmHWM/ { print $2 }' /proc/$PID/status)
sleep 2
read -r rss1 threads1 <<< "$(estado)"
echo "after: resident $rss1 kB (peak $pico kB), $threads1 threads"
if [ "$threads1" -ne "$threads0" ] || [ "$rss1" -gt $((rss0 + 16384)) ]; then
  echo "the agent did not come back to idle"
  exit 1
fi
echo "back to idle"
