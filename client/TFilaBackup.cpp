#include "TFilaBackup.h"

#include <chrono>

#include "TCanal.h"
#include "TTrabalho.h"

TFilaBackup::TFilaBackup(const std::string& remoto) : pastas{""}, vistas{remoto} {}

bool TFilaBackup::marcarVista(const std::string& caminho) {
  std::lock_guard<std::mutex> guarda(trava);
  return vistas.insert(caminho).second;
}

int TFilaBackup::acrescentarPasta(const std::string& relativo) {
  std::lock_guard<std::mutex> guarda(trava);
  pastas.push_back(relativo);
  ++listagensPendentes;
  return static_cast<int>(pastas.size() - 1);
}

std::string TFilaBackup::pasta(int indice) {
  std::lock_guard<std::mutex> guarda(trava);
  return pastas[static_cast<size_t>(indice)];
}

void TFilaBackup::acrescentarArquivos(std::vector<TArquivoBackup>* novos) {
  std::lock_guard<std::mutex> guarda(trava);
  for (TArquivoBackup& arquivo : *novos) {
    (arquivo.tamanho >= TTrabalho::LIMIAR_GRANDE ? grandes : pequenos).push_back(arquivos.size());
    arquivos.push_back(std::move(arquivo));
  }
}

void TFilaBackup::terminarListagem(bool ok) {
  {
    std::lock_guard<std::mutex> guarda(trava);
    // Done when no listing is left, or when this connection is lost.
    if (--listagensPendentes == 0 || !ok) terminada = true;
  }
  mudou.notify_all();
}

bool TFilaBackup::listada() {
  std::lock_guard<std::mutex> guarda(trava);
  return listagensPendentes == 0;
}

bool TFilaBackup::tomarLote(TCanal* canal, TLoteFila* lote) {
  std::unique_lock<std::mutex> guarda(trava);
  bool seguintes = false;
  if (!esperar(canal, &guarda, &seguintes)) return seguintes;
  tirar(lote);
  return !lote->empty();  // empty: listed and used up
}

bool TFilaBackup::esperar(TCanal* canal, std::unique_lock<std::mutex>* guarda, bool* seguintes) {
  while (grandes.empty() && pequenos.empty() && !terminada) {
    // Listings this connection must still ask for go first: the writer
    // sends them when the producer returns.
    *seguintes = canal->temSeguintes();
    if (*seguintes) return false;
    // What is queued must reach the agent before this connection waits.
    guarda->unlock();
    if (!canal->despachar()) return false;
    guarda->lock();
    mudou.wait_for(*guarda, std::chrono::milliseconds(100), [this, canal] {
      return !grandes.empty() || !pequenos.empty() || terminada || canal->temSeguintes();
    });
    if (TCanal::interrompido()) return false;
  }
  return true;
}

void TFilaBackup::tirar(TLoteFila* lote) {
  if (!grandes.empty()) {
    const TArquivoBackup* a = &arquivos[grandes.front()];
    grandes.pop_front();
    lote->emplace_back(a, pastaDe(a));
    return;
  }
  int64_t bytes = 0;
  while (!pequenos.empty() && lote->size() < TTrabalho::LOTE_ARQUIVOS) {
    const TArquivoBackup* a = &arquivos[pequenos.front()];
    if (!lote->empty() &&
        (a->pasta != lote->front().first->pasta || bytes + a->tamanho > TTrabalho::LOTE_BYTES)) {
      break;
    }
    bytes += a->tamanho;
    pequenos.pop_front();
    lote->emplace_back(a, pastaDe(a));
  }
}

const std::string* TFilaBackup::pastaDe(const TArquivoBackup* arquivo) {
  return &pastas[static_cast<size_t>(arquivo->pasta)];
}
