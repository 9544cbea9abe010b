#!/usr/bin/env bash
# Times a full vornacli restore of the 100,000-file tree at several numbers of
# connections (-j), each into a new target, to choose restore's default -j.
# Prints the median seconds of each, after checking the copy, and, on a file
# system of its own (as root), the journal commits each run took.
#
#   bench/conexoes.sh     (JOBS_LIST="4 8 16 32 64", ROUNDS=1, FILES=100000,
#                          BENCH_DATA=/tmp/vorna-bench, AGENT: the agent binary,
#                          EXTRA: more vornacli options, e.g. --serial-stores)
set -euo pipefail
cd "$(dirname "$0")/.."
JOBS_LIST=${JOBS_LIST:-"4 8 16 32 64"}
ROUNDS=${ROUNDS:-1}
EXTRA=${EXTRA:-}

declare -A TEMPOS CONFIRMACOES
. bench/alvo_restauracao.sh

LISTA_ARVORE=$(lista "$ARVORE")
mediana() { tr ' ' '\n' <<< "$*" | grep . | sort -g | awk '{ v[NR] = $1 } END {
  printf "%.3f", NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
echo "tree: $(wc -l <<< "$LISTA_ARVORE") files; agent: $AGENTE; options: ${EXTRA:-none}"
# confirmacoes: the commits the journal of ALVO's own file system has made
# (the first figure of jbd2's info), or nothing.
confirmacoes() {
  local info
  $PROPRIO || return 0
  info=/proc/fs/jbd2/$(basename "$(findmnt -n -o SOURCE "$ALVO")")-8/info
  [ -r "$info" ] && awk 'NR == 1 { print $1 }' "$info"
}
for ((r = 1; r <= ROUNDS; r++)); do
  for j in $JOBS_LIST; do
    limpar
    antes=$(confirmacoes)
    # shellcheck disable=SC2086
    t=$("$B/vornabench" run "$VORNACLI" -p "$PORTA" -j "$j" $EXTRA restore "$ARVORE" "$ALVO")
    depois=$(confirmacoes)
    [ "$(lista "$ALVO")" = "$LISTA_ARVORE" ] || { echo "-j $j: the copy differs" >&2; exit 1; }
    TEMPOS[$j]+="$t "
    c=""
    if [ -n "$antes" ] && [ -n "$depois" ]; then
      CONFIRMACOES[$j]+="$((depois - antes)) "
      c=", $((depois - antes)) commits"
    fi
    printf '  round %d, -j %2d: %.3f s%s\n' "$r" "$j" "$t" "$c" >&2
  done
done
for j in $JOBS_LIST; do
  c=""
  [ -n "${CONFIRMACOES[$j]:-}" ] && c=", $(printf %.0f "$(mediana ${CONFIRMACOES[$j]})") commits"
  printf -- '-j %2d: %s s%s\n' "$j" "$(mediana ${TEMPOS[$j]})" "$c"
done
