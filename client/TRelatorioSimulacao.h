#ifndef TRELATORIOSIMULACAO_H
#define TRELATORIOSIMULACAO_H

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

// A dry run's report (--dry-run): each file that a backup would fetch or
// remove, or a restore would store, handed to the printer its owner gives,
// one at a time. The parts of a copy that would act are given it when they
// are made, and report instead of acting. Any thread.
class TRelatorioSimulacao {
 public:
  enum TAcao { BUSCAR, GRAVAR, REMOVER };
  // An action, the path below the copy's roots (a folder ends in '/') and
  // the file's bytes (-1 when not known).
  typedef std::function<void(TAcao, const std::string&, int64_t)> TImpressora;

  explicit TRelatorioSimulacao(TImpressora imprimir) : imprimir(std::move(imprimir)) {}

  void relatar(TAcao acao, const std::string& caminho, int64_t bytes = -1);
  // "fetch", "store", "remove".
  static const char* nome(TAcao acao);

 private:
  std::mutex trava;  // one line at a time
  TImpressora imprimir;
};

#endif
