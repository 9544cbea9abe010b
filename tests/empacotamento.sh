#!/usr/bin/env bash
# Installs the build into a temporary root and builds the Debian package;
# checks that both hold what a service needs, that lintian has nothing to say,
# that systemd rates and verifies the unit, that logrotate takes its file and
# that the first installation writes a user file and a configuration the
# agent accepts.
#   empacotamento.sh BUILD_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
tmp=$(mktemp -d)
agente=
trap '[ -n "$agente" ] && kill "$agente" 2> /dev/null; rm -rf "$tmp"' EXIT
falha() { echo "$*"; exit 1; }

DESTDIR=$tmp/instalado cmake --install "$build" --prefix /usr > /dev/null
for f in usr/bin/AgenteLinuxVorna usr/bin/vornacli usr/lib/systemd/system/agentelinuxvorna.service \
  usr/share/man/man8/AgenteLinuxVorna.8.gz usr/share/man/man1/vornacli.1.gz \
  usr/share/doc/agentelinuxvorna/copyright usr/share/doc/agentelinuxvorna/changelog.gz \
  usr/share/bash-completion/completions/vornacli etc/logrotate.d/agentelinuxvorna; do
  [ -f "$tmp/instalado/$f" ] || falha "install: $f is missing"
done
"$tmp/instalado/usr/bin/vornacli" --help | grep -q '^usage: vornacli' || falha "installed vornacli does not run"

