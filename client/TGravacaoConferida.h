#ifndef TGRAVACAOCONFERIDA_H
#define TGRAVACAOCONFERIDA_H

#include <cstdint>
#include <ctime>
#include <string>

#include "InfoObjectLinux.h"

class MemoryStream;

// One store checked on the agent, the sequence that vornacli put runs over
// a plain connection (TTransferenciaArquivo::gravarVerificando) and a
// restore sends pipelined (TRestauracaoArvore). The protocol acknowledges
// stores the agent could not do, so:
//  1. the file's record is read before the store (guardarAntes);
//  2. an old file that could pass for the new one (same size, a time not
//     earlier than inicio) first gets TDataTexto::SENTINELA (pedidoSentinela)
//     and its record is read again (guardarAntes);
//  3. the store: pedidoGravacao and the n bytes;
//  4. the record after it is set against the one before (conferir).
// Owned by one store; its steps run one at a time, on any thread.
class TGravacaoConferida {
 public:
  TGravacaoConferida() = default;
  // inicio is taken before step 1: no store of this file starts earlier.
  TGravacaoConferida(const std::string& remoto, int64_t n, time_t inicio);

  // Steps 1 and 2: the record before. True when step 2 must come first.
  bool guardarAntes(const InfoObjectLinux& antes);
  // Step 2's request (command 12).
  MemoryStream pedidoSentinela() const;
  // Step 3's request (command 2); the n bytes follow it.
  MemoryStream pedidoGravacao(int bloco) const;
  // Step 4: false with the reason when the record after shows no new file.
  bool conferir(const InfoObjectLinux& depois, std::string* motivo) const;

  const std::string& getRemoto() const { return remoto; }

 private:
  std::string remoto;
  int64_t n = 0;
  time_t inicio = 0;
  InfoObjectLinux antes;
};

#endif
