#!/usr/bin/env bash
# Replaces one block of a results page, the lines from "<!-- NAME start -->"
# to "<!-- NAME end -->", with the block in FILE (which holds those lines);
# appends it when the page has no such block yet. Other blocks stay.
#
#   bench/bloco.sh PAGE NAME FILE
set -euo pipefail
pagina=$1 nome=$2 bloco=$3
mkdir -p "$(dirname "$pagina")"
[ -f "$pagina" ] || printf '# Performance\n\n' > "$pagina"
novo=$(mktemp)
awk -v nome="$nome" -v bloco="$bloco" '
  function copiar(   l) { while ((getline l < bloco) > 0) print l; close(bloco) }
  $0 == "<!-- " nome " start -->" { copiar(); dentro = 1; feito = 1; next }
  dentro && $0 == "<!-- " nome " end -->" { dentro = 0; next }
  !dentro { print }
  END { if (!feito) { print ""; copiar() } }
' "$pagina" > "$novo"
mv "$novo" "$pagina"
