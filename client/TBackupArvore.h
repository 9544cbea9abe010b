#ifndef TBACKUPARVORE_H
#define TBACKUPARVORE_H

#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "InfoObjectLinux.h"
#include "TArquivoBackup.h"
#include "TBuscasBackup.h"
#include "TDatasPastas.h"

class TCanais;
class TCanal;
class TContagemCopia;
class TDescritor;
class TFilaBackup;
class TFiltroCopia;
class TRelatorioSimulacao;
struct TOpcoesCopia;

// A backup of remoto (on the agent) into the local folder raiz over a
// copy's channels (TCanais), its counts and progress line in a
// TContagemCopia: the folders are made here as they are found,
// and each file the copy does not hold alike (size and modification
// second) is fetched and checked (TBuscasBackup). What filtro leaves out is
// neither fetched nor walked nor removed. A dry run (simulacao) makes no
// folder, fetches nothing and removes nothing: it reports what it would
// fetch or remove. Made and run by TCopiaArvore; its handlers run on the
// channels' reader threads.
class TBackupArvore {
 public:
  // canais, contagem and the folder raiz (a dry run may have none: -1)
  // must outlive this; of opcoes it keeps the chunk size, --delete, the
  // filter and the dry run's report.
  TBackupArvore(TCanais* canais, TContagemCopia* contagem, const TOpcoesCopia& opcoes,
                const std::string& remoto, int raiz);
  ~TBackupArvore();

  // Every file, or those changed after desde ("dd/mm/yy hh:mm:ss") when it
  // is not empty. False when a connection was lost.
  bool copiar(const std::string& desde);
  // The folders' times, last, once no file is made in them any more.
  bool darDatasPastas();

 private:
  typedef TBuscasBackup::TLeitor TLeitor;

  // A whole tree: one connection lists the folders one by one (command 0),
  // making each here, while the others already fetch the files found so far;
  // a file the copy already has, of the same size and time, is left alone.
  bool copiarEmOnda();
  bool pedirListagem(TCanal* canal, TFilaBackup* fila, int indice, const std::string& pasta);
  bool listarParaBackup(TCanal* canal, const std::string& pasta, int indice, TFilaBackup* fila);
  bool listarPastaParaBackup(TCanal* canal, const std::string& pasta, int indice,
                             TFilaBackup* fila);
  // A listed child of pasta: its folder made and asked for, its file kept,
  // or counted when the copy already has it.
  void acolherFilho(TCanal* canal, const InfoObjectLinux& registro, const std::string& pasta,
                    int indice, int paiFd, TFilaBackup* fila, std::vector<TArquivoBackup>* novos,
                    int64_t* inalterados);
  // The copy's file of the same size and modification second as arquivo.
  static bool igualAoLocal(int pastaFd, const TArquivoBackup& arquivo);
  // The copy's folder relativo (pasta on the agent) into *fd; false when it
  // cannot be opened (reported). A dry run may find none yet: -1.
  bool abrirPastaLocal(const std::string& relativo, const std::string& pasta, TDescritor* fd);
  // Files found in the copy's folder pasta to fetch: queued, or reported and
  // counted by a dry run.
  void acolherNovos(TFilaBackup* fila, std::vector<TArquivoBackup>* novos,
                    const std::string& pasta);
  void simularBusca(const std::string& relativo, const TArquivoBackup& arquivo);
  bool excluido(const std::string& relativo, bool pasta) const;
  // --delete: what the copy's folder (pastaFd, relativo) holds and the
  // agent's listing of pasta no longer has goes.
  void podarPasta(int pastaFd, const std::string& pasta, const std::string& relativo,
                  const TListaInfoObjectLinux& registros);
  bool produzirDaFila(TCanal* canal, TFilaBackup* fila, TLeitor* leitor);

  // Changed files only: the agent lists them for one connection while
  // another walks the folders and they are made here.
  bool copiarAlterados(const std::string& desde);
  bool percorrerPastas(TCanal* canal);
  bool listarPasta(TCanal* canal, const std::string& pasta, std::set<std::string>* vistas);
  bool copiarArquivos(const TListaInfoObjectLinux& registros);
  // The listed files below remoto and their folders (relative); their bytes.
  int64_t separarPorPasta(const TListaInfoObjectLinux& registros, std::vector<std::string>* pastas,
                          std::vector<TArquivoBackup>* arquivos);

  TArquivoBackup arquivoDe(const InfoObjectLinux& registro, int pasta, const std::string& nome);
  // Makes the folder nome under paiFd; false (and counted as failed) when
  // it cannot be made or is not a folder. A dry run only looks at it.
  bool criarPastaLocal(int paiFd, const std::string& nome, const std::string& relativo);

  TCanais* canais;
  TContagemCopia* contagem;
  std::string remoto;
  int raiz;
  bool apagar;
  const TFiltroCopia* filtro;
  TRelatorioSimulacao* simulacao;
  std::mutex travaPastas;
  TDatasPastas datasPastas;  // under travaPastas while the copy runs
  TBuscasBackup buscas;
};

#endif
