#!/usr/bin/env bash
# Times vornacli backup and restore of the 100,000-file tree (FILES sets
# another size) against rsync -a through an rsync daemon on loopback (pull
# and push), side by side, the rounds interleaved, and checks after every run
# that each file arrived with its content and modification time. Writes the medians to the block between
# "<!-- backup-restore start -->" and "<!-- backup-restore end -->" of
# docs/PERFORMANCE.md (appended when missing), leaving the rest as it is.
#
#   bench/copia.sh        (ROUNDS=5, FILES=100000, BENCH_DATA=/tmp/vorna-bench, JOBS and
#                          RESTORE_JOBS: vornacli's defaults)
#
# FSYNC_ROUNDS (default 3, 0 to leave it out) times rsync push with --fsync as
# well: the agent makes every stored file durable before it acknowledges it.
# SERIAL_ROUNDS (default 3, 0 to leave it out) times the restore with one store
# in flight per connection (--serial-stores), what a backup server that waits
# for each reply gets: over one connection against rsync --fsync (one flush a
# file, as the agent makes) and over four against rsync -a, both on a tree of
# SERIAL_FILES files (default 2,000: every store waits for the disk).
#
# As root, every run writes into a file system of its own, made anew on a
# loop device with direct I/O: on a file system that has just deleted the
# last copy's 100,000 files, creating them again costs several times more
# and varies from run to run (rsync pulls took 2.3 s to 18.7 s). Elsewhere
# the targets are plain folders, emptied and flushed.
set -euo pipefail
cd "$(dirname "$0")/.."
. bench/comum.sh
ROUNDS=${ROUNDS:-5}
FSYNC_ROUNDS=${FSYNC_ROUNDS:-3}
DATA=${BENCH_DATA:-/tmp/vorna-bench}
RESULTS=${RESULTS:-docs/PERFORMANCE.md}
JOBS=${JOBS:-}
RESTORE_JOBS=${RESTORE_JOBS:-}
SERIAL_ROUNDS=${SERIAL_ROUNDS:-3}
FILES=${FILES:-100000}
SERIAL_FILES=${SERIAL_FILES:-2000}

exigir_rsync

compilar_release

mkdir -p "$DATA"
arvore() {  # arvore FILES: the tree of that many files, made once and reused by later runs
  local dir=$DATA/arvore$1
  [ "$1" = 100000 ] && dir=$DATA/arvore100k  # as bench/run.sh names it
  if [ ! -e "$dir.pronto" ]; then
    rm -rf "$dir"
    "$B/gerador-arvore" "$dir" "$1" > /dev/null
    touch "$dir.pronto"
  fi
  echo "$dir"
}
ARVORE=$(arvore "$FILES")
ARVORE_SERIE=$(arvore "$SERIAL_FILES")
COPIA=$DATA/copia-vornacli
COPIA_RSYNC=$DATA/copia-rsync
VOLTA=$DATA/volta-vornacli
VOLTA_RSYNC=$DATA/volta-rsync

TEMP=$(mktemp -d)
PID_AGENTE=""
PID_RSYNC=""
encerrar() {
  for pid in $PID_AGENTE $PID_RSYNC; do
    kill -TERM "$pid" 2> /dev/null || true
    wait "$pid" 2> /dev/null || true
  done
  for alvo in "$COPIA" "$COPIA_RSYNC" "$VOLTA" "$VOLTA_RSYNC"; do desmontar "$alvo"; done
  rm -rf "$TEMP" "$COPIA" "$COPIA_RSYNC" "$VOLTA" "$VOLTA_RSYNC" "$DATA/imagens"
}
PROPRIO=false  # a file system of its own for every run
if disco_proprio_possivel; then PROPRIO=true; fi
imagem() { echo "$DATA/imagens/$(basename "$1").img"; }
desmontar() { desmontar_disco "$1" "$(imagem "$1")"; }  # desmontar DIR: its own file system goes
trap encerrar EXIT

iniciar_agente "$TEMP/agente"

