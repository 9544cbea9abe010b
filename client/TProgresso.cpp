#include "TProgresso.h"

#include <unistd.h>

#include <cstdio>

TProgresso::TProgresso(const std::string& rotulo, int64_t total)
    : rotulo(rotulo),
      total(total),
      ativo(isatty(STDERR_FILENO) == 1),
      desenhado(false),
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

void TProgresso::atualizar(int64_t feito) {
  if (!ativo) return;
  auto agora = std::chrono::steady_clock::now();
  if (desenhado && agora - ultimoDesenho < std::chrono::milliseconds(100) && feito < total) return;
  ultimoDesenho = agora;
  desenhar(feito);
}

void TProgresso::desenhar(int64_t feito) {
  double segundos = std::chrono::duration<double>(std::chrono::steady_clock::now() - inicio).count();
  double taxa = segundos > 0 ? feito / segundos : 0;
  const int LARGURA = 24;
  int cheios = total > 0 ? static_cast<int>(LARGURA * static_cast<double>(feito) / total) : LARGURA;
  if (cheios > LARGURA) cheios = LARGURA;
  std::string barra(static_cast<size_t>(cheios), '#');
  barra.append(static_cast<size_t>(LARGURA - cheios), ' ');
  char restante[32] = "--:--";
  if (taxa > 0 && total >= feito) {
    long falta = static_cast<long>((total - feito) / taxa);
    std::snprintf(restante, sizeof restante, "%ld:%02ld", falta / 60, falta % 60);
  }
  std::fprintf(stderr, "\r\033[K%s [%s] %s / %s  %s/s  %s left", rotulo.c_str(), barra.c_str(),
               formatarBytes(static_cast<double>(feito)).c_str(),
               formatarBytes(static_cast<double>(total)).c_str(), formatarBytes(taxa).c_str(),
               restante);
  std::fflush(stderr);
  desenhado = true;
}

void TProgresso::concluir() {
  if (ativo && desenhado) {
    std::fprintf(stderr, "\r\033[K");
    std::fflush(stderr);
    desenhado = false;
  }
}
