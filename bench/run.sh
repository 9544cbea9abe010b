#!/usr/bin/env bash
# Measures the agent against its anchors in the same run and writes the
# figures to docs/PERFORMANCE.md (its own block of that file; other blocks
# stay). Each pair of commands is alternated over ROUNDS rounds after a
# warm-up; the table gives each pair's median ratio with its minimum and
# maximum. Cold-cache rounds drop the page cache first (root only) and bfs
# is installed when missing (root only); rows that cannot run are skipped.
#
#   bench/run.sh              (ROUNDS=5 and BENCH_DATA=/tmp/vorna-bench by default)
set -euo pipefail
cd "$(dirname "$0")/.."
. bench/comum.sh
ROUNDS=${ROUNDS:-5}
# Stores end in fsync, whose time varies widely with the disk: more rounds.
ROUNDS_STORE=${ROUNDS_STORE:-11}
DATA=${BENCH_DATA:-/tmp/vorna-bench}
RESULTS=${RESULTS:-docs/PERFORMANCE.md}

if ! command -v bfs > /dev/null && [ "$(id -u)" = 0 ]; then
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q bfs > /dev/null 2>&1 || true
fi
FRIO=false
[ -w /proc/sys/vm/drop_caches ] && FRIO=true

compilar_release

mkdir -p "$DATA"
gerar() {  # gerar DIR COMMAND...: made once, reused by later runs
  local alvo=$1; shift
  if [ ! -e "$alvo.pronto" ]; then
    rm -rf "$alvo"
    "$@" > /dev/null
    touch "$alvo.pronto"
  fi
}
gerar "$DATA/arvore100k" "$B/gerador-arvore" "$DATA/arvore100k" 100000
gerar "$DATA/arvore10k" "$B/gerador-arvore" "$DATA/arvore10k" 10000
gerar "$DATA/grande1g" "$B/gerador-arquivo" "$DATA/grande1g" 1073741824

PORTA=$("$B/vornabench" free-port)
mkdir -p "$DATA/agente"
(cd "$DATA/agente" && exec "$AGENTE" "$PORTA" > agente.out 2>&1) &
PID=$!
trap 'kill -TERM $PID 2>/dev/null || true; wait $PID 2>/dev/null || true' EXIT
"$B/vornabench" wait "$PORTA"

