# Sourced by the restore benchmarks (bench/retomada.sh, bench/conexoes.sh):
# builds the release binaries, makes the tree of gerador-arvore with FILES
# files under BENCH_DATA once, starts the agent (AGENT, default this tree's)
# on a free loopback port, and defines limpar, which makes the target ALVO
# empty: a new ext4 file system on a loop device with direct I/O for every
# run as root (as bench/copia.sh does), elsewhere a plain folder, flushed.
# lista DIR gives every regular file with its size and modification second.
. bench/comum.sh
FILES=${FILES:-100000}
DATA=${BENCH_DATA:-/tmp/vorna-bench}

compilar_release

mkdir -p "$DATA"
ARVORE=$DATA/arvore$((FILES / 1000))k
if [ ! -e "$ARVORE.pronto" ]; then  # made once, reused by later runs (as bench/copia.sh does)
  rm -rf "$ARVORE"
  "$B/gerador-arvore" "$ARVORE" "$FILES" > /dev/null
  touch "$ARVORE.pronto"
fi

TEMP=$(mktemp -d)
ALVO=$TEMP/agente/volta
IMAGEM=$TEMP/volta.img
PID_AGENTE=""
PID_CLI=""  # a vornacli the script runs in the background
desmontar() { desmontar_disco "$ALVO" "$IMAGEM"; }
encerrar() {
  for pid in $PID_CLI $PID_AGENTE; do
    kill -TERM "$pid" 2> /dev/null || true
    wait "$pid" 2> /dev/null || true
  done
  desmontar
  rm -rf "$TEMP"
}
trap encerrar EXIT
PROPRIO=false
if disco_proprio_possivel; then PROPRIO=true; fi
limpar() {  # an empty target, on a new file system when PROPRIO
  alvo_novo "$ALVO" "$IMAGEM"
  sync
}

iniciar_agente "$TEMP/agente"

