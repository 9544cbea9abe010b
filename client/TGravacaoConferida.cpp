#include "TGravacaoConferida.h"

#include "ClienteVorna.h"
#include "MemoryStream.h"
#include "TDataTexto.h"

namespace {

// How far the agent's clock may be behind ours without a store's check
// taking a kept old file for the new one.
const time_t FOLGA_RELOGIO = 2;

}  // namespace

TGravacaoConferida::TGravacaoConferida(const std::string& remoto, int64_t n, time_t inicio)
    : remoto(remoto), n(n), inicio(inicio) {}

bool TGravacaoConferida::guardarAntes(const InfoObjectLinux& registro) {
  antes = registro;
  if (antes.getTipo() != ARQUIVO || antes.getTamanho() != n) return false;
  time_t quando;
  return !TDataTexto::lerRegistro(antes.getDataUltimaModificacao(), &quando) ||
         quando >= inicio - FOLGA_RELOGIO;
}

MemoryStream TGravacaoConferida::pedidoSentinela() const {
  MemoryStream pedido;
  InfoObjectLinux(remoto, ARQUIVO, 0, TDataTexto::SENTINELA).writeToMemoryStream(&pedido);
  return pedido;
}

MemoryStream TGravacaoConferida::pedidoGravacao(int bloco) const {
  return ClienteVorna::pedidoDeGravacao(remoto, bloco, n);
}

bool TGravacaoConferida::conferir(const InfoObjectLinux& depois, std::string* motivo) const {
  // The new file has this size and a new time: an old file the agent kept
  // (a full disk, say) does not pass, even with the same size. An old file
  // that could have the new one's time was given another in step 2.
  bool antigoIgual = antes.getTipo() == ARQUIVO && !antes.getDataUltimaModificacao().empty() &&
                     antes.getDataUltimaModificacao() == depois.getDataUltimaModificacao() &&
                     antes.getTamanho() == depois.getTamanho();
  if (depois.getTipo() == ARQUIVO && depois.getTamanho() == n && !antigoIgual) return true;
  *motivo = "the agent could not store the file (its log says why)";
  return false;
}
