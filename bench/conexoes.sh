#!/usr/bin/env bash
# Times a full vornacli restore of the 100,000-file tree at several numbers of
# connections (-j), each into a new target, to choose restore's default -j.
# Prints the median seconds of each, after checking the copy.
#
#   bench/conexoes.sh     (JOBS_LIST="4 8 16 32 64", ROUNDS=1, FILES=100000,
#                          BENCH_DATA=/tmp/vorna-bench, AGENT: the agent binary,
#                          EXTRA: more vornacli options, e.g. --serial-stores)
set -euo pipefail
cd "$(dirname "$0")/.."
JOBS_LIST=${JOBS_LIST:-"4 8 16 32 64"}
ROUNDS=${ROUNDS:-1}
EXTRA=${EXTRA:-}

declare -A TEMPOS
. bench/alvo_restauracao.sh

LISTA_ARVORE=$(lista "$ARVORE")
mediana() { tr ' ' '\n' <<< "$*" | grep . | sort -g | awk '{ v[NR] = $1 } END {
  printf "%.3f", NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
echo "tree: $(wc -l <<< "$LISTA_ARVORE") files; agent: $AGENTE; options: ${EXTRA:-none}"
for ((r = 1; r <= ROUNDS; r++)); do
  for j in $JOBS_LIST; do
    limpar
    # shellcheck disable=SC2086
    t=$("$B/vornabench" run "$VORNACLI" -p "$PORTA" -j "$j" $EXTRA restore "$ARVORE" "$ALVO")
    [ "$(lista "$ALVO")" = "$LISTA_ARVORE" ] || { echo "-j $j: the copy differs" >&2; exit 1; }
    TEMPOS[$j]+="$t "
    printf '  round %d, -j %2d: %.3f s\n' "$r" "$j" "$t" >&2
  done
done
for j in $JOBS_LIST; do printf -- '-j %2d: %s s\n' "$j" "$(mediana ${TEMPOS[$j]})"; done
