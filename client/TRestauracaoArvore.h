#ifndef TRESTAURACAOARVORE_H
#define TRESTAURACAOARVORE_H

#include <sys/stat.h>
#include <sys/types.h>

#include <condition_variable>
#include <cstdint>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "InfoObjectLinux.h"
#include "TCopiaArvore.h"
#include "TListaLocal.h"

class TCanal;

// A restore of the local folder local into remoto on the agent over the
// channels of a TCopiaArvore: the local tree is listed first, each folder
// is made on the agent once its parent is known to be a real folder, files
// the agent already holds alike (size and modification second) are left
// alone, each other file is stored and then checked on the agent
// (TGravacaoConferida), a folder's stores in short runs ahead of their
// checks so that the agent commits them together, and the folders get
// their times last. Made and run by TCopiaArvore; its handlers run on the
// channels' reader threads.
class TRestauracaoArvore {
 public:
  TRestauracaoArvore(TCopiaArvore* copia, const std::string& local, const std::string& remoto);
  ~TRestauracaoArvore();

  // The local tree, folders before what they hold.
  void listarLocal();
  // Everything listed onto the agent. False when a connection was lost.
  bool copiar();

 private:
  typedef TListaLocal::TPasta TPasta;
  typedef TListaLocal::TArquivo TArquivo;
  // A lot and the records of its files on the agent, asked for before any
  // of them is stored.
  struct TLoteRestauracao {
    TCopiaArvore::TLote lote;
    size_t primeiro = 0;
    time_t inicio = 0;  // taken before the records: no store of the lot starts earlier
    std::vector<InfoObjectLinux> antes;  // under trava until all have come
    size_t chegados = 0;
  };
  struct TEstadoGravacao;

  // Drops the files the agent already holds with the same size and
  // modification second, counted as unchanged. False when the listing failed.
  bool deixarIguais();
  bool criarPastasRemotas();
  void pedirPastaRemota(TCanal* canal, size_t indice);
  bool tratarPastaRemota(TCanal* canal, size_t indice);
  // The reply of command 7 after a refused folder: a real one already there?
  bool conferirPastaExistente(TCanal* canal, size_t indice, const std::string& motivo);
  void confirmarPastaRemota(TCanal* canal, size_t indice);
  // Files whose folder on the agent was refused: counted as failed, dropped.
  void descartarRecusados();
  bool darDatasRemotas();

  bool produzirRestauracao(TCanal* canal, const TCopiaArvore::TTrabalho& trabalho,
                           TLoteRestauracao* lote);
  // Asks for the records of the lot's files on the agent before any store.
  void pedirRegistros(TCanal* canal, TLoteRestauracao* lote);
  bool guardarRegistro(TCanal* canal, TLoteRestauracao* lote, size_t k);
  // False when the connection was lost while they were awaited.
  bool aguardarRegistros(TCanal* canal, TLoteRestauracao* lote);

  // The lot's next files, as one run of stores and then their checks.
  void enviarCorrida(TCanal* canal, TLoteRestauracao* lote);
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

  TCopiaArvore* copia;
  std::string remoto;
  TListaLocal lista;
  std::vector<TPasta>& pastas;  // lista's
  std::vector<TArquivo>& arquivos;
  std::mutex trava;  // the lots' records
  std::condition_variable registrosChegaram;
};

#endif