# The tools the checks need; a root run on a fresh machine installs them.
faltando=()
command -v dpkg-deb > /dev/null || faltando+=(dpkg)
command -v lintian > /dev/null || faltando+=(lintian)
command -v logrotate > /dev/null || faltando+=(logrotate)
command -v systemd-analyze > /dev/null || faltando+=(systemd)
command -v man > /dev/null || faltando+=(man-db)
[ -f /usr/share/bash-completion/bash_completion ] || faltando+=(bash-completion)
if [ ${#faltando[@]} -gt 0 ]; then
  if [ "$(id -u)" != 0 ]; then
    echo "missing ${faltando[*]}: package not checked"
    exit 77
  fi
  apt-get update > /dev/null
  DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${faltando[@]}" > /dev/null
fi

echo "== bash completion"
# What the installed completion offers for the words before the cursor.
completar() {
  bash -c 'source /usr/share/bash-completion/bash_completion
    source "$1"; shift
    COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); COMP_LINE="$*"; COMP_POINT=${#COMP_LINE}
    _vornacli; echo "${COMPREPLY[*]}"' _ "$tmp/instalado/usr/share/bash-completion/completions/vornacli" vornacli "$@"
}
[ "$(completar ba)" = backup ] || falha "completion: commands"
[ "$(completar -p 9999 res)" = restore ] || falha "completion: the command after an option's value"
[ "$(completar backup src dst --dr)" = --dry-run ] || falha "completion: backup's options"
[ "$(completar restore --ex)" = "--exclude --exclude-from" ] || falha "completion: restore's options"
[ -z "$(completar restore --del)" ] || falha "completion: restore offers --delete"
[ -z "$(completar ls --bw)" ] || falha "completion: ls offers --bwlimit"
echo "completion: commands and each command's options"

(cd "$build" && cpack -G DEB -B "$tmp/pacote" > /dev/null)
deb=$(ls "$tmp"/pacote/*.deb)
[ "$(dpkg-deb -f "$deb" Package)" = agentelinuxvorna ] || falha "package: wrong name"
dpkg-deb -x "$deb" "$tmp/raiz"
dpkg-deb -e "$deb" "$tmp/controle"
[ "$(cat "$tmp/controle/conffiles")" = /etc/logrotate.d/agentelinuxvorna ] || falha "conffiles"

echo "== lintian"
lintian --fail-on error,warning "$deb" 2>&1 | grep -v 'root privileges' || true
lintian --fail-on error,warning "$deb" > /dev/null 2>&1 || falha "lintian reports errors or warnings"
echo "lintian: no error, no warning"

echo "== systemd"
unidade_instalada=$tmp/raiz/usr/lib/systemd/system/agentelinuxvorna.service
exposicao=$(systemd-analyze security --offline=yes "$unidade_instalada" 2>&1 | sed -n 's/.*Overall exposure level for [^:]*: \([0-9.]*\).*/\1/p')
echo "exposure of agentelinuxvorna.service: $exposicao"
[ -n "$exposicao" ] || falha "no exposure figure"
awk -v e="$exposicao" 'BEGIN { exit !(e <= 3.0) }' || falha "exposure $exposicao is above 3.0"
# verify looks for the binary, the manual page and the targets under the root.
cp -rn /usr/lib/systemd/system/. "$tmp/raiz/usr/lib/systemd/system/"
MANPATH=$tmp/raiz/usr/share/man systemd-analyze verify --root="$tmp/raiz" agentelinuxvorna.service \
  > "$tmp/verify" 2>&1 || { cat "$tmp/verify"; falha "systemd-analyze verify failed"; }
[ ! -s "$tmp/verify" ] || { cat "$tmp/verify"; falha "systemd-analyze verify reports problems"; }

echo "== logrotate"
logrotate -d -s "$tmp/estado" "$tmp/raiz/etc/logrotate.d/agentelinuxvorna" > "$tmp/rotacao" 2>&1 ||
  { cat "$tmp/rotacao"; falha "logrotate refuses the file"; }
grep -qi 'error' "$tmp/rotacao" && { cat "$tmp/rotacao"; falha "logrotate reports an error"; }
grep -q 'rotating pattern: /var/log/AgenteLinuxVorna\*.log  weekly' "$tmp/rotacao" ||
  { cat "$tmp/rotacao"; falha "logrotate does not rotate the agent's logs weekly"; }
grep -q 'log files >= 104857600 are rotated earlier' "$tmp/rotacao" ||
  { cat "$tmp/rotacao"; falha "logrotate has no size bound for the agent's logs"; }

if [ "$(id -u)" != 0 ] || ! unshare --mount true 2> /dev/null; then
  echo "not root, or no mount namespace: the first installation is not checked"
  echo "package ok: $(basename "$deb")"
  exit 0
fi

echo "== first installation"
# The maintainer scripts write to /var/lib and call systemd's helpers: give
# them an empty /var/lib of their own, a /run that says systemd runs, and
# stand-ins for the helpers that only write down how they were called.
mkdir -p "$tmp/varlib" "$tmp/run/systemd/system" "$tmp/ajudantes"
for ajudante in deb-systemd-helper deb-systemd-invoke systemctl; do
  printf '#!/bin/sh\necho "%s $*" >> "%s"\n' "$ajudante" "$tmp/chamadas" > "$tmp/ajudantes/$ajudante"
  chmod +x "$tmp/ajudantes/$ajudante"
done
# script arguments...: runs the maintainer script; its calls of the helpers in $tmp/chamadas.
manter() {
  : > "$tmp/chamadas"
  unshare --mount sh -c "mount --bind '$tmp/varlib' /var/lib && mount --bind '$tmp/run' /run &&
    PATH='$tmp/ajudantes':\$PATH sh '$tmp/controle/$1' \"\$@\"" manter "${@:2}" > "$tmp/postinst.out"
}
# The helpers' calls expected, one per argument.
chamadas() {
  [ "$(cat "$tmp/chamadas")" = "$(printf '%s\n' "$@")" ] ||
    falha "maintainer script called: $(cat "$tmp/chamadas")"
}
unidade=agentelinuxvorna.service
habilitar=("deb-systemd-helper unmask $unidade" "deb-systemd-helper --quiet was-enabled $unidade"
  "deb-systemd-helper enable $unidade" "systemctl --system daemon-reload")
manter postinst configure
chamadas "${habilitar[@]}" "deb-systemd-invoke start $unidade"
estado=$tmp/varlib/agentelinuxvorna
cat "$tmp/postinst.out"
grep -q "/var/lib/agentelinuxvorna/UserAgenteVorna.config" "$tmp/postinst.out" || falha "postinst does not say where the password is"
[ "$(stat -c '%a %U:%G' "$estado")" = "700 root:root" ] || falha "state folder: $(stat -c '%a %U:%G' "$estado")"
[ "$(stat -c '%a %U:%G' "$estado/UserAgenteVorna.config")" = "600 root:root" ] || falha "user file mode"
[ "$(cat "$estado/vornaConfig.txt")" = "$(printf 'porta=9999\nquantTentativaDeConexao=10\nmaxConexoesSemLogin=256\nmaxSemLoginPorEndereco=8\npenalidadeLogin=5')" ] ||
  falha "configuration: $(cat "$estado/vornaConfig.txt")"
[ "$(sed -n 1,3p "$estado/UserAgenteVorna.config")" = "$(printf '[AUTHENTICATION]\nPassword\n[USER]')" ] ||
  falha "user file: not in Password mode"
senha=$(sed -n 's/^backup = //p' "$estado/UserAgenteVorna.config")
[[ $senha =~ ^[A-Za-z0-9]{32}$ ]] || falha "password: not 32 letters and digits"
antes=$(md5sum "$estado"/*)
echo "porta=9" >> "$estado/vornaConfig.txt"
# An upgrade: the old package's prerm leaves the agent running, the new
# postinst restarts it on the new binary.
manter prerm upgrade 8.0.1
chamadas
manter postinst configure 8.0.0
chamadas "${habilitar[@]}" "deb-systemd-invoke restart $unidade"
[ ! -s "$tmp/postinst.out" ] || falha "an upgrade prints the password notice again"
grep -q '^porta=9$' "$estado/vornaConfig.txt" || falha "an upgrade rewrote the configuration"
[ "$(md5sum "$estado/UserAgenteVorna.config")" = "$(echo "$antes" | grep UserAgenteVorna)" ] ||
  falha "an upgrade rewrote the user file"
cp "$estado/UserAgenteVorna.config" "$tmp/agente.config"
cp "$estado/vornaConfig.txt" "$tmp/agente.txt"
# A removal stops the agent and masks the service; purging forgets it all.
manter prerm remove
chamadas "deb-systemd-invoke stop $unidade"
manter postrm remove
chamadas "deb-systemd-helper mask $unidade" "systemctl --system daemon-reload"
[ -f "$estado/UserAgenteVorna.config" ] || falha "a removal removed the user file"
manter postrm purge
chamadas "deb-systemd-helper purge $unidade" "deb-systemd-helper unmask $unidade" \
  "systemctl --system daemon-reload"
[ ! -e "$estado" ] || falha "purge left $(ls -A "$estado")"
grep -q '^ExecStart=/usr/bin/AgenteLinuxVorna$' "$unidade_instalada" ||
  falha "ExecStart does not name /usr/bin/AgenteLinuxVorna"

echo "== the agent with the installed files"
mkdir "$tmp/trabalho"
sed '/^porta=/d' "$tmp/agente.txt" > "$tmp/trabalho/vornaConfig.txt"
cp "$tmp/agente.config" "$tmp/trabalho/UserAgenteVorna.config"
for _ in 1 2 3 4 5 6 7 8 9 10; do
  porta=$((20000 + RANDOM % 40000))
  (exec 3<> "/dev/tcp/127.0.0.1/$porta") 2> /dev/null || break
done
(cd "$tmp/trabalho" && exec "$tmp/raiz/usr/bin/AgenteLinuxVorna" "$porta" > saida.txt 2>&1) &
agente=$!
for _ in $(seq 300); do  # up to 30 s: a loaded machine starts it slowly
  VORNA_PASSWORD=$senha "$tmp/raiz/usr/bin/vornacli" -p "$porta" -u backup version > /dev/null 2>&1 && break
  sleep 0.1
done
[ "$(VORNA_PASSWORD=$senha "$tmp/raiz/usr/bin/vornacli" -p "$porta" -u backup version)" = 8 ] ||
  falha "the generated user and password do not log in"
set +e
VORNA_PASSWORD=errada "$tmp/raiz/usr/bin/vornacli" -p "$porta" -u backup version > /dev/null 2>&1
status=$?
set -e
[ "$status" = 3 ] || falha "a wrong password was not refused (status $status)"
kill "$agente"
wait "$agente" 2> /dev/null || true
rm -f "/var/log/AgenteLinuxVorna$agente.log"
agente=
echo "package ok: $(basename "$deb")"
