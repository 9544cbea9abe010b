#!/usr/bin/env bash
# Times a backup into a folder that already holds the copy, vornacli against
# rsync -a pulling through its daemon on loopback, the rounds interleaved:
#   unchanged  the same tree again, nothing changed;
#   changed    1% of the files changed since the last run: half rewritten
#              with a new time, a quarter new files with an old time (as
#              tar x leaves them), a quarter rewritten with a new size and
#              their old time put back; plus 0.1% deleted (vornacli --delete,
#              rsync --delete).
# After every run each copy is checked against the source: every file's
# content, size and modification second, and nothing left that was deleted.
# vornacli must fetch exactly the changed files and remove the deleted ones.
#
#   bench/incremental.sh   (FILES=100000, ROUNDS=5, BENCH_DATA=/tmp/vorna-bench,
#                           JOBS: vornacli's default)
#
# As root, each copy lives on an ext4 file system of its own, made once on a
# loop device with direct I/O (as bench/copia.sh does); elsewhere in plain
# folders.
set -euo pipefail
shopt -s inherit_errexit
cd "$(dirname "$0")/.."
. bench/comum.sh
FILES=${FILES:-100000}
ROUNDS=${ROUNDS:-5}
DATA=${BENCH_DATA:-/tmp/vorna-bench}
JOBS=${JOBS:-}

exigir_rsync

compilar_release

mkdir -p "$DATA"
ARVORE=$DATA/arvore$FILES
if [ "$FILES" = 100000 ]; then ARVORE=$DATA/arvore100k; fi  # bench/copia.sh's tree
if [ ! -e "$ARVORE.pronto" ]; then
  rm -rf "$ARVORE"
  "$B/gerador-arvore" "$ARVORE" "$FILES" > /dev/null
  touch "$ARVORE.pronto"
fi
# The rounds change the source: a copy of the tree, made anew every time.
FONTE=$DATA/fonte-incremental
COPIA=$DATA/inc-vornacli
COPIA_RSYNC=$DATA/inc-rsync
rm -rf "$FONTE"
cp -a "$ARVORE" "$FONTE"

TEMP=$(mktemp -d)
PID_AGENTE=""
PID_RSYNC=""
imagem() { echo "$DATA/imagens/$(basename "$1").img"; }
desmontar() {  # desmontar DIR: its own file system goes, image and all
  desmontar_disco "$1" "$(imagem "$1")"
  rm -f "$(imagem "$1")"
}
encerrar() {
  for pid in $PID_AGENTE $PID_RSYNC; do
    kill -TERM "$pid" 2> /dev/null || true
    wait "$pid" 2> /dev/null || true
  done
  desmontar "$COPIA"
  desmontar "$COPIA_RSYNC"
  rm -rf "$TEMP" "$COPIA" "$COPIA_RSYNC" "$FONTE"
}
trap encerrar EXIT
PROPRIO=false
if disco_proprio_possivel; then PROPRIO=true; fi
preparar() { alvo_novo "$1" "$(imagem "$1")"; }  # preparar DIR: empty, on its own file system

iniciar_agente "$TEMP/agente"
iniciar_rsyncd "$TEMP" << EOF
[fonte]
path = $FONTE
read only = yes
EOF

conferir() {  # conferir COPY NAME: every file of the source, identical, and nothing else
  if [ "$(lista "$1")" != "$(lista "$FONTE")" ]; then
    echo "$2: files, sizes or modification times differ from the source" >&2
    diff <(lista "$FONTE") <(lista "$1") | head -5 >&2
    exit 1
  fi
  # Links are not files: vornacli leaves them out (the agent never serves them).
  if diff -r --no-dereference "$FONTE" "$1" | grep -v "^Only in $FONTE/.*: link-" | grep -q .; then
    echo "$2: contents differ" >&2
    exit 1
  fi
}

