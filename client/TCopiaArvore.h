#ifndef TCOPIAARVORE_H
#define TCOPIAARVORE_H

#include <sys/types.h>

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class ClienteVorna;
class TCanal;
class TFiltroCopia;
class TProgresso;
class TRelatorioSimulacao;

// What one backup or restore did.
struct TResumoCopia {
  int64_t arquivos = 0;   // files copied whole
  int64_t bytes = 0;      // their bytes
  int64_t pastas = 0;     // folders created or found
  int64_t falhas = 0;     // entries that could not be copied (each reported)
  int64_t ignorados = 0;  // links and special files, which the agent never serves
  int64_t conexoes = 0;   // connections used at once
  // Into an earlier copy (backup) or a partly restored tree (restore).
  int64_t inalterados = 0;  // files the other side already held alike, left alone
  int64_t removidos = 0;    // local files and folders gone from the agent (--delete)
  double segundos = 0;
  bool simulacao = false;  // a dry run: the counts are what a run would do
};

// Copies whole trees between the agent's machine and this one over several
// logged-in connections at once, each pipelined (TCanal), sharing one work
// list: backup (agent to here, TBackupArvore) and restore (here to agent,
// TRestauracaoArvore). This class holds what both share: the channels, the
// lots of the work list, the summary and the closing flush. A failed entry
// is reported on standard error and the run goes on; a lost connection ends
// the run. Used from one thread; it runs its own, and the methods for the
// two copies may be called from any of them.
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
  // A backup also removes from its copy what is gone from the agent.
  void setApagar(bool valor) { apagar = valor; }
  bool getApagar() const { return apagar; }
  // A restore sends a store only once the one before it is acknowledged, as
  // a server that waits for each reply does: the agent commits each alone.
  void setUmaGravacaoPorVez(bool valor) { umaGravacaoPorVez = valor; }
  // What the copy leaves out (null: nothing); it must outlive the copy.
  void setFiltro(const TFiltroCopia* valor) { filtro = valor; }
  // A dry run: nothing changes on either side, and each file that would be
  // fetched, stored or removed goes to relatorio (null: a real run), which
  // must outlive the copy.
  void setSimulacao(TRelatorioSimulacao* relatorio) { simulacao = relatorio; }
  // The cap of the connections' bandwidth, shown on the progress line (0: none).
  void setLimiteBanda(int64_t bytesPorSegundo) { limiteBanda = bytesPorSegundo; }

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

  // For the two copies.
  // The work list in its order: each file's size and folder.
  struct TTrabalho {
    std::vector<int64_t> tamanhos;
    std::vector<int> pastas;
  };
  // The part of the work list a connection has taken: [proximo, fim).
  struct TLote {
    size_t proximo = 0;
    size_t fim = 0;
  };
  // Files from this size on go first, largest first, each alone, so that a
  // large one never starts last and holds the end of the run back.
  static const int64_t LIMIAR_GRANDE = 1 << 20;
  // What one connection takes from a list at a time: files of one folder
  // only, since connections creating files in the same folder wait for each
  // other on its lock, here and on the agent.
  static const size_t LOTE_ARQUIVOS = 128;
  static const int64_t LOTE_BYTES = 4 << 20;

  // Orders arquivos (of a type with tamanho and pasta) large first, and
  // starts a new work list over them.
  template <typename T>
  TTrabalho iniciarTrabalho(std::vector<T>* arquivos);
  // The next lot of the shared work list into *lote. False when it is used up.
  bool tomarLote(const TTrabalho& trabalho, TLote* lote);
  // Runs on every channel at once the producer that fabrica gives for its
  // index; false when any connection was lost.
  bool executarTodos(const std::function<std::function<bool(TCanal*)>(size_t)>& fabrica);
  TCanal* canal(size_t i) { return canais[i].get(); }
  size_t quantosCanais() const { return canais.size(); }
  // A new progress bar, drawn by a thread of its own.
  void iniciarProgresso(const char* rotulo, int64_t bytes, int64_t arquivos);
  TProgresso* getProgresso() { return progresso.get(); }
  int getBloco() const { return bloco; }
  bool getVerboso() const { return verboso; }
  bool getUmaGravacaoPorVez() const { return umaGravacaoPorVez; }
  // Any thread: an entry that failed (counted), a line on standard error,
  // what was copied, an entry skipped.
  void falhar(const std::string& caminho, const std::string& motivo);
  void avisar(const std::string& linha);
  void contar(int64_t arquivos, int64_t bytes, int64_t pastas);
  void contarFalha();
  void contarIgnorado();
  // Files left alone, unchanged; an entry removed (named when verbose).
  void contarInalterados(int64_t arquivos);
  void contarRemovido(const std::string& caminho);

 private:
  bool abrirCanais();
  // The copy's root into *raiz, made first unless this is a dry run (which
  // may find none: -1). False when it cannot be opened (reported).
  bool abrirRaiz(const std::string& local, int* raiz);
  // copia while the copy below raiz is flushed to disk in the background.
  bool executarEscoando(int raiz, const std::function<bool()>& copia);
  // Backup's end: closes the channels, flushes the copy once.
  void concluirBackup(const std::string& local, int raiz);

  std::unique_ptr<ClienteVorna> primeira;
  bool verboso = false;
  bool apagar = false;
  bool umaGravacaoPorVez = false;
  const TFiltroCopia* filtro = nullptr;
  TRelatorioSimulacao* simulacao = nullptr;
  int64_t limiteBanda = 0;
  TConector conector;
  int conexoes;
  int bloco;
  std::vector<std::unique_ptr<TCanal>> canais;

  std::mutex trava;  // the summary and the shared cursor of the work list
  TResumoCopia* resumo = nullptr;
  size_t cursor = 0;
  std::unique_ptr<TProgresso> progresso;
};

template <typename T>
TCopiaArvore::TTrabalho TCopiaArvore::iniciarTrabalho(std::vector<T>* arquivos) {
  auto grandes = std::stable_partition(arquivos->begin(), arquivos->end(),
                                       [](const T& a) { return a.tamanho >= LIMIAR_GRANDE; });
  std::stable_sort(arquivos->begin(), grandes,
                   [](const T& a, const T& b) { return a.tamanho > b.tamanho; });
  TTrabalho trabalho;
  for (const T& a : *arquivos) {
    trabalho.tamanhos.push_back(a.tamanho);
    trabalho.pastas.push_back(a.pasta);
  }
  cursor = 0;
  return trabalho;
}

#endif
