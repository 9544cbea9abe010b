#include "TPoolLeitura.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <thread>

namespace {

int threadsPadrao() {
  const char* pedido = std::getenv("VORNA_LEITORES");
  if (pedido != nullptr && *pedido != '\0') return std::max(0, std::min(std::atoi(pedido), 64));
  int nucleos = static_cast<int>(std::thread::hardware_concurrency());
  // Cold metadata waits on the disk: more reads in flight than cores pay.
  return std::max(4, std::min(2 * nucleos, 16));
}

}  // namespace

TPoolLeitura& TPoolLeitura::global() {
  // Never destroyed: connection threads may still walk while the process exits.
  static TPoolLeitura* pool = new TPoolLeitura(threadsPadrao());
  return *pool;
}

TPoolLeitura::TPoolLeitura(int threads) : maximo(threads) {}

TPoolLeitura::~TPoolLeitura() {
  std::unique_lock<std::mutex> trava(mutex);
  terminando = true;
  haTrabalho.notify_all();
  liberada.wait(trava, [this] { return vivas == 0; });
}

int TPoolLeitura::registrar(TTrabalho trabalho) {
  std::lock_guard<std::mutex> trava(mutex);
  auto fonte = std::make_shared<TFonte>();
  fonte->id = ++ultimoId;
  fonte->trabalho = std::move(trabalho);
  fontes.push_back(fonte);
  return fonte->id;
}

void TPoolLeitura::remover(int id) {
  std::unique_lock<std::mutex> trava(mutex);
  auto fonte = std::find_if(fontes.begin(), fontes.end(),
                            [id](const std::shared_ptr<TFonte>& f) { return f->id == id; });
  if (fonte == fontes.end()) return;
  std::shared_ptr<TFonte> removida = *fonte;
  fontes.erase(fonte);
  removida->removida = true;
  liberada.wait(trava, [&] { return removida->emUso == 0; });
}

void TPoolLeitura::avisar() {
  std::lock_guard<std::mutex> trava(mutex);
  ++geracao;
  if (ociosas > 0) {
    haTrabalho.notify_one();
  } else {
    iniciarThread();
  }
}

void TPoolLeitura::iniciarThread() {
  if (vivas >= maximo || terminando) return;
  try {
    std::thread(&TPoolLeitura::servir, this).detach();
    ++vivas;
  } catch (const std::exception&) {
    // No thread now: the walks run their jobs themselves.
  }
}

void TPoolLeitura::servir() {
  std::unique_lock<std::mutex> trava(mutex);
  for (;;) {
    unsigned long vista = geracao;
    bool fez = false;
    // Each source in turn, one job each, until a round finds nothing.
    for (size_t tentativas = fontes.size(); tentativas > 0 && !terminando; --tentativas) {
      if (fontes.empty()) break;
      std::shared_ptr<TFonte> fonte = fontes[proxima++ % fontes.size()];
      ++fonte->emUso;
      trava.unlock();
      bool feito = false;
      try {
        feito = fonte->trabalho();
      } catch (...) {
        // A source reports its own failures; the thread goes on.
      }
      trava.lock();
      if (--fonte->emUso == 0 && fonte->removida) liberada.notify_all();
      if (feito) {
        fez = true;
        break;
      }
    }
    if (terminando) break;
    if (fez || geracao != vista) continue;
    ++ociosas;
    bool avisado = haTrabalho.wait_for(trava, std::chrono::seconds(1),
                                       [&] { return geracao != vista || terminando; });
    --ociosas;
    if (!avisado) break;  // idle for a second: the thread ends, another starts when needed
  }
  --vivas;
  liberada.notify_all();
}
