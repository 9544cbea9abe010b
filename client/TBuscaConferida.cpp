#include "TBuscaConferida.h"

#include "InfoObjectLinux.h"

TBuscaConferida::TBuscaConferida(int64_t tamanho, const std::string& data, bool temData,
                                 time_t quando)
    : tamanho(tamanho), data(data), temData(temData), quando(quando) {}

TBuscaConferida::TVeredito TBuscaConferida::julgar(const InfoObjectLinux& depois) const {
  if (anunciado < 0) return SUMIU;
  // The agent reads the file after its record was taken and stops at the
  // size it announced: only a new record shows what changed meanwhile.
  bool igual = depois.getTipo() == ARQUIVO && depois.getTamanho() == tamanho &&
               depois.getDataUltimaModificacao() == data && anunciado == tamanho && !excesso;
  if (igual) return leituraFalhou ? NAO_LIDA : INTEIRA;
  if (leituraFalhou && depois.getTamanho() < anunciado) return ENCOLHEU;
  return MUDOU;
}

bool TBuscaConferida::concluir(std::string* razao) {
  // Not durable yet: the whole copy is made durable once, at its end.
  return copia.colocar(temData, quando, false, razao);
}
