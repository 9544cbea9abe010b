#include "TCopiaArvore.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>

#include "ClienteVorna.h"
#include "TBackupArvore.h"
#include "TCaminhoLocal.h"
#include "TContagemCopia.h"
#include "TRestauracaoArvore.h"
#include "TResumoCopia.h"
#include "TThreadUnida.h"
#include "TUtils.h"

namespace {

double segundosDesde(std::chrono::steady_clock::time_point inicio) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - inicio).count();
}

}  // namespace

TCopiaArvore::TCopiaArvore(std::unique_ptr<ClienteVorna> primeira,
                           const TCanal::TConector& conector, const TOpcoesCopia& opcoes)
    : primeira(std::move(primeira)), conector(conector), opcoes(opcoes) {
  // Once here, so that the threads' localtime_r only read the zone.
  tzset();
}

TCopiaArvore::~TCopiaArvore() {}

void TCopiaArvore::iniciar(TResumoCopia* destino) {
  resumo = destino;
  contagem.reset(new TContagemCopia(resumo, opcoes));
}

bool TCopiaArvore::backup(const std::string& remotoPedido, const std::string& localPedido,
                          const std::string& desde, TResumoCopia* destino) {
  auto inicio = std::chrono::steady_clock::now();
  iniciar(destino);
  std::string remoto = TCaminhoLocal::semBarraFinal(remotoPedido);
  std::string local = TCaminhoLocal::semBarraFinal(localPedido);
  if (!abrirCanais()) return false;
  int raiz = -1;
  if (!abrirRaiz(local, &raiz)) return true;
  TBackupArvore copia(&canais, contagem.get(), opcoes, remoto, raiz);
  bool simulacao = opcoes.simulacao != nullptr;
  bool ok =
      simulacao ? copia.copiar(desde) : executarEscoando(raiz, [&] { return copia.copiar(desde); });
  // Last, once no file is made in them any more.
  if (ok && !simulacao) ok = copia.darDatasPastas();
  concluirBackup(local, raiz);
  resumo->segundos = segundosDesde(inicio);
  return ok;
}

bool TCopiaArvore::abrirRaiz(const std::string& local, int* raiz) {
  bool simulacao = opcoes.simulacao != nullptr;
  if (!simulacao) TCaminhoLocal::criarRaiz(local);
  *raiz = open(local.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  // A dry run into a copy not made yet: everything would be new.
  if (*raiz >= 0 || (simulacao && errno == ENOENT)) return true;
  contagem->falhar(local, textoDoErro(errno));
  return false;
}

void TCopiaArvore::concluirBackup(const std::string& local, int raiz) {
  // Fetches cut short hold temporary copies, removed with their requests.
  canais.fechar();
  // Durable before success is reported: one flush for the whole copy.
  if (opcoes.simulacao == nullptr && syncfs(raiz) != 0) {
    contagem->falhar(local, "could not flush the copy to disk: " + textoDoErro(errno));
  }
  if (raiz >= 0) close(raiz);
  contagem->concluirProgresso();
}

bool TCopiaArvore::restore(const std::string& localPedido, const std::string& remotoPedido,
                           TResumoCopia* destino) {
  auto inicio = std::chrono::steady_clock::now();
  iniciar(destino);
  std::string local = TCaminhoLocal::semBarraFinal(localPedido);
  std::string remoto = TCaminhoLocal::semBarraFinal(remotoPedido);
  TRestauracaoArvore copia(&canais, contagem.get(), opcoes, local, remoto);
  bool ok = !TCanal::interrompido() && abrirCanais();
  if (ok) copia.listar();
  ok = ok && !TCanal::interrompido() && copia.copiar();
  contagem->concluirProgresso();
  resumo->segundos = segundosDesde(inicio);
  if (!ok && !TCanal::interrompido()) contagem->falhar(remoto, "connection to the agent lost");
  return ok;
}

bool TCopiaArvore::abrirCanais() {
  if (!canais.abrir(std::move(primeira), conector, std::max(1, opcoes.conexoes))) {
    contagem->falhar("connection " + IntToStr(static_cast<int>(canais.quantos()) + 1),
                     "could not connect and log in to the agent");
    return false;
  }
  resumo->conexoes = static_cast<int64_t>(canais.quantos());
  return true;
}

bool TCopiaArvore::executarEscoando(int raiz, const std::function<bool()>& copia) {
  // The disk writes the copy back while it is made, so that the closing
  // flush finds little left: one flush after another on a thread of its own.
  std::mutex travaEscoar;
  std::condition_variable fim;
  bool terminou = false;
  TThreadUnida escoar([&] {
    std::unique_lock<std::mutex> espera(travaEscoar);
    while (!fim.wait_for(espera, std::chrono::milliseconds(200), [&] { return terminou; })) {
      espera.unlock();
      syncfs(raiz);
      espera.lock();
    }
  });
  auto parar = [&] {
    {
      std::lock_guard<std::mutex> aviso(travaEscoar);
      terminou = true;
    }
    fim.notify_one();
    escoar.unir();
  };
  bool ok;
  try {
    ok = copia();
  } catch (...) {
    parar();
    throw;
  }
  parar();
  return ok;
}
