#ifndef TBACKUPARVORE_H
#define TBACKUPARVORE_H

#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "InfoObjectLinux.h"
#include "TDatasPastas.h"
#include "TFilaBackup.h"

class TBuscaConferida;
class TCanal;
class TCopiaArvore;

// A backup of remoto (on the agent) into the local folder raiz over the
// channels of a TCopiaArvore: the folders are made here as they are found,
// each file is fetched into a temporary copy and checked against a fresh
// record before it is renamed into place. Made and run by TCopiaArvore;
// its handlers run on the channels' reader threads.
class TBackupArvore {
 public:
  // raiz must stay open while this lives.
  TBackupArvore(TCopiaArvore* copia, const std::string& remoto, int raiz);
  ~TBackupArvore();

  // Every file, or those changed after desde ("dd/mm/yy hh:mm:ss") when it
  // is not empty. False when a connection was lost.
  bool copiar(const std::string& desde);
  // The folders' times, last, once no file is made in them any more.
  bool darDatasPastas();

 private:
  // The reader thread's open folder, kept while its files come one after another.
  struct TLeitor {
    int pasta = -1;
    int pastaFd = -1;
    int erroPasta = 0;
    ~TLeitor();
  };
  // One fetch's request, what its handlers need.
  struct TPedidoBusca {
    const TArquivoBackup* arquivo;
    const std::string* pasta;  // relative to raiz
    TLeitor* leitor;
    std::shared_ptr<TBuscaConferida> busca;
    int buscas;  // fetches of this file so far, this one included
  };

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
  bool produzirBackup(TCanal* canal, const std::vector<TArquivoBackup>& arquivos,
                      const std::vector<std::string>& pastas, TLeitor* leitor);

  TArquivoBackup arquivoDe(const InfoObjectLinux& registro, int pasta, const std::string& nome);
  // Asks for one file; its reply is fetched into pasta (relative to raiz).
  // Both must stay in place until the reply has been read.
  void pedirArquivo(TCanal* canal, const TArquivoBackup* arquivo, const std::string* pasta,
                    TLeitor* leitor);
  void pedirArquivo(TCanal* canal, const TPedidoBusca& pedido);
  // The size reply and the chunks, into the fetch's temporary copy.
  bool buscarArquivo(TCanal* canal, const TPedidoBusca& pedido);
  void abrirPastaDoLeitor(const TPedidoBusca& pedido);
  bool receberPedacos(TCanal* canal, int64_t tamanho, TBuscaConferida* busca);
  // The record after the fetch: the copy is put in place, fetched once
  // more when the file changed meanwhile, or reported.
  bool conferirBusca(TCanal* canal, const TPedidoBusca& pedido);
  bool buscarDeNovo(TCanal* canal, const TPedidoBusca& pedido, const InfoObjectLinux& depois,
                    const std::string& como);
  // Makes the folder nome under paiFd; false (and counted as failed) when
  // it cannot be made or is not a folder.
  bool criarPastaLocal(int paiFd, const std::string& nome, const std::string& relativo);

  TCopiaArvore* copia;
  std::string remoto;
  int raiz;
  std::mutex travaPastas;
  TDatasPastas datasPastas;  // under travaPastas while the copy runs
};

#endif
