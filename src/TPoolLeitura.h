#ifndef TPOOLLEITURA_H
#define TPOOLLEITURA_H

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

// The process's reader threads, shared by every walk that runs at the same
// time, so that a thousand listings never start a thousand pools: at most
// getThreads() threads, started when work comes and ended after a second
// without any. Each walk registers itself as a source of jobs for as long as
// it runs; the threads take jobs from the sources in turn. Any thread may
// call any operation.
class TPoolLeitura {
 public:
  // Runs one job of its source; false when the source has none to give now.
  typedef std::function<bool()> TTrabalho;

  // The pool of the process: VORNA_LEITORES threads, or two per core (4 to
  // 16); VORNA_LEITORES=0 gives a pool without threads.
  static TPoolLeitura& global();

  explicit TPoolLeitura(int threads);
  virtual ~TPoolLeitura();

  TPoolLeitura(const TPoolLeitura&) = delete;
  TPoolLeitura& operator=(const TPoolLeitura&) = delete;

  int getThreads() const { return maximo; }
  // Adds a source; its identifier for remover.
  int registrar(TTrabalho trabalho);
  // Takes the source away; returns once no thread is running one of its jobs.
  void remover(int id);
  // A source may have new jobs: wakes or starts a thread for them.
  void avisar();

 private:
  struct TFonte {
    int id;
    TTrabalho trabalho;
    int emUso = 0;
    bool removida = false;
  };

  void servir();
  // With mutex held: one more thread if there may be work and room for it.
  void iniciarThread();

  const int maximo;
  std::mutex mutex;
  std::condition_variable haTrabalho;
  std::condition_variable liberada;
  std::vector<std::shared_ptr<TFonte>> fontes;
  size_t proxima = 0;
  unsigned long geracao = 0;  // counts avisar calls, so no call is missed
  int vivas = 0;
  int ociosas = 0;
  int ultimoId = 0;
  bool terminando = false;
};

#endif
