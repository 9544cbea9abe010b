#ifndef TGRAVACAOCONFERIDA_H
#define TGRAVACAOCONFERIDA_H

#include <cstdint>
#include <ctime>

class InfoObjectLinux;

// The check of a store: the protocol acknowledges stores the agent could
// not do, so the file's record is read before and after it. An old file
// that could pass for the new one is first given TDataTexto::SENTINELA.
// Any thread.
class TGravacaoConferida {
 public:
  // Whether the records before and after a store of n bytes show a new file.
  static bool confirmada(const InfoObjectLinux& antes, const InfoObjectLinux& depois, int64_t n);
  // Whether an old file of this record could pass for a new one of n bytes
  // stored from inicio on (same size, a time not earlier).
  static bool antigoAmbiguo(const InfoObjectLinux& antes, int64_t n, time_t inicio);
};

#endif
