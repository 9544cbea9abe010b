#!/usr/bin/env bash
# Runs the whole test suite under strace and checks that every system call
# the agent made (the process started from the AgenteLinuxVorna binary and
# its threads) passes the unit's SystemCallFilter= lines. Run as root, after
# a build:
#   packaging/verificar-filtro.sh BUILD_DIR
# Prints the calls the agent made and exits 1 when one of them is filtered.
set -euo pipefail
export LC_ALL=C
build=$1
unidade=$(dirname "$0")/agentelinuxvorna.service
command -v strace > /dev/null || { echo "strace not found"; exit 77; }
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# Every call name of the groups and names given, nested groups expanded.
expandir() {
  local item
  for item in "$@"; do
    if [[ $item == @* ]]; then
      # shellcheck disable=SC2046
      expandir $(systemd-analyze syscall-filter "$item" | sed '1d; /^\s*#/d; s/^\s*//; /^$/d')
    else
      echo "$item"
    fi
  done
}
# The names the unit's SystemCallFilter= lines allow; a ~ line takes away.
permitidas() {
  local linha
  : > "$tmp/permitidas"
  while read -r linha; do
    if [[ $linha == ~* ]]; then
      # shellcheck disable=SC2086
      expandir ${linha#\~} | sort -u > "$tmp/negadas"
      sort -u "$tmp/permitidas" | comm -23 - "$tmp/negadas" > "$tmp/resto"
      mv "$tmp/resto" "$tmp/permitidas"
    else
      # shellcheck disable=SC2086
      expandir $linha >> "$tmp/permitidas"
    fi
  done < <(grep '^SystemCallFilter=' "$unidade" | cut -d= -f2-)
  sort -u -o "$tmp/permitidas" "$tmp/permitidas"
}
permitidas

strace -f -q -o "$tmp/rastro" ctest --test-dir "$build" -j2 -E empacotamento > "$tmp/ctest" 2>&1 || true
tail -n 3 "$tmp/ctest"

# The agent's processes: the one that exec'd the binary, then every thread or
# child it cloned; each call is counted from the exec on, and a pid leaves the
# set when strace reports its end (-q keeps those lines), so a pid the system
# hands out again is not taken for the agent's. Each call name is written with
# the first line that made it, for the report below.
python3 - "$tmp/rastro" "$tmp/exemplos" > "$tmp/usadas" <<'PY'
import re, sys
agente, executando, usadas, perdidas = set(), set(), {}, []

# strace names a number it has no entry for syscall_0xN. Every x86-64 call
# is numbered below 0x200 (x32's are above, with 0x40000000 added, and a
# 64-bit program does not make them). Now and then, as a test kills the
# agent, strace reports a dying thread entering a call whose number is no
# call's: an address (syscall_0x7ffb915ed000, its arguments shifted by one
# register, never finished) or syscall_0x1d07. The agent never computes a
# call's number, so such a line is the tracer's, not a call the filter would
# see; it is printed, not counted.
def impossivel(nome):
    m = re.fullmatch(r'syscall_0x([0-9a-f]+)', nome)
    return bool(m) and int(m.group(1), 16) >= 0x200
chamada = re.compile(r'^(\d+)\s+(?:<\.\.\. (\w+) resumed>|(\w+)\()')
for linha in open(sys.argv[1], errors="replace"):
    linha = linha.rstrip()
    m = chamada.match(linha)
    if not m:
        fim = re.match(r'^(\d+)\s+\+\+\+ (?:exited|killed)', linha)
        if fim:
            agente.discard(fim.group(1))
        continue
    pid, nome = m.group(1), m.group(2) or m.group(3)
    if nome == "execve" and m.group(3) and re.search(r'execve\("[^"]*/AgenteLinuxVorna"', linha):
        executando.add(pid)
    if nome == "execve" and pid in executando and linha.endswith("= 0"):
        executando.discard(pid)
        agente.add(pid)
    if pid not in agente or linha.endswith("<unfinished ...>"):
        continue
    if impossivel(nome):
        perdidas.append(linha)
        continue
    usadas.setdefault(nome, linha)
    filho = re.search(r'= (\d+)$', linha)
    if nome in ("clone", "clone3", "fork", "vfork") and filho:
        agente.add(filho.group(1))
for linha in perdidas:
    print(f"not a call (tracer lost its place): {linha}", file=sys.stderr)
with open(sys.argv[2], "w") as exemplos:
    for nome in sorted(usadas):
        print(nome)
        exemplos.write(f"{nome}\t{usadas[nome]}\n")
PY
sort -o "$tmp/usadas" "$tmp/usadas"
[ -s "$tmp/usadas" ] || { echo "no call of the agent was seen"; exit 1; }
echo "calls made by the agent: $(tr '\n' ' ' < "$tmp/usadas")"
filtradas=$(comm -23 "$tmp/usadas" "$tmp/permitidas")
if [ -n "$filtradas" ]; then
  echo "filtered by the unit: $filtradas"
  for nome in $filtradas; do
    grep -m1 "^$nome"$'\t' "$tmp/exemplos" | cut -f2-
  done
  exit 1
fi
echo "every call passes the unit's filter"
