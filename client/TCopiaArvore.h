#ifndef TCOPIAARVORE_H
#define TCOPIAARVORE_H

#include <functional>
#include <memory>
#include <string>

#include "TCanais.h"
#include "TOpcoesCopia.h"

class ClienteVorna;
class TContagemCopia;
struct TResumoCopia;

// Copies whole trees between the agent's machine and this one over several
// logged-in connections at once, each pipelined (TCanal), sharing one work
// list: backup (agent to here, TBackupArvore) and restore (here to agent,
// TRestauracaoArvore). This class makes the parts of a run and hands each
// what it needs: the channels (TCanais), the counts and the progress line
// (TContagemCopia) and its settings; no part calls back into it. It opens
// the backup's root and makes the closing flush. A failed entry is reported
// on standard error and the run goes on; a lost connection ends the run.
// Used from one thread; the parts run threads of their own.
class TCopiaArvore {
 public:
  // primeira is the connection already logged in; conector makes the other
  // opcoes.conexoes - 1.
  TCopiaArvore(std::unique_ptr<ClienteVorna> primeira, const TCanal::TConector& conector,
               const TOpcoesCopia& opcoes);
  ~TCopiaArvore();

  TCopiaArvore(const TCopiaArvore&) = delete;
  TCopiaArvore& operator=(const TCopiaArvore&) = delete;

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

 private:
  // The counts of a run into resumo, which outlives it.
  void iniciar(TResumoCopia* resumo);
  bool abrirCanais();
  // The copy's root into *raiz, made first unless this is a dry run (which
  // may find none: -1). False when it cannot be opened (reported).
  bool abrirRaiz(const std::string& local, int* raiz);
  // copia while the copy below raiz is flushed to disk in the background.
  bool executarEscoando(int raiz, const std::function<bool()>& copia);
  // Backup's end: closes the channels, flushes the copy once.
  void concluirBackup(const std::string& local, int raiz);

  std::unique_ptr<ClienteVorna> primeira;
  TCanal::TConector conector;
  const TOpcoesCopia opcoes;
  TCanais canais;
  TResumoCopia* resumo = nullptr;
  std::unique_ptr<TContagemCopia> contagem;
};

#endif
