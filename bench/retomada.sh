#!/usr/bin/env bash
# Times a restore run again after an interruption: a full vornacli restore of
# the 100,000-file tree, then a restore stopped (SIGINT to vornacli, by its
# pid) once about half the files are on the agent, then the same restore run
# again. Prints the re-run's time as a ratio to the full restore (target
# <= 0.6), after checking that every file's content, size and modification
# second match the source.
#
#   bench/retomada.sh     (FILES=100000, BENCH_DATA=/tmp/vorna-bench, JOBS: vornacli's
#                          default, AGENT: the agent binary, default this tree's)
#
# As root the target is a new ext4 file system on a loop device with direct
# I/O for every run (as in bench/copia.sh); elsewhere a plain folder, emptied
# and flushed.
set -euo pipefail
cd "$(dirname "$0")/.."
JOBS=${JOBS:-}

. bench/alvo_restauracao.sh

J=()
[ -n "$JOBS" ] && J=(-j "$JOBS")
CLI=("$VORNACLI" -p "$PORTA" "${J[@]}" restore "$ARVORE" "$ALVO")

LISTA_ARVORE=$(lista "$ARVORE")
TOTAL=$(wc -l <<< "$LISTA_ARVORE")
conferir() {  # the target holds every file, identical, and nothing else
  if [ "$(lista "$ALVO")" != "$LISTA_ARVORE" ]; then
    echo "$1: files, sizes or modification times differ" >&2
    exit 1
  fi
  if diff -r --no-dereference "$ARVORE" "$ALVO" | grep -v "^Only in $ARVORE/.*: link-" | grep -q .; then
    echo "$1: contents differ" >&2
    exit 1
  fi
}

# cronometrar OUT: seconds of one restore, its --json summary into OUT.
cronometrar() {
  local inicio fim
  inicio=$(date +%s.%N)
  "${CLI[@]}" --json > "$1" 2> /dev/null || true
  fim=$(date +%s.%N)
  awk -v a="$inicio" -v b="$fim" 'BEGIN { printf "%.3f", b - a }'
}

limpar
CHEIA=$(cronometrar "$TEMP/cheia.out")
conferir "full restore"
echo "full restore: $CHEIA s" >&2

limpar
"${CLI[@]}" --json > "$TEMP/interrompida.out" 2> /dev/null &
PID_CLI=$!
while kill -0 "$PID_CLI" 2> /dev/null &&
      (($(find "$ALVO" -type f | wc -l) < TOTAL / 2)); do
  sleep 0.05
done
kill -INT "$PID_CLI" 2> /dev/null || true
wait "$PID_CLI" || true
PID_CLI=""
NO_AGENTE=$(find "$ALVO" -type f | wc -l)
RETOMADA=$(cronometrar "$TEMP/retomada.out")
conferir "re-run restore"
cronometrar "$TEMP/terceira.out" > /dev/null

CONEXOES=${JOBS:-"the default"}
echo "tree: $TOTAL files ($ARVORE); connections: $CONEXOES"
echo "target: $($PROPRIO && echo "a new ext4 on a loop device with direct I/O" || echo "a plain folder")"
printf 'full restore:            %.3f s\n' "$CHEIA"
echo "interrupted at:          $NO_AGENTE of $TOTAL files on the agent"
echo "  its summary:           $(cat "$TEMP/interrompida.out")"
printf 're-run after it:         %.3f s\n' "$RETOMADA"
echo "  its summary:           $(cat "$TEMP/retomada.out")"
echo "ratio re-run / full:     $(awk -v a="$RETOMADA" -v b="$CHEIA" 'BEGIN { printf "%.2f", a / b }') (target <= 0.6)"
echo "third run (no change):   $(cat "$TEMP/terceira.out")"