declare -A RAZOES TEMPOS
mediana() { echo "$@" | tr ' ' '\n' | sort -g | awk '{ v[NR] = $1 } END {
  printf "%.3f", NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

# Run, untimed, before every measurement (stores start from a clean disk).
PREPARAR=:
RODADAS=$ROUNDS

# medir NAME KIND AGENT_CMD -- ANCHOR_CMD: KIND "tempo" gives agent/anchor,
# "vazao" gives anchor/agent (the agent's share of the anchor's throughput).
medir() {
  local nome=$1 tipo=$2; shift 2
  local agente=() ancora=()
  while [ "$1" != "--" ]; do agente+=("$1"); shift; done
  shift
  ancora=("$@")
  "${agente[@]}" > /dev/null; "${ancora[@]}" > /dev/null  # warm-up
  local lista="" tempos_a="" tempos_b=""
  for ((r = 1; r <= RODADAS; r++)); do
    local a b
    if ((r % 2)); then eval "$PREPARAR"; a=$("${agente[@]}"); eval "$PREPARAR"; b=$("${ancora[@]}");
    else eval "$PREPARAR"; b=$("${ancora[@]}"); eval "$PREPARAR"; a=$("${agente[@]}"); fi
    tempos_a+="$a "; tempos_b+="$b "
    lista+="$(awk -v a="$a" -v b="$b" -v t="$tipo" 'BEGIN { printf "%.4f", t == "tempo" ? a / b : b / a }') "
    printf '  %-28s round %d: agent %.3f s, anchor %.3f s\n' "$nome" "$r" "$a" "$b" >&2
  done
  RAZOES[$nome]=$(echo $lista | tr ' ' '\n' | sort -g | awk '{ v[NR] = $1 } END {
    m = NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2
    printf "%.2f (min %.2f, max %.2f)", m, v[1], v[NR] }')
  TEMPOS[$nome]="$(mediana $tempos_a) s / $(mediana $tempos_b) s"
  printf '%-30s %s   (agent / anchor: %s)\n' "$nome" "${RAZOES[$nome]}" "${TEMPOS[$nome]}"
  printf '  agent resident memory now: %s\n' "$(awk '/VmRSS/ { print $2 " " $3 }' /proc/$PID/status)" >&2
}

D=$DATA
# Peak memory of one listing in an agent that has served nothing else.
PORTA_M=$("$B/vornabench" free-port)
(cd "$DATA/agente" && exec "$AGENTE" "$PORTA_M" > agente-memoria.out 2>&1) &
PID_M=$!
"$B/vornabench" wait "$PORTA_M"
"$B/vornabench" list-raw "$PORTA_M" "$D/arvore100k" "$DATA/resposta.bin" > /dev/null
PICO_LISTA=$(awk '/VmHWM/ { print $2 }' /proc/$PID_M/status)
BYTES_LISTA=$(stat -c %s "$DATA/resposta.bin")
kill -TERM $PID_M; wait $PID_M 2>/dev/null || true
MEMORIA_LISTA=$(awk -v p="$PICO_LISTA" -v b="$BYTES_LISTA" 'BEGIN {
  printf "%.1f MB peak for a reply of %.1f MB: %.2f x", p / 1000, b / 1e6, p * 1024 / b }')
echo "listing memory: $MEMORIA_LISTA"

LISTAR=("$B/vornabench" list-raw "$PORTA" "$D/arvore100k")
FIND=("$B/vornabench" run find "$D/arvore100k" -type f -printf '%p %s %TY\n')
BFS=("$B/vornabench" run bfs "$D/arvore100k" -type f -printf '%p %s %TY\n')
medir "list 100k warm / find" tempo "${LISTAR[@]}" -- "${FIND[@]}"
command -v bfs > /dev/null && medir "list 100k warm / bfs" tempo "${LISTAR[@]}" -- "${BFS[@]}"
if $FRIO; then
  PREPARAR='sync; echo 3 > /proc/sys/vm/drop_caches'
  medir "list 100k cold / find" tempo "${LISTAR[@]}" -- "${FIND[@]}"
  command -v bfs > /dev/null && medir "list 100k cold / bfs" tempo "${LISTAR[@]}" -- "${BFS[@]}"
  PREPARAR=:
fi
medir "size 100k (code 4) / du -sb" tempo \
  "$B/vornabench" du "$PORTA" "$D/arvore100k" -- \
  "$B/vornabench" run du -sb "$D/arvore100k"
medir "fetch 1 GiB, 1 MiB chunks" vazao \
  "$B/vornabench" get "$PORTA" "$D/grande1g" 1048576 -- \
  "$B/vornabench" pair-get "$D/grande1g" 1048576
medir "fetch 1 GiB, 64 KiB chunks" vazao \
  "$B/vornabench" get "$PORTA" "$D/grande1g" 65536 -- \
  "$B/vornabench" pair-get "$D/grande1g" 65536
PREPARAR='rm -f "$D/copia-agente" "$D/copia-par"; sync'
RODADAS=$ROUNDS_STORE
medir "store 1 GiB, 1 MiB chunks" vazao \
  "$B/vornabench" put "$PORTA" "$D/grande1g" "$D/copia-agente" 1048576 -- \
  "$B/vornabench" pair-put "$D/grande1g" "$D/copia-par" 1048576
PREPARAR=:
RODADAS=$ROUNDS
medir "200 at once / 200 in a row" tempo \
  "$B/vornabench" many "$PORTA" "$D/arvore10k" 200 -- \
  "$B/vornabench" seq "$PORTA" "$D/arvore10k" 200
rm -f "$D/copia-agente" "$D/copia-par"
sleep 2  # idle reader threads end after a second
MEMORIA=$(awk '/VmHWM/ { print $2 " " $3 }' /proc/$PID/status)
ATUAL=$(awk '/VmRSS/ { print $2 " " $3 }' /proc/$PID/status)
THREADS=$(awk '/Threads/ { print $2 }' /proc/$PID/status)
echo "agent peak memory $MEMORIA, now $ATUAL, threads now $THREADS"

linha() {  # linha NAME MEASUREMENT ANCHOR KIND TARGET: one row, or nothing when NAME did not run
  [ -n "${RAZOES[$1]:-}" ] || return 0
  echo "| $2 | $3 | $4 | ${RAZOES[$1]} | ${TEMPOS[$1]} | $5 |"
}
BLOCO=$(mktemp)
{
  echo "<!-- agente start -->"
  echo "## The agent against find, bfs, du and a plain pair"
  echo
  echo "Written by \`bench/run.sh\` on $(date -u '+%Y-%m-%d %H:%M UTC'), $ROUNDS rounds after a warm-up"
  echo "($ROUNDS_STORE for the store, whose fsync varies widely with the disk),"
  echo "on $(nproc) cores and $(awk '/MemTotal/ { printf "%.0f GiB", $2 / 1048576 }' /proc/meminfo) of memory."
  echo "Each figure is the median ratio of the pair over the rounds (minimum and maximum in"
  echo "brackets). Times: agent / anchor, lower is better. Throughputs: the agent's share of the"
  echo "anchor's, higher is better. Listings take the reply as bytes (\`vornabench list-raw\`), as"
  echo "find's output goes to /dev/null; cold rounds drop the page cache before each command."
  echo
  echo "| measurement | anchor | kind | ratio | median seconds, agent / anchor | target |"
  echo "|---|---|---|---|---|---|"
  linha "list 100k warm / find" "list 100,000 files (code 5), warm cache" "\`find -type f -printf '%p %s %TY\\\\n'\`" time "<= 0.6"
  linha "list 100k warm / bfs" "the same" "\`bfs\` with the same output" time "-"
  linha "list 100k cold / find" "list 100,000 files (code 5), cold cache" "the same \`find\`" time "<= 0.5"
  linha "list 100k cold / bfs" "the same" "\`bfs\` with the same output" time "-"
  linha "size 100k (code 4) / du -sb" "size of the same tree (code 4)" "\`du -sb\`" time "<= 1.3"
  linha "fetch 1 GiB, 1 MiB chunks" "fetch 1 GiB, 1 MiB chunks (code 1)" "read/write pair over loopback" throughput ">= 0.8"
  linha "fetch 1 GiB, 64 KiB chunks" "fetch 1 GiB, 64 KiB chunks (code 1)" "the same pair, 64 KiB" throughput "-"
  linha "store 1 GiB, 1 MiB chunks" "store 1 GiB, 1 MiB chunks (code 2)" "the pair, receiver fsyncs" throughput ">= 0.8"
  linha "200 at once / 200 in a row" "200 connections listing 10,000 files at once" "one connection, 200 times" time "<= 1.2"
  echo
  echo "One listing of the 100,000 files in a fresh agent: $MEMORIA_LISTA the reply (target <= 2)."
  echo "Agent after the run: peak resident memory $MEMORIA, resident now $ATUAL, $THREADS threads"
  echo "(the main thread and the signal thread: every connection thread and every reader"
  echo "thread has ended)."
  echo
  echo "Profiles and the changes they led to: [PROFILES.md](PROFILES.md)."
  echo "<!-- agente end -->"
} > "$BLOCO"
bench/bloco.sh "$RESULTS" agente "$BLOCO"
rm -f "$BLOCO"
echo "wrote $RESULTS"
