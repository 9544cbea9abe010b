#!/usr/bin/env bash
# Times vornacli backup and restore of the 100,000-file tree against rsync -a
# through an rsync daemon on loopback (pull and push), side by side, the
# rounds interleaved, and checks after every run that each file arrived with
# its content and modification time. Writes the medians to the block between
# "<!-- backup-restore start -->" and "<!-- backup-restore end -->" of
# docs/PERFORMANCE.md (appended when missing), leaving the rest as it is.
#
#   bench/copia.sh        (ROUNDS=5, BENCH_DATA=/tmp/vorna-bench, JOBS and RESTORE_JOBS:
#                          vornacli's defaults)
#
# FSYNC_ROUNDS (default 3, 0 to leave it out) times rsync push with --fsync as
# well: the agent makes every stored file durable before it acknowledges it.
# SERIAL_ROUNDS (default 3, 0 to leave it out) times the restore with one store
# in flight per connection (--serial-stores), what a backup server that waits
# for each reply gets, against the same rsync push.
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

exigir_rsync

compilar_release

mkdir -p "$DATA"
ARVORE=$DATA/arvore100k
if [ ! -e "$ARVORE.pronto" ]; then  # made once, reused by later runs (as bench/run.sh does)
  rm -rf "$ARVORE"
  "$B/gerador-arvore" "$ARVORE" 100000 > /dev/null
  touch "$ARVORE.pronto"
fi
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
conferir() {  # conferir COPY NAME: the copy holds every file, identical
  if [ "$(lista "$1")" != "$LISTA_ARVORE" ]; then
    echo "$2: files, sizes or modification times differ" >&2
    exit 1
  fi
  # Links are not files: vornacli leaves them out (the agent never serves them).
  if diff -r --no-dereference "$ARVORE" "$1" | grep -v "^Only in $ARVORE/.*: link-" | grep -q .; then
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
restore() {
  limpar "$VOLTA"
  "$B/vornabench" run "$VORNACLI" -p "$PORTA" "${RJ[@]}" "$@" restore "$ARVORE" "$VOLTA"
}
push() {
  limpar "$VOLTA_RSYNC"
  "$B/vornabench" run rsync -a "$@" "$ARVORE/" "rsync://127.0.0.1:$PORTA_RSYNC/destino/"
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
  restore_serie() { restore --serial-stores; }
  medir restore-serial "$SERIAL_ROUNDS" restore_serie push
  conferir "$VOLTA" "vornacli restore --serial-stores"
fi

razao() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
linha() {  # linha NAME TEXT ANCHOR TARGET
  local a b
  a=$(mediana ${TEMPOS[$1-a]}); b=$(mediana ${TEMPOS[$1-b]})
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
  echo "the tree of \`gerador-arvore DIR 100000\` ($ARQUIVOS files, $((BYTES / 1048576)) MiB), over"
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
  echo "rsync --fsync ($FSYNC_ROUNDS rounds)."
  echo
  echo "| run | anchor | vornacli | anchor | ratio | target |"
  echo "|---|---|---|---|---|---|"
  linha backup "backup (agent to here)" "\`rsync -a\` pull" "<= 1.0"
  linha restore "restore (here to agent)" "\`rsync -a\` push" "<= 1.5"
  if ((FSYNC_ROUNDS > 0)); then
    linha restore-fsync "restore (here to agent)" "\`rsync -a --fsync\` push" "<= 0.15"
  fi
  if ((SERIAL_ROUNDS > 0)); then
    linha restore-serial "restore, one store in flight per connection" "\`rsync -a\` push" "-"
  fi
  echo "<!-- backup-restore end -->"
)
echo "$BLOCO"
ARQUIVO_BLOCO=$TEMP/bloco.md
echo "$BLOCO" > "$ARQUIVO_BLOCO"
bench/bloco.sh "$RESULTS" backup-restore "$ARQUIVO_BLOCO"
echo "wrote $RESULTS"
