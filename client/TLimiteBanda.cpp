#include "TLimiteBanda.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>

namespace {

const int64_t MENOR_PEDACO = 512;
const int64_t MAIOR_PEDACO = 64 * 1024;
const int64_t MAIOR_TAXA = int64_t{1} << 50;

}  // namespace

TLimiteBanda::TLimiteBanda(int64_t bytesPorSegundo, TRelogio::time_point inicio)
    : taxa(bytesPorSegundo),
      capacidade(std::max<double>(static_cast<double>(pedacoMaximo()),
                                  static_cast<double>(bytesPorSegundo) / 8)),
      fichas(capacidade),
      ultimo(inicio) {}

std::chrono::nanoseconds TLimiteBanda::tomar(int64_t n, TRelogio::time_point agora) {
  std::lock_guard<std::mutex> guarda(trava);
  // Another thread may have read the clock later and come first.
  if (agora > ultimo) {
    double segundos = std::chrono::duration<double>(agora - ultimo).count();
    fichas = std::min(capacidade, fichas + segundos * static_cast<double>(taxa));
    ultimo = agora;
  }
  fichas -= static_cast<double>(n);
  if (fichas >= 0) return std::chrono::nanoseconds(0);
  return std::chrono::nanoseconds(std::llround(-fichas / static_cast<double>(taxa) * 1e9));
}

size_t TLimiteBanda::pedacoMaximo() const {
  return static_cast<size_t>(std::clamp(taxa / 16, MENOR_PEDACO, MAIOR_PEDACO));
}

bool TLimiteBanda::lerTaxa(const std::string& texto, int64_t* taxa) {
  char* fim = nullptr;
  errno = 0;
  long long numero = std::strtoll(texto.c_str(), &fim, 10);
  if (texto.empty() || fim == texto.c_str() || errno != 0 || numero <= 0) return false;
  std::string sufixo = fim;
  int64_t vezes = sufixo.empty()                   ? 1
                  : sufixo == "K" || sufixo == "k" ? 1024
                  : sufixo == "M" || sufixo == "m" ? 1024 * 1024
                                                   : 0;
  if (vezes == 0 || numero > MAIOR_TAXA / vezes) return false;
  *taxa = numero * vezes;
  return true;
}
