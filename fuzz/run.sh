#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for SECONDS (default
# 30) from its committed seed corpus. Exits non-zero when a target finds a
# crash; the input is kept under build-fuzz/crashes/ to become a regression
# test. The whole-connection target shuts itself into a temporary folder with
# chroot, so it needs root.
#
#   fuzz/run.sh [SECONDS]
set -euo pipefail
cd "$(dirname "$0")/.."
SEGUNDOS=${1:-30}

CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVORNA_FUZZ=ON \
  -DVORNA_TESTS=OFF -DVORNA_BENCH=OFF > /dev/null
cmake --build build-fuzz -j2 > /dev/null

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
falhas=0
for alvo in FuzzMemoryStream FuzzLogin FuzzConfiguracao FuzzComandos; do
  max=4096
  opcoes=(-max_total_time="$SEGUNDOS" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1)
  if [ "$alvo" = FuzzComandos ]; then
    # Shut in a folder of its own, which holds its corpus and its crashes.
    caixa=$(mktemp -d /tmp/vorna-fuzz-caixa-XXXXXX)
    mkdir -p "$caixa/corpus" "$caixa/crashes"
    cp fuzz/corpus/$alvo/* "$caixa/corpus/"
    caminhos=(/corpus -artifact_prefix=/crashes/)
    ambiente=(env VORNA_FUZZ_CAIXA="$caixa" ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:symbolize=0)
    max=16384
  else
    mkdir -p "build-fuzz/corpus/$alvo" "build-fuzz/crashes/$alvo"
    caminhos=("$PWD/build-fuzz/corpus/$alvo" "$PWD/fuzz/corpus/$alvo"
              -artifact_prefix="$PWD/build-fuzz/crashes/$alvo/")
    ambiente=(env)
  fi
  if "${ambiente[@]}" "build-fuzz/fuzz/$alvo" "${caminhos[@]}" -max_len=$max "${opcoes[@]}" \
      > "build-fuzz/$alvo.log" 2>&1; then
    execs=$(awk '/stat::number_of_executed_units/ { print $2 }' "build-fuzz/$alvo.log")
    echo "$alvo: ${SEGUNDOS} s, $execs inputs, no crash"
  elif grep -q 'this fuzzer runs only as root' "build-fuzz/$alvo.log"; then
    echo "$alvo: skipped, this machine does not let it shut itself in with chroot"
  else
    echo "$alvo: FAILED, see build-fuzz/$alvo.log and build-fuzz/crashes/$alvo/"
    tail -30 "build-fuzz/$alvo.log"
    falhas=1
  fi
  if [ "$alvo" = FuzzComandos ]; then
    mkdir -p build-fuzz/crashes/$alvo
    cp -r "$caixa/crashes/." "build-fuzz/crashes/$alvo/" 2>/dev/null || true
    rm -rf "$caixa"
  fi
done
exit $falhas
