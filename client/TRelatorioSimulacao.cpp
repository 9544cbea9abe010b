#include "TRelatorioSimulacao.h"

void TRelatorioSimulacao::relatar(TAcao acao, const std::string& caminho, int64_t bytes) {
  std::lock_guard<std::mutex> guarda(trava);
  imprimir(acao, caminho, bytes);
}

const char* TRelatorioSimulacao::nome(TAcao acao) {
  switch (acao) {
    case BUSCAR:
      return "fetch";
    case GRAVAR:
      return "store";
    case REMOVER:
      break;
  }
  return "remove";
}
