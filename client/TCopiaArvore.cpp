#include "TCopiaArvore.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <system_error>

#include "ClienteVorna.h"
#include "TBackupArvore.h"
#include "TCaminhoLocal.h"
#include "TCanal.h"
#include "TProgresso.h"
#include "TRestauracaoArvore.h"
#include "TThreadUnida.h"
#include "TUtils.h"

namespace {

double segundosDesde(std::chrono::steady_clock::time_point inicio) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - inicio).count();
}

}  // namespace

TCopiaArvore::TCopiaArvore(std::unique_ptr<ClienteVorna> primeira, const TConector& conector,
                           int conexoes, int bloco)
    : primeira(std::move(primeira)),
      conector(conector),
      conexoes(std::max(1, conexoes)),
      bloco(bloco) {
  // Once here, so that the threads' localtime_r only read the zone.
  tzset();
}

TCopiaArvore::~TCopiaArvore() {}

bool TCopiaArvore::backup(const std::string& remotoPedido, const std::string& localPedido,
                          const std::string& desde, TResumoCopia* destino) {
  auto inicio = std::chrono::steady_clock::now();
  resumo = destino;
  resumo->simulacao = simulacao != nullptr;
  std::string remoto = TCaminhoLocal::semBarraFinal(remotoPedido);
  std::string local = TCaminhoLocal::semBarraFinal(localPedido);
  if (!abrirCanais()) return false;
  int raiz = -1;
  if (!abrirRaiz(local, &raiz)) return true;
  TBackupArvore copia(this, remoto, raiz, filtro, simulacao);
  bool ok = simulacao != nullptr ? copia.copiar(desde)
                                 : executarEscoando(raiz, [&] { return copia.copiar(desde); });
  // Last, once no file is made in them any more.
  if (ok && simulacao == nullptr) ok = copia.darDatasPastas();
  concluirBackup(local, raiz);
  resumo->segundos = segundosDesde(inicio);
  return ok;
}

bool TCopiaArvore::abrirRaiz(const std::string& local, int* raiz) {
  if (simulacao == nullptr) TCaminhoLocal::criarRaiz(local);
  *raiz = open(local.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  // A dry run into a copy not made yet: everything would be new.
  if (*raiz >= 0 || (simulacao != nullptr && errno == ENOENT)) return true;
  falhar(local, textoDoErro(errno));
  return false;
}

void TCopiaArvore::concluirBackup(const std::string& local, int raiz) {
  // Fetches cut short hold temporary copies, removed with their requests.
  canais.clear();
  // Durable before success is reported: one flush for the whole copy.
  if (simulacao == nullptr && syncfs(raiz) != 0) {
    falhar(local, "could not flush the copy to disk: " + textoDoErro(errno));
  }
  if (raiz >= 0) close(raiz);
  if (progresso) progresso->concluir();
}

bool TCopiaArvore::restore(const std::string& localPedido, const std::string& remotoPedido,
                           TResumoCopia* destino) {
  auto inicio = std::chrono::steady_clock::now();
  resumo = destino;
  resumo->simulacao = simulacao != nullptr;
  std::string local = TCaminhoLocal::semBarraFinal(localPedido);
  std::string remoto = TCaminhoLocal::semBarraFinal(remotoPedido);
  TRestauracaoArvore copia(this, local, remoto, filtro, simulacao);
  bool ok = !TCanal::interrompido() && abrirCanais();
  if (ok) copia.listar();
  ok = ok && !TCanal::interrompido() && copia.copiar();
  if (progresso) progresso->concluir();
  resumo->segundos = segundosDesde(inicio);
  if (!ok && !TCanal::interrompido()) falhar(remoto, "connection to the agent lost");
  return ok;
}

void TCopiaArvore::iniciarProgresso(const char* rotulo, int64_t bytes, int64_t arquivos) {
  progresso.reset(new TProgresso(rotulo, bytes, arquivos));
  progresso->setLimite(limiteBanda);
  // A dry run's lines go to standard output, which the bar would tear.
  if (simulacao == nullptr) progresso->desenharSozinho();
}

void TCopiaArvore::falhar(const std::string& caminho, const std::string& motivo) {
  contarFalha();
  avisar(caminho + ": " + motivo);
}

void TCopiaArvore::avisar(const std::string& linha) {
  if (progresso) {
    progresso->avisar(linha);
  } else {
    std::fprintf(stderr, "%s\n", linha.c_str());
  }
}

void TCopiaArvore::contar(int64_t arquivos, int64_t bytes, int64_t pastas) {
  std::lock_guard<std::mutex> guarda(trava);
  resumo->arquivos += arquivos;
  resumo->bytes += bytes;
  resumo->pastas += pastas;
}

void TCopiaArvore::contarFalha() {
  std::lock_guard<std::mutex> guarda(trava);
  ++resumo->falhas;
}

void TCopiaArvore::contarIgnorado() {
  std::lock_guard<std::mutex> guarda(trava);
  ++resumo->ignorados;
}

void TCopiaArvore::contarInalterados(int64_t arquivos) {
  {
    std::lock_guard<std::mutex> guarda(trava);
    resumo->inalterados += arquivos;
  }
  if (progresso) progresso->acrescentarInalterados(arquivos);
}

void TCopiaArvore::contarRemovido(const std::string& caminho) {
  {
    std::lock_guard<std::mutex> guarda(trava);
    ++resumo->removidos;
  }
  if (verboso && simulacao == nullptr) avisar("removed " + caminho);
}

bool TCopiaArvore::abrirCanais() {
  canais.emplace_back(new TCanal(std::move(primeira), conector));
  while (static_cast<int>(canais.size()) < conexoes) {
    std::unique_ptr<ClienteVorna> outra = conector ? conector() : nullptr;
    if (!outra) {
      falhar("connection " + IntToStr(static_cast<int>(canais.size()) + 1),
             "could not connect and log in to the agent");
      return false;
    }
    canais.emplace_back(new TCanal(std::move(outra), conector));
  }
  resumo->conexoes = static_cast<int64_t>(canais.size());
  return true;
}

bool TCopiaArvore::executarTodos(const std::function<TCanal::TProdutor(size_t)>& fabrica) {
  std::vector<char> certos(canais.size(), 0);
  // A channel that throws counts as lost; the others run to their end.
  auto executarUm = [&](size_t i) {
    try {
      certos[i] = canais[i]->executar(fabrica(i));
    } catch (...) {
      certos[i] = 0;
    }
  };
  {
    std::vector<TThreadUnida> outros;
    for (size_t i = 1; i < canais.size(); ++i) {
      try {
        outros.emplace_back([&executarUm, i] { executarUm(i); });
      } catch (const std::system_error&) {
        break;  // certos[i] stays 0: the run fails
      }
    }
    executarUm(0);
  }
  return std::all_of(certos.begin(), certos.end(), [](char c) { return c != 0; });
}

bool TCopiaArvore::tomarLote(const TTrabalho& trabalho, TLote* lote) {
  std::lock_guard<std::mutex> guarda(trava);
  size_t total = trabalho.tamanhos.size();
  if (cursor >= total) return false;
  lote->proximo = lote->fim = cursor;
  int64_t bytes = 0;
  while (lote->fim < total && lote->fim - lote->proximo < LOTE_ARQUIVOS &&
         trabalho.pastas[lote->fim] == trabalho.pastas[lote->proximo] &&
         (lote->fim == lote->proximo || bytes + trabalho.tamanhos[lote->fim] <= LOTE_BYTES)) {
    bytes += trabalho.tamanhos[lote->fim++];
  }
  cursor = lote->fim;
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