segundos() {  # segundos OUT COMMAND...: runs it, its output into OUT, prints the time it took
  local saida=$1 inicio fim
  shift
  inicio=$(date +%s.%N)
  "$@" > "$saida" 2> "$saida.err" || { cat "$saida.err" >&2; echo "$1 failed" >&2; exit 1; }
  fim=$(date +%s.%N)
  awk -v a="$inicio" -v b="$fim" 'BEGIN { printf "%.3f", b - a }'
}
J=()
[ -n "$JOBS" ] && J=(-j "$JOBS")
ESPERADOS=""  # "files removed" vornacli must report, empty when not checked
vornacli() {
  local t
  t=$(segundos "$TEMP/vornacli.out" "$VORNACLI" -p "$PORTA" "${J[@]}" --json "$@" backup "$FONTE" "$COPIA")
  conferir "$COPIA" "vornacli"
  if [ -n "$ESPERADOS" ]; then
    local feitos
    feitos=$(sed -E 's/.*"files":([0-9]+),.*"removed":([0-9]+),.*/\1 \2/' "$TEMP/vornacli.out")
    if [ "$feitos" != "$ESPERADOS" ]; then
      echo "vornacli copied and removed \"$feitos\", expected \"$ESPERADOS\"" >&2
      exit 1
    fi
  fi
  echo "$t"
}
puxar() {
  local t
  t=$(segundos "$TEMP/rsync.out" rsync -a "$@" "rsync://127.0.0.1:$PORTA_RSYNC/fonte/" "$COPIA_RSYNC/")
  conferir "$COPIA_RSYNC" "rsync"
  echo "$t"
}

# The 1% change of round $1, and 0.1% deleted, on the source.
mudar() {
  local n=$((FILES / 100)) apagar=$((FILES / 1000)) i=0 f
  local metade=$((n / 2)) quarto=$((n / 4))
  mapfile -t escolhidos < <(cd "$FONTE" && find . -type f -name '*.dat' -printf '%P\n' |
    shuf -n $((metade + quarto + apagar)) --random-source=<(yes "$1"))
  for f in "${escolhidos[@]}"; do
    if ((i < metade)); then  # rewritten, new time
      head -c $((RANDOM % 4096 + 1)) /dev/urandom > "$FONTE/$f"
    elif ((i < metade + quarto)); then  # a new size, the old time put back
      touch -r "$FONTE/$f" "$TEMP/referencia"
      head -c $(($(stat -c %s "$FONTE/$f") + 1 + RANDOM % 100)) /dev/urandom > "$FONTE/$f"
      touch -r "$TEMP/referencia" "$FONTE/$f"
    else
      rm "$FONTE/$f"
    fi
    i=$((i + 1))
  done
  mapfile -t pastas < <(cd "$FONTE" && find . -mindepth 2 -type d -name 's*' -printf '%P\n' |
    shuf -n "$quarto" --random-source=<(yes "$1"))
  for ((i = 0; i < quarto; i++)); do  # new files with an old time, as tar x leaves them
    f="$FONTE/${pastas[i % ${#pastas[@]}]}/novo-$1-$i.dat"
    head -c $((RANDOM % 4096 + 1)) /dev/urandom > "$f"
    touch -d '2001-02-03 04:05:06' "$f"
  done
  ESPERADOS="$((metade + 2 * quarto)) $apagar"
}

mediana() { tr ' ' '\n' <<< "$*" | grep . | sort -g | awk '{ v[NR] = $1 } END {
  printf "%.3f", NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
razao() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }

preparar "$COPIA"
preparar "$COPIA_RSYNC"
echo "first copies (untimed)" >&2
vornacli > /dev/null
puxar > /dev/null
sync

declare -A TEMPOS
for ((r = 1; r <= ROUNDS; r++)); do
  ESPERADOS="0 0"
  if ((r % 2)); then ta=$(vornacli); tb=$(puxar); else tb=$(puxar); ta=$(vornacli); fi
  TEMPOS[unchanged-a]+="$ta "; TEMPOS[unchanged-b]+="$tb "
  printf '  unchanged round %d: vornacli %.3f s, rsync %.3f s\n' "$r" "$ta" "$tb" >&2
done
for ((r = 1; r <= ROUNDS; r++)); do
  mudar "$r"
  sync
  if ((r % 2)); then
    ta=$(vornacli --delete); tb=$(puxar --delete)
  else
    tb=$(puxar --delete); ta=$(vornacli --delete)
  fi
  TEMPOS[changed-a]+="$ta "; TEMPOS[changed-b]+="$tb "
  printf '  1%% changed round %d: vornacli %.3f s, rsync %.3f s\n' "$r" "$ta" "$tb" >&2
done

echo "incremental backup of $FILES files ($(nproc) cores, medians of $ROUNDS rounds," \
  "copies on $($PROPRIO && echo 'loop-mounted ext4' || echo 'plain folders'))"
for caso in unchanged changed; do
  a=$(mediana ${TEMPOS[$caso-a]}); b=$(mediana ${TEMPOS[$caso-b]})
  alvo=$([ $caso = unchanged ] && echo "<= 0.5" || echo "<= 1.0")
  printf '%-10s vornacli %s s  rsync -a %s s  ratio %s (target %s)\n' "$caso" "$a" "$b" \
    "$(razao "$a" "$b")" "$alvo"
done
