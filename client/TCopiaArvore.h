#ifndef TCOPIAARVORE_H
#define TCOPIAARVORE_H

#include <sys/types.h>

#include <condition_variable>
#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

class ClienteVorna;
class InfoObjectLinux;
class TBuscaConferida;
class TCanal;
class TDatasPastas;
class TProgresso;

// What one backup or restore did.
struct TResumoCopia {
  int64_t arquivos = 0;   // files copied whole
  int64_t bytes = 0;      // their bytes
  int64_t pastas = 0;     // folders created or found
  int64_t falhas = 0;     // entries that could not be copied (each reported)
  int64_t ignorados = 0;  // links and special files, which the agent never serves
  int64_t conexoes = 0;   // connections used at once
  double segundos = 0;
};

// Copies whole trees between the agent's machine and this one over several
// logged-in connections at once, each pipelined (TCanal), sharing one work
// list: backup (agent to here) and restore (here to agent). Modification
// times travel as the agent's local-time texts, read and written in this
// machine's time zone, which must therefore be the agent's. A failed entry
// is reported on standard error and the run goes on; a lost connection ends
// the run. Used from one thread; it runs its own.
class TCopiaArvore {
 public:
  // A new logged-in connection, or null.
  typedef std::function<std::unique_ptr<ClienteVorna>()> TConector;

  // primeira is the connection already logged in; conector makes the other
  // conexoes - 1.
  TCopiaArvore(std::unique_ptr<ClienteVorna> primeira, const TConector& conector, int conexoes,
               int bloco);
  virtual ~TCopiaArvore();

  // Names on standard error each entry a restore skips.
  void setVerboso(bool valor) { verboso = valor; }

  // Every file below remoto into local, at the same relative paths, with
  // the same folders (empty ones too) and modification times, made durable
  // before it returns. desde, when not empty ("dd/mm/yy hh:mm:ss"), copies
  // only files changed after it. False when a connection was lost.
  bool backup(const std::string& remoto, const std::string& local, const std::string& desde,
              TResumoCopia* resumo);
  // Every folder and regular file below local into remoto, with their
  // modification times. A folder on the agent that is not a real one (a
  // link, a file) is refused with everything below it, each file counted
  // as failed. False when a connection was lost.
  bool restore(const std::string& local, const std::string& remoto, TResumoCopia* resumo);

  // "dd/mm/yyyy hh:mm:ss" (records) and "dd/mm/yy hh:mm:ss" (requests) in
  // local time; false for a text that does not parse or a year the
  // two-digit form cannot hold.
  static bool lerDataRegistro(const std::string& texto, time_t* quando);
  static bool formatarDataPedido(time_t quando, std::string* texto);
  // The part of caminho below raiz, refused (false) when it would leave raiz.
  static bool caminhoRelativo(const std::string& raiz, const std::string& caminho,
                              std::string* relativo);
  // The folder relativo below raiz, opened without following any symbolic
  // link and without leaving raiz. -1 with errno when it cannot.
  static int abrirPastaLocal(int raiz, const std::string& relativo);

  // Fetches remoto into the file nome of folder pastaFd through a temporary
  // file of its own, renamed into place once complete and durable, then
  // gives it the record's modification time (data, may be empty). False
  // with the reason.
  static bool buscarParaArquivo(ClienteVorna* cliente, const std::string& remoto, int bloco,
                                int pastaFd, const std::string& nome, const std::string& data,
                                const std::function<void(int64_t)>& progresso, int64_t* tamanho,
                                std::string* motivo);
  // Stores n bytes of fd as remoto and checks on the agent that the new file
  // is there: the protocol acknowledges stores the agent could not do.
  static bool gravarVerificando(ClienteVorna* cliente, const std::string& remoto, int bloco, int fd,
                                int64_t n, const std::function<void(int64_t)>& progresso,
                                std::string* motivo);
  // Whether the records before and after a store of n bytes show a new file.
  static bool gravacaoConfirmada(const InfoObjectLinux& antes, const InfoObjectLinux& depois,
                                 int64_t n);
  // Whether an old file of this record could pass for a new one of n bytes
  // stored from inicio on (same size, a time not earlier).
  static bool antigoAmbiguo(const InfoObjectLinux& antes, int64_t n, time_t inicio);
  // The time that makes such an old file distinguishable.
  static const char* const DATA_SENTINELA;

