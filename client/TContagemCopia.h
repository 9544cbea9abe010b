#ifndef TCONTAGEMCOPIA_H
#define TCONTAGEMCOPIA_H

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

class TProgresso;
struct TOpcoesCopia;
struct TResumoCopia;

// The counts of one backup or restore and its progress line: every part of
// the copy counts what it did here, and reports here each entry that failed
// or was skipped, on standard error without tearing the line. Owned by the
// copy's coordinator (TCopiaArvore), which makes it for each run and gives
// it to the parts when it makes them. The progress line is started and
// ended by the thread that runs the copy while no channel runs; the rest
// may be called from any thread.
class TContagemCopia {
 public:
  // resumo (the counts, from what it holds) must outlive this.
  TContagemCopia(TResumoCopia* resumo, const TOpcoesCopia& opcoes);
  ~TContagemCopia();

  TContagemCopia(const TContagemCopia&) = delete;
  TContagemCopia& operator=(const TContagemCopia&) = delete;

  // A new progress line, drawn by a thread of its own (not in a dry run,
  // whose lines go to standard output, which the line would tear); until
  // then a warning is a plain line.
  void iniciarProgresso(const char* rotulo, int64_t bytes, int64_t arquivos);
  // The line stopped and cleared.
  void concluirProgresso();

  // An entry that failed: counted, and named on standard error.
  void falhar(const std::string& caminho, const std::string& motivo);
  // A line on standard error.
  void avisar(const std::string& linha);
  // What was copied (or a dry run would copy).
  void contar(int64_t arquivos, int64_t bytes, int64_t pastas);
  // A file copied whole: counted, and one more done on the progress line.
  void contarArquivo(int64_t bytes);
  // An entry that failed for a reason already reported (counted), and a
  // link or special file skipped (counted): linha names it when verbose.
  void contarFalha(const std::string& linha);
  void contarIgnorado(const std::string& linha);
  // Files left alone, unchanged: counted and shown on the progress line.
  void contarInalterados(int64_t arquivos);
  // An entry removed: counted, named when verbose (a dry run's report names it).
  void contarRemovido(const std::string& caminho);

  // The progress line only: more work found, bytes moved.
  void aumentarTotal(int64_t bytes, int64_t arquivos);
  void avancar(int64_t bytes);

 private:
  // n more in one of resumo's counts.
  void somar(int64_t TResumoCopia::*campo, int64_t n);

  TResumoCopia* resumo;
  const bool verboso;
  const bool simulacao;
  const int64_t limiteBanda;
  std::mutex trava;  // resumo
  std::unique_ptr<TProgresso> progresso;
};

#endif
