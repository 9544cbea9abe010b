#ifndef TBUSCACONFERIDA_H
#define TBUSCACONFERIDA_H

#include <cstdint>
#include <ctime>
#include <string>

#include "TArquivoTemporario.h"

class InfoObjectLinux;

// One fetch of a backup and its check: the file's temporary copy, the
// record the copy must match (size and modification second: the listed one,
// or the one seen after an attempt during which the file changed), what the
// fetch saw, and what a fresh record taken after it says. The copy is
// removed unless it was renamed into place. Used by one channel's reader.
class TBuscaConferida {
 public:
  enum TVeredito { INTEIRA, MUDOU, ENCOLHEU, NAO_LIDA, SUMIU };

  TBuscaConferida(int64_t tamanho, const std::string& data, bool temData, time_t quando);
  virtual ~TBuscaConferida() = default;

  TBuscaConferida(const TBuscaConferida&) = delete;
  TBuscaConferida& operator=(const TBuscaConferida&) = delete;

  // The temporary copy beside nome in the folder pastaFd (which it keeps a
  // duplicate of). False with errno.
  bool criar(int pastaFd, const std::string& nome) { return copia.criar(pastaFd, nome); }
  // Where the fetched bytes go, in order.
  TArquivoTemporario* getCopia() { return &copia; }
  int64_t getTamanho() const { return tamanho; }
  // The size the agent announced, and how its chunks ended.
  void anunciar(int64_t tamanho) { anunciado = tamanho; }
  void marcarLeituraFalha() { leituraFalhou = true; }
  void marcarExcesso() { excesso = true; }
  // What the fetch means, once the fresh record after it is known.
  TVeredito julgar(const InfoObjectLinux& depois) const;
  // Gives the copy its time and its name. False with the reason.
  bool concluir(std::string* motivo);

  std::string motivo;  // a local failure, which no fetch again would mend

 private:
  int64_t tamanho;
  std::string data;
  bool temData;
  time_t quando;
  int64_t anunciado = -1;
  bool leituraFalhou = false;
  bool excesso = false;
  TArquivoTemporario copia;
};

#endif