 public:
  // The work list in its order: each file's size and folder.
  struct TTrabalho {
    std::vector<int64_t> tamanhos;
    std::vector<int> pastas;
  };

 private:
  // The part of the work list a connection has taken: [proximo, fim).
  struct TLote {
    size_t proximo = 0;
    size_t fim = 0;
  };
  struct TArquivoBackup;
  struct TLoteRestauracao;
  struct TArquivoRestauracao;
  struct TPastaRestauracao;
  struct TLeitorBackup;
  struct TFilaBackup;
  struct TEstadoGravacao;

  bool abrirCanais();
  // Runs on every channel at once the producer that fabrica gives for its
  // index; false when any connection was lost.
  bool executarTodos(const std::function<std::function<bool(TCanal*)>(size_t)>& fabrica);
  // The next lot of the shared work list into *lote. False when it is used up.
  bool tomarLote(const TTrabalho& trabalho, TLote* lote);

  bool percorrerPastas(TCanal* canal, const std::string& remoto, int raiz);
  bool listarPasta(TCanal* canal, const std::string& remoto, const std::string& pasta, int raiz,
                   std::set<std::string>* vistas);
  bool copiarArquivos(const std::string& remoto, const std::vector<InfoObjectLinux>& registros,
                      int raiz);
  bool produzirBackup(TCanal* canal, const std::vector<TArquivoBackup>& arquivos,
                      const TTrabalho& trabalho, const std::vector<std::string>& pastas, int raiz,
                      TLeitorBackup* leitor);
  // Asks for one file; its reply is fetched into pasta (relative to raiz).
  // Both must stay in place until the reply has been read.
  void pedirArquivo(TCanal* canal, const TArquivoBackup* arquivo, const std::string* pasta,
                    int raiz, TLeitorBackup* leitor);
  void pedirArquivo(TCanal* canal, const TArquivoBackup* arquivo, const std::string* pasta,
                    int raiz, TLeitorBackup* leitor, const std::shared_ptr<TBuscaConferida>& busca,
                    bool segunda);
  // The size reply and the chunks, into the fetch's temporary copy.
  bool buscarArquivo(TCanal* canal, const TArquivoBackup& arquivo, const std::string& pasta,
                     int raiz, TLeitorBackup* leitor, TBuscaConferida* busca);
  bool receberPedacos(TCanal* canal, int64_t tamanho, TBuscaConferida* busca);
  // The record after the fetch: the copy is put in place, fetched once
  // more when the file changed meanwhile, or reported.
  bool conferirBusca(TCanal* canal, const TArquivoBackup* arquivo, const std::string* pasta,
                     int raiz, TLeitorBackup* leitor, const std::shared_ptr<TBuscaConferida>& busca,
                     bool segunda);
  bool buscarDeNovo(TCanal* canal, const TArquivoBackup* arquivo, const std::string* pasta,
                    int raiz, TLeitorBackup* leitor, const InfoObjectLinux& depois,
                    const std::string& como);
  // A whole tree, no time given: one connection lists the folders one by one
  // (command 0), making each here, while the others already fetch the files
  // found so far.
  bool backupEmOnda(const std::string& remoto, int raiz);
  bool listarParaBackup(TCanal* canal, const std::string& remoto, const std::string& pasta,
                        int indice, int raiz, TFilaBackup* fila);
  // One listing fewer to wait for; all done when none is left or ok is false.
  void terminarListagem(TFilaBackup* fila, bool ok);
  bool listarPastaParaBackup(TCanal* canal, const std::string& remoto, const std::string& pasta,
                             int indice, int raiz, TFilaBackup* fila);
  // The next lot of the growing list, waiting while the listing may still
  // find more; false once it is done and used up.
  bool produzirDaFila(TCanal* canal, TFilaBackup* fila, int raiz, TLeitorBackup* leitor);
  // copia while the copy below raiz is flushed to disk in the background.
  bool executarEscoando(int raiz, const std::function<bool()>& copia);

