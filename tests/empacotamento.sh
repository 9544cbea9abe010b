#!/usr/bin/env bash
# Installs the build into a temporary prefix and builds the Debian package;
# checks that both hold the agent, the client and the service unit.
#   empacotamento.sh BUILD_DIR
set -euo pipefail
build=$1
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
cmake --install "$build" --prefix "$tmp/prefixo" > /dev/null
for f in bin/AgenteLinuxVorna bin/vornacli lib/systemd/system/agentelinuxvorna.service; do
  [ -f "$tmp/prefixo/$f" ] || { echo "install: $f is missing"; exit 1; }
done
"$tmp/prefixo/bin/vornacli" --help | grep -q '^usage: vornacli' || { echo "installed vornacli does not run"; exit 1; }
if ! command -v dpkg-deb > /dev/null; then
  echo "dpkg-deb not found: package not checked"
  exit 77
fi
(cd "$build" && cpack -G DEB -B "$tmp/pacote" > /dev/null)
deb=$(ls "$tmp"/pacote/*.deb)
conteudo=$(dpkg-deb -c "$deb")
for f in ./usr/bin/AgenteLinuxVorna ./usr/bin/vornacli ./usr/lib/systemd/system/agentelinuxvorna.service; do
  grep -q " $f\$" <<< "$conteudo" || { echo "package: $f is missing"; exit 1; }
done
[ "$(dpkg-deb -f "$deb" Package)" = agentelinuxvorna ] || { echo "package: wrong name"; exit 1; }
grep -q '^Restart=on-failure$' "$tmp/prefixo/lib/systemd/system/agentelinuxvorna.service"
echo "install and package ok: $(basename "$deb")"
