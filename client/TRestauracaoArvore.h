#ifndef TRESTAURACAOARVORE_H
#define TRESTAURACAOARVORE_H

#include <sys/types.h>

#include <condition_variable>
#include <cstdint>
#include <ctime>
#include <mutex>
#include <string>
#include <vector>

#include "InfoObjectLinux.h"
#include "TCorridaGravacao.h"
#include "TListaLocal.h"

class TCanais;
class TCanal;
class TContagemCopia;
class TRelatorioSimulacao;
class TTrabalho;
struct TOpcoesCopia;

// A restore of the local folder local into remoto on the agent over a
// copy's channels (TCanais), its counts and progress line in a
// TContagemCopia: the local tree and the agent's side are listed
// first, each folder is made on the agent once its parent is known to be a
// real folder, files the agent already holds alike (size and modification
// second) are left alone, each other file is stored and then checked on the
// agent in short runs (TCorridaGravacao), and the folders get their times
// last. What filtro leaves out is neither listed nor stored. A dry run
// (simulacao) makes no folder and stores nothing: it asks whether each
// folder is there and a real one, and reports the files it would store.
// Made and run by TCopiaArvore; its handlers run on the channels' reader
// threads.
class TRestauracaoArvore {
 public:
  // canais and contagem must outlive this; of opcoes it keeps the chunk
  // size, the stores one at a time, the filter and the dry run's report.
  TRestauracaoArvore(TCanais* canais, TContagemCopia* contagem, const TOpcoesCopia& opcoes,
                     const std::string& local, const std::string& remoto);
  ~TRestauracaoArvore();

  // The local tree, folders before what they hold, while the agent's side
  // is listed on the first channel.
  void listar();
  // Everything listed onto the agent. False when a connection was lost.
  bool copiar();

 private:
  typedef TListaLocal::TPasta TPasta;
  typedef TListaLocal::TArquivo TArquivo;
  typedef TCorridaGravacao::TLoteRestauracao TLoteRestauracao;

  // The agent's side into noAgente, on the first channel; false when it
  // could not be listed.
  bool listarAgente();
  // Drops the files the agent already holds with the same size and
  // modification second, their number in *inalterados, and marks those it
  // does not hold at all. False when the agent's side could not be listed.
  bool deixarIguais(int64_t* inalterados);
  bool criarPastasRemotas();
  void pedirPastaRemota(TCanal* canal, size_t indice);
  bool tratarPastaRemota(TCanal* canal, size_t indice);
  // A dry run's answer to whether the folder exists (code 8): one not there
  // would be made; one there must be a real folder.
  bool tratarPastaSimulada(TCanal* canal, size_t indice);
  // Asks (code 7) whether what is at the folder's path is a real folder.
  void conferirSeEhPasta(TCanal* canal, size_t indice, const std::string& motivo);
  // The reply of command 7 after a refused folder: a real one already there?
  bool conferirPastaExistente(TCanal* canal, size_t indice, const std::string& motivo);
  void confirmarPastaRemota(TCanal* canal, size_t indice);
  // Files whose folder on the agent was refused: counted as failed, dropped.
  void descartarRecusados();
  bool darDatasRemotas();
  // A dry run's end: each file left to store, reported and counted.
  void simularGravacoes();

  bool produzirRestauracao(TCanal* canal, TTrabalho* trabalho, TLoteRestauracao* lote);
  // Asks for the records of the lot's files on the agent before any store;
  // a file the listing did not have is known to be missing.
  void pedirRegistros(TCanal* canal, TLoteRestauracao* lote);
  void guardarRegistro(InfoObjectLinux registro, TLoteRestauracao* lote, size_t k);
  // False when the connection was lost while they were awaited.
  bool aguardarRegistros(TCanal* canal, TLoteRestauracao* lote);

  TCanais* canais;
  TContagemCopia* contagem;
  std::string remoto;
  TRelatorioSimulacao* simulacao;
  TListaLocal lista;
  std::vector<TPasta>& pastas;  // lista's
  std::vector<TArquivo>& arquivos;
  TCorridaGravacao corrida;        // the stores, over lista's files
  TListaInfoObjectLinux noAgente;  // the agent's side, listed with the local tree
  bool agenteListado = false;
  std::mutex trava;  // the lots' records
  std::condition_variable registrosChegaram;
};

#endif