mkdir -p "$VOLTA_RSYNC"
iniciar_rsyncd "$TEMP" << EOF
[arvore]
path = $ARVORE
read only = yes
[destino]
path = $VOLTA_RSYNC
read only = no
EOF

# Every regular file with its size and modification second, and the content.
LISTA_ARVORE=$(lista "$ARVORE")
conferir() {  # conferir COPY NAME [TREE]: the copy holds every file of TREE, identical
  local origem=${3:-$ARVORE} esperada=$LISTA_ARVORE
  [ "$origem" != "$ARVORE" ] && esperada=$(lista "$origem")
  if [ "$(lista "$1")" != "$esperada" ]; then
    echo "$2: files, sizes or modification times differ" >&2
    exit 1
  fi
  # Links are not files: vornacli leaves them out (the agent never serves them).
  if diff -r --no-dereference "$origem" "$1" | grep -v "^Only in $origem/.*: link-" | grep -q .; then
    echo "$2: contents differ" >&2
    exit 1
  fi
}
# limpar DIR: an empty target, on a new file system when PROPRIO.
limpar() {
  alvo_novo "$1" "$(imagem "$1")"
  sync
}

J=()
[ -n "$JOBS" ] && J=(-j "$JOBS")
backup() { limpar "$COPIA"; "$B/vornabench" run "$VORNACLI" -p "$PORTA" "${J[@]}" backup "$ARVORE" "$COPIA"; }
pull() { limpar "$COPIA_RSYNC"; "$B/vornabench" run rsync -a "rsync://127.0.0.1:$PORTA_RSYNC/arvore/" "$COPIA_RSYNC/"; }
RJ=()
[ -n "$RESTORE_JOBS" ] && RJ=(-j "$RESTORE_JOBS")
ORIGEM=$ARVORE  # what restore and push copy
restore() {
  limpar "$VOLTA"
  "$B/vornabench" run "$VORNACLI" -p "$PORTA" "${RJ[@]}" "$@" restore "$ORIGEM" "$VOLTA"
}
push() {
  limpar "$VOLTA_RSYNC"
  "$B/vornabench" run rsync -a "$@" "$ORIGEM/" "rsync://127.0.0.1:$PORTA_RSYNC/destino/"
}

