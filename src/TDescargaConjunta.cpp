#include "TDescargaConjunta.h"

#include <unistd.h>

#include <cerrno>
#include <map>
#include <memory>

TDescargaConjunta::TDisco& TDescargaConjunta::discoDe(dev_t disco) {
  static std::mutex trava;
  static std::map<dev_t, std::unique_ptr<TDisco>> discos;  // one per file system, kept
  std::lock_guard<std::mutex> guarda(trava);
  std::unique_ptr<TDisco>& d = discos[disco];
  if (!d) d.reset(new TDisco);
  return *d;
}

int TDescargaConjunta::descarregar(dev_t disco, int fd) {
  return descarregar(disco, [fd] { return syncfs(fd) == 0 ? 0 : errno; });
}

int TDescargaConjunta::descarregar(dev_t disco, const std::function<int()>& descarga) {
  TDisco& d = discoDe(disco);
  std::unique_lock<std::mutex> guarda(d.trava);
  uint64_t falhasAntes = d.falhas;
  uint64_t meu = ++d.pedidos;
  while (d.feitos < meu) {
    if (d.emCurso) {
      d.pronto.wait(guarda);
      continue;
    }
    d.emCurso = true;
    uint64_t ate = d.pedidos;
    guarda.unlock();
    int erro = descarga();
    guarda.lock();
    d.emCurso = false;
    d.feitos = ate;
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
