#include "TGravacaoConferida.h"

#include "InfoObjectLinux.h"
#include "TDataTexto.h"

namespace {

// How far the agent's clock may be behind ours without a store's check
// taking a kept old file for the new one.
const time_t FOLGA_RELOGIO = 2;

}  // namespace

bool TGravacaoConferida::confirmada(const InfoObjectLinux& antes, const InfoObjectLinux& depois,
                                    int64_t n) {
  // The new file has this size and a new time: an old file the agent kept
  // (a full disk, say) does not pass, even with the same size. An old file
  // that could have the new one's time was given another before the store.
  bool antigoIgual = antes.getTipo() == ARQUIVO && !antes.getDataUltimaModificacao().empty() &&
                     antes.getDataUltimaModificacao() == depois.getDataUltimaModificacao() &&
                     antes.getTamanho() == depois.getTamanho();
  return depois.getTipo() == ARQUIVO && depois.getTamanho() == n && !antigoIgual;
}

bool TGravacaoConferida::antigoAmbiguo(const InfoObjectLinux& antes, int64_t n, time_t inicio) {
  if (antes.getTipo() != ARQUIVO || antes.getTamanho() != n) return false;
  time_t quando;
  return !TDataTexto::lerRegistro(antes.getDataUltimaModificacao(), &quando) ||
         quando >= inicio - FOLGA_RELOGIO;
}
