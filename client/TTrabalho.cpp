#include "TTrabalho.h"

#include <numeric>

bool TTrabalho::tomarLote(TLote* lote) {
  std::lock_guard<std::mutex> guarda(trava);
  size_t total = tamanhos.size();
  if (cursor >= total) return false;
  lote->proximo = lote->fim = cursor;
  int64_t bytes = 0;
  while (lote->fim < total && lote->fim - lote->proximo < LOTE_ARQUIVOS &&
         pastas[lote->fim] == pastas[lote->proximo] &&
         (lote->fim == lote->proximo || bytes + tamanhos[lote->fim] <= LOTE_BYTES)) {
    bytes += tamanhos[lote->fim++];
  }
  cursor = lote->fim;
  return true;
}

int64_t TTrabalho::getBytes() const {
  return std::accumulate(tamanhos.begin(), tamanhos.end(), int64_t{0});
}