  void listarLocal(const std::string& local, std::vector<TPastaRestauracao>* pastas,
                   std::vector<TArquivoRestauracao>* arquivos, const std::string& remoto);
  void lerPastaLocal(const std::string& local, int indice, std::vector<TPastaRestauracao>* pastas,
                     std::vector<TArquivoRestauracao>* arquivos, const std::string& remoto);
  void ignorar(const std::string& caminho, mode_t modo);
  // Makes each folder on the agent once its parent is known to be a real
  // folder; marks those that are one.
  bool criarPastasRemotas(const std::string& remoto, std::vector<TPastaRestauracao>* pastas);
  void pedirPastaRemota(TCanal* canal, const std::string& remoto,
                        std::vector<TPastaRestauracao>* pastas, size_t indice);
  bool tratarPastaRemota(TCanal* canal, const std::string& remoto,
                         std::vector<TPastaRestauracao>* pastas, size_t indice);
  void confirmarPastaRemota(TCanal* canal, const std::string& remoto,
                            std::vector<TPastaRestauracao>* pastas, size_t indice);
  // Files whose folder on the agent was refused: counted as failed, dropped.
  void descartarRecusados(const std::vector<TPastaRestauracao>& pastas,
                          std::vector<TArquivoRestauracao>* arquivos);
  bool darDatasRemotas(const std::string& remoto, const std::vector<TPastaRestauracao>& pastas);
  bool darDatasLocais(const std::string& remoto, int raiz);
  bool produzirRestauracao(TCanal* canal, const std::vector<TArquivoRestauracao>& arquivos,
                           const TTrabalho& trabalho, TLoteRestauracao* lote);
  // Asks for the records of the lot's files on the agent before any store.
  void pedirRegistros(TCanal* canal, const std::vector<TArquivoRestauracao>& arquivos,
                      TLoteRestauracao* lote);
  // False when the connection was lost while they were awaited.
  bool aguardarRegistros(TCanal* canal, TLoteRestauracao* lote);
  void restaurarArquivo(TCanal* canal, const TArquivoRestauracao& arquivo,
                        const InfoObjectLinux& antes, time_t inicio);
  // An old file the store's check could take for the new one gets a time
  // no new file has.
  void distinguirAntigo(TCanal* canal, const std::shared_ptr<TEstadoGravacao>& estado);
  bool enviarArquivo(TCanal* canal, TEstadoGravacao* estado);
  static bool mesmoArquivo(TEstadoGravacao* estado);
  bool conferirGravacao(TCanal* canal, const std::shared_ptr<TEstadoGravacao>& estado);

  void falhar(const std::string& caminho, const std::string& motivo);
  void avisar(const std::string& linha);
  void contar(int64_t arquivos, int64_t bytes, int64_t pastas);
  // Makes the folder nome under paiFd; false (and counted as failed) when
  // it cannot be made or is not a folder.
  bool criarPastaLocal(int paiFd, const std::string& nome, const std::string& relativo);

  std::unique_ptr<ClienteVorna> primeira;
  bool verboso = false;
  TConector conector;
  int conexoes;
  int bloco;
  std::vector<std::unique_ptr<TCanal>> canais;

  std::mutex trava;  // the summary, the shared cursor of the work list, the lots' records
  std::condition_variable registrosChegaram;
  TResumoCopia* resumo = nullptr;
  size_t cursor = 0;
  std::unique_ptr<TProgresso> progresso;
  std::unique_ptr<TDatasPastas> datasPastas;  // a backup's folders, under trava
};

#endif
