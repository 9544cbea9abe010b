#include "TProgresso.h"

#include <unistd.h>

#include <cstdio>

TProgresso::TProgresso(const std::string& rotulo, int64_t total, int64_t totalArquivos)
    : rotulo(rotulo),
      total(total),
      totalArquivos(totalArquivos),
      ativo(isatty(STDERR_FILENO) == 1),
      inicio(std::chrono::steady_clock::now()),
      ultimoDesenho(inicio) {}

TProgresso::~TProgresso() { concluir(); }

std::string TProgresso::formatarBytes(double bytes) {
  const char* unidades[] = {"B", "KiB", "MiB", "GiB", "TiB"};
  int u = 0;
  while (bytes >= 1024 && u < 4) {
    bytes /= 1024;
    ++u;
  }
  char texto[32];
  std::snprintf(texto, sizeof texto, u == 0 ? "%.0f %s" : "%.1f %s", bytes, unidades[u]);
  return texto;
}

std::string TProgresso::formatarRestante(double segundos, double fracao) {
  if (fracao <= 0 || segundos <= 0) return "--:--";
  if (fracao > 1) fracao = 1;
  long falta = static_cast<long>(segundos * (1 - fracao) / fracao + 0.5);
  char texto[32];
  std::snprintf(texto, sizeof texto, "%ld:%02ld", falta / 60, falta % 60);
  return texto;
}

void TProgresso::atualizar(int64_t valor) {
  feito = valor;
  if (!ativo) return;
  std::lock_guard<std::mutex> guarda(trava);
  auto agora = std::chrono::steady_clock::now();
  if (desenhado && agora - ultimoDesenho < std::chrono::milliseconds(100) && valor < total) return;
  ultimoDesenho = agora;
  desenhar();
}

void TProgresso::acrescentar(int64_t bytes, int64_t n) {
  feito += bytes;
  arquivos += n;
}

void TProgresso::aumentarTotal(int64_t bytes, int64_t n) {
  total += bytes;
  totalArquivos += n;
}

void TProgresso::acrescentarInalterados(int64_t n) {
  totalArquivos += n;
  arquivos += n;
  inalterados += n;
}

void TProgresso::desenharSozinho() {
  if (!ativo || desenhista.ativa()) return;
  desenhista = TThreadUnida([this] {
    std::unique_lock<std::mutex> guarda(trava);
    try {
      while (!parar.wait_for(guarda, std::chrono::milliseconds(100), [this] { return parando; })) {
        desenhar();
      }
    } catch (...) {
      // No memory for a line: the bar is not drawn any more, the copy goes on.
    }
  });
}

void TProgresso::desenhar() {
  double segundos =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - inicio).count();
  int64_t bytes = feito, n = arquivos;
  double taxa = segundos > 0 ? bytes / segundos : 0;
  // Small files cost their count, large ones their bytes: the time left
  // weighs both shares of the work.
  double fracao = total > 0 ? static_cast<double>(bytes) / total : 1;
  if (totalArquivos > 0) fracao = (fracao + static_cast<double>(n) / totalArquivos) / 2;
  const int LARGURA = 24;
  int cheios = static_cast<int>(LARGURA * fracao);
  if (cheios > LARGURA) cheios = LARGURA;
  std::string barra(static_cast<size_t>(cheios), '#');
  barra.append(static_cast<size_t>(LARGURA - cheios), ' ');
  std::string contagem;
  if (totalArquivos > 0) {
    contagem = std::to_string(n) + "/" + std::to_string(totalArquivos) + " files  ";
  }
  if (inalterados > 0) contagem += std::to_string(inalterados) + " unchanged  ";
  std::string teto;
  if (limite > 0) teto = " (cap " + formatarBytes(static_cast<double>(limite)) + "/s)";
  std::fprintf(stderr, "\r\033[K%s [%s] %s%s / %s  %s/s%s  %s left", rotulo.c_str(), barra.c_str(),
               contagem.c_str(), formatarBytes(static_cast<double>(bytes)).c_str(),
               formatarBytes(static_cast<double>(total)).c_str(), formatarBytes(taxa).c_str(),
               teto.c_str(), formatarRestante(segundos, fracao).c_str());
  std::fflush(stderr);
  desenhado = true;
}

void TProgresso::avisar(const std::string& linha) {
  std::lock_guard<std::mutex> guarda(trava);
  std::fprintf(stderr, "%s%s\n", ativo ? "\r\033[K" : "", linha.c_str());
  // The bar comes back at the next drawing.
}

void TProgresso::concluir() {
  if (desenhista.ativa()) {
    {
      std::lock_guard<std::mutex> guarda(trava);
      parando = true;
    }
    parar.notify_all();
    desenhista.unir();
  }
  std::lock_guard<std::mutex> guarda(trava);
  if (ativo && desenhado) {
    std::fprintf(stderr, "\r\033[K");
    std::fflush(stderr);
    desenhado = false;
  }
}
