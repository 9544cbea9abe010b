#ifndef TCORRIDAGRAVACAO_H
#define TCORRIDAGRAVACAO_H

#include <cstddef>
#include <ctime>
#include <memory>
#include <vector>

#include "InfoObjectLinux.h"
#include "TListaLocal.h"
#include "TLote.h"

class TCanal;
class TContagemCopia;

// A restore's stores: a lot's next files sent as one run of stores, back to
// back so that the agent commits them together, then each checked on the
// agent (TGravacaoConferida) and given its modification time. Made by
// TRestauracaoArvore; enviarCorrida runs on a channel's writer thread, the
// handlers it leaves on that channel's reader thread.
class TCorridaGravacao {
 public:
  typedef TListaLocal::TArquivo TArquivo;
  // A lot and the records of its files on the agent, asked for before any
  // of them is stored.
  struct TLoteRestauracao {
    TLote lote;
    size_t primeiro = 0;
    time_t inicio = 0;  // taken before the records: no store of the lot starts earlier
    std::vector<InfoObjectLinux> antes;  // under the owner's lock until all have come
    size_t chegados = 0;
  };

  // contagem (the counts and progress line) and arquivos (the lots' files)
  // must outlive this. Stores go in chunks of bloco bytes; umaPorVez sends
  // each only once the one before it is acknowledged.
  TCorridaGravacao(TContagemCopia* contagem, std::vector<TArquivo>* arquivos, int bloco,
                   bool umaPorVez);

  // The lot's next files, as one run of stores and then their checks. Its
  // records (antes) must all have come.
  void enviarCorrida(TCanal* canal, TLoteRestauracao* lote);

 private:
  struct TEstadoGravacao;

  // A file opened (and read, when small) for its store; null when it failed
  // (reported).
  std::shared_ptr<TEstadoGravacao> prepararArquivo(const TArquivo& arquivo,
                                                   const InfoObjectLinux& antes, time_t inicio);
  // The file opened and, when small, read whole (false: reported).
  bool abrirOrigem(TEstadoGravacao* estado, std::vector<char>* dados);
  bool lerInteiro(TEstadoGravacao* estado, std::vector<char>* dados);
  void pedirGravacao(TCanal* canal, const std::shared_ptr<TEstadoGravacao>& estado);
  bool tratarGravacao(TCanal* canal, TEstadoGravacao* estado);
  // An old file the store's check could take for the new one gets a time
  // no new file has.
  void distinguirAntigo(TCanal* canal, const std::shared_ptr<TEstadoGravacao>& estado);
  bool enviarArquivo(TCanal* canal, TEstadoGravacao* estado);
  static bool mesmoArquivo(TEstadoGravacao* estado);
  bool conferirGravacao(TCanal* canal, const std::shared_ptr<TEstadoGravacao>& estado);
  bool concluirArquivo(TCanal* canal, TEstadoGravacao* estado);

  TContagemCopia* contagem;
  std::vector<TArquivo>& arquivos;
  int bloco;
  bool umaPorVez;
};

#endif
