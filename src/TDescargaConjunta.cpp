#include "TDescargaConjunta.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>

namespace {

// The longest a flush waits for the connections on their way.
const std::chrono::microseconds ESPERA_MAXIMA(5000);

}  // namespace

TDescargaConjunta::TDisco& TDescargaConjunta::discoDe(dev_t disco) {
  static std::mutex trava;
  static std::map<dev_t, std::unique_ptr<TDisco>> discos;  // one per file system, kept
  std::lock_guard<std::mutex> guarda(trava);
  std::unique_ptr<TDisco>& d = discos[disco];
  if (!d) d.reset(new TDisco);
  return *d;
}

bool TDescargaConjunta::nomear(const std::function<bool()>& dar, uint64_t* numero) {
  // One name at a time: a name numbered higher was given after a lower one
  // was complete, so its transaction is the same or a later one.
  static std::mutex trava;
  static uint64_t dados = 0;
  std::lock_guard<std::mutex> guarda(trava);
  if (!dar()) return false;
  *numero = ++dados;
  return true;
}

int TDescargaConjunta::sincronizar(int fd) { return fsync(fd) == 0 ? 0 : errno; }

int TDescargaConjunta::confirmar(dev_t disco, const void* conexao, uint64_t numero, int fd,
                                 const std::function<int(int)>& descarga) {
  TDisco& d = discoDe(disco);
  std::unique_lock<std::mutex> guarda(d.trava);
  uint64_t falhasAntes = d.falhas;
  uint64_t meu = ++d.pedidos;
  d.aguardando.push_back(TPedido{meu, numero, fd});
  d.conexoes[conexao] = d.descargas;
  d.chegou.notify_one();
  while (d.feitos < meu) {
    if (d.emCurso) {
      d.pronto.wait(guarda);
      continue;
    }
    d.emCurso = true;
    esperarConexoes(d, guarda);
    ++d.descargas;
    uint64_t ate = d.pedidos;
    // Every request still waiting is made and not yet covered, and its
    // caller keeps its file open until it is.
    int alvo = std::max_element(d.aguardando.begin(), d.aguardando.end(),
                                [](const TPedido& a, const TPedido& b) {
                                  return a.numero < b.numero;
                                })->fd;
    guarda.unlock();
    auto inicio = std::chrono::steady_clock::now();
    int erro = descarga(alvo);
    auto duracao = std::chrono::steady_clock::now() - inicio;
    guarda.lock();
    d.duracao = (d.duracao * 7 + std::chrono::duration_cast<std::chrono::microseconds>(duracao)) / 8;
    d.emCurso = false;
    d.feitos = ate;
    d.aguardando.erase(std::remove_if(d.aguardando.begin(), d.aguardando.end(),
                                      [ate](const TPedido& p) { return p.pedido <= ate; }),
                       d.aguardando.end());
    if (erro != 0) {
      ++d.falhas;
      d.erro = erro;
    }
    d.pronto.notify_all();
  }
  // A failure reported to more callers than it touched only costs them a
  // store that the disk was failing anyway.
  return d.falhas != falhasAntes ? d.erro : 0;
}

void TDescargaConjunta::esperarConexoes(TDisco& d, std::unique_lock<std::mutex>& guarda) {
  // Those that asked for one of the last two flushes; one that has not
  // asked since is gone from the count after two flushes.
  auto esperados = [&d] {
    size_t n = 0;
    for (const auto& c : d.conexoes) n += c.second + 2 >= d.descargas ? 1 : 0;
    return n;
  };
  auto limite = std::chrono::steady_clock::now() + std::min(d.duracao / 2, ESPERA_MAXIMA);
  while (d.aguardando.size() < esperados() &&
         d.chegou.wait_until(guarda, limite) == std::cv_status::no_timeout) {
  }
}

void TDescargaConjunta::sair(dev_t disco, const void* conexao) {
  TDisco& d = discoDe(disco);
  std::lock_guard<std::mutex> guarda(d.trava);
  d.conexoes.erase(conexao);
  d.chegou.notify_one();
}