mediana() { tr ' ' '\n' <<< "$*" | grep . | sort -g | awk '{ v[NR] = $1 } END {
  printf "%.3f", NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

declare -A TEMPOS
# medir NAME ROUNDS A B: A and B in turn, each first in every other round.
medir() {
  local nome=$1 rodadas=$2 a=$3 b=$4 ta tb
  for ((r = 1; r <= rodadas; r++)); do
    if ((r % 2)); then ta=$($a); tb=$($b); else tb=$($b); ta=$($a); fi
    TEMPOS[$nome-a]+="$ta "; TEMPOS[$nome-b]+="$tb "
    printf '  %-22s round %d: vornacli %.3f s, rsync %.3f s\n' "$nome" "$r" "$ta" "$tb" >&2
  done
}

backup > /dev/null; conferir "$COPIA" "vornacli backup"   # warm-up, and the checks once untimed
pull > /dev/null; conferir "$COPIA_RSYNC" "rsync pull"
medir backup "$ROUNDS" backup pull
conferir "$COPIA" "vornacli backup"; conferir "$COPIA_RSYNC" "rsync pull"
restore > /dev/null; conferir "$VOLTA" "vornacli restore"
push > /dev/null; conferir "$VOLTA_RSYNC" "rsync push"
medir restore "$ROUNDS" restore push
conferir "$VOLTA" "vornacli restore"; conferir "$VOLTA_RSYNC" "rsync push"
if ((FSYNC_ROUNDS > 0)); then
  push_fsync() { push --fsync; }
  medir restore-fsync "$FSYNC_ROUNDS" restore push_fsync
fi
if ((SERIAL_ROUNDS > 0)); then
  ORIGEM=$ARVORE_SERIE
  serie_1() { restore -j 1 --serial-stores; }
  serie_4() { restore -j 4 --serial-stores; }
  push_fsync() { push --fsync; }
  medir serie-1 "$SERIAL_ROUNDS" serie_1 push_fsync
  conferir "$VOLTA" "vornacli -j 1 restore --serial-stores" "$ARVORE_SERIE"
  medir serie-4 "$SERIAL_ROUNDS" serie_4 push
  conferir "$VOLTA" "vornacli -j 4 restore --serial-stores" "$ARVORE_SERIE"
  conferir "$VOLTA_RSYNC" "rsync push" "$ARVORE_SERIE"
  ORIGEM=$ARVORE
fi

razao() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
linha() {  # linha NAME TEXT ANCHOR TARGET [ANCHOR-NAME]: vornacli's median against its anchor's
  local a b
  a=$(mediana ${TEMPOS[$1-a]}); b=$(mediana ${TEMPOS[${5:-$1}-b]})
  echo "| $2 | $3 | $a s | $b s | $(razao "$a" "$b") | $4 |"
}
ARQUIVOS=$(find "$ARVORE" -type f | wc -l)
BYTES=$(du -sb --apparent-size "$ARVORE" | cut -f1)
CONEXOES=${JOBS:-"the default ($(nproc) cores, at least 4)"}
BLOCO=$(
  echo "<!-- backup-restore start -->"
  echo "## Backup and restore against rsync"
  echo
  echo "Written by \`bench/copia.sh\` on $(date -u '+%Y-%m-%d %H:%M UTC'), on $(nproc) cores:"
  echo "the tree of \`gerador-arvore DIR $FILES\` ($ARQUIVOS files, $((BYTES / 1048576)) MiB), over"
  echo "loopback, vornacli with $CONEXOES connections for the backup and ${RESTORE_JOBS:-its default}"
  echo "for the restore, rsync $(rsync --version | awk 'NR == 1 { print $3 }')"
  echo "through its daemon. Medians of $ROUNDS rounds after a warm-up, the two tools in turn and"
  if $PROPRIO; then
    echo "each first in every other round, each run into a new ext4 file system of 2 GiB (a loop"
    echo "device with direct I/O on the same disk), flushed before it starts. After"
  else
    echo "each first in every other round, the target emptied and flushed before every run. After"
  fi
  echo "the runs every file is checked: content, size and modification second. vornacli's"
  echo "backup ends in a flush of the copy to disk (rsync's does not); the agent makes every"
  echo "stored file durable before it acknowledges it, so the restore is also set against"
  echo "rsync --fsync ($FSYNC_ROUNDS rounds). One store in flight per connection is what a backup"
  echo "server that waits for each reply gets: $SERIAL_ROUNDS rounds on the tree of $SERIAL_FILES files."
  echo
  echo "| run | anchor | vornacli | anchor | ratio | target |"
  echo "|---|---|---|---|---|---|"
  linha backup "backup (agent to here)" "\`rsync -a\` pull" "<= 1.0"
  linha restore "restore (here to agent)" "\`rsync -a\` push" "<= 1.5"
  if ((FSYNC_ROUNDS > 0)); then
    linha restore-fsync "restore (here to agent)" "\`rsync -a --fsync\` push" "<= 0.15"
  fi
  if ((SERIAL_ROUNDS > 0)); then
    serie="restore of $SERIAL_FILES files, one store in flight"
    linha serie-1 "$serie, 1 connection" "\`rsync -a --fsync\` push" "<= 1.0"
    linha serie-1 "$serie, 1 connection" "\`rsync -a\` push" "-" serie-4
    linha serie-4 "$serie, 4 connections" "\`rsync -a\` push" "<= 3.0"
  fi
  echo "<!-- backup-restore end -->"
)
echo "$BLOCO"
ARQUIVO_BLOCO=$TEMP/bloco.md
echo "$BLOCO" > "$ARQUIVO_BLOCO"
bench/bloco.sh "$RESULTS" backup-restore "$ARQUIVO_BLOCO"
echo "wrote $RESULTS"
