#include "TContagemCopia.h"

#include <cstdio>

#include "TOpcoesCopia.h"
#include "TProgresso.h"
#include "TResumoCopia.h"

TContagemCopia::TContagemCopia(TResumoCopia* resumo, const TOpcoesCopia& opcoes)
    : resumo(resumo),
      verboso(opcoes.verboso),
      simulacao(opcoes.simulacao != nullptr),
      limiteBanda(opcoes.limiteBanda) {
  resumo->simulacao = simulacao;
}

TContagemCopia::~TContagemCopia() {}

void TContagemCopia::iniciarProgresso(const char* rotulo, int64_t bytes, int64_t arquivos) {
  progresso.reset(new TProgresso(rotulo, bytes, arquivos));
  progresso->setLimite(limiteBanda);
  if (!simulacao) progresso->desenharSozinho();
}

void TContagemCopia::concluirProgresso() {
  if (progresso) progresso->concluir();
}

void TContagemCopia::falhar(const std::string& caminho, const std::string& motivo) {
  somar(&TResumoCopia::falhas, 1);
  avisar(caminho + ": " + motivo);
}

void TContagemCopia::avisar(const std::string& linha) {
  if (progresso) {
    progresso->avisar(linha);
  } else {
    std::fprintf(stderr, "%s\n", linha.c_str());
  }
}

void TContagemCopia::contar(int64_t arquivos, int64_t bytes, int64_t pastas) {
  std::lock_guard<std::mutex> guarda(trava);
  resumo->arquivos += arquivos;
  resumo->bytes += bytes;
  resumo->pastas += pastas;
}

void TContagemCopia::contarArquivo(int64_t bytes) {
  contar(1, bytes, 0);
  if (progresso) progresso->acrescentar(0, 1);
}

void TContagemCopia::contarFalha(const std::string& linha) {
  somar(&TResumoCopia::falhas, 1);
  if (verboso) avisar(linha);
}

void TContagemCopia::contarIgnorado(const std::string& linha) {
  somar(&TResumoCopia::ignorados, 1);
  if (verboso) avisar(linha);
}

void TContagemCopia::contarInalterados(int64_t arquivos) {
  somar(&TResumoCopia::inalterados, arquivos);
  if (progresso) progresso->acrescentarInalterados(arquivos);
}

void TContagemCopia::contarRemovido(const std::string& caminho) {
  somar(&TResumoCopia::removidos, 1);
  if (verboso && !simulacao) avisar("removed " + caminho);
}

void TContagemCopia::somar(int64_t TResumoCopia::*campo, int64_t n) {
  std::lock_guard<std::mutex> guarda(trava);
  resumo->*campo += n;
}

void TContagemCopia::aumentarTotal(int64_t bytes, int64_t arquivos) {
  if (progresso) progresso->aumentarTotal(bytes, arquivos);
}

void TContagemCopia::avancar(int64_t bytes) {
  if (progresso) progresso->acrescentar(bytes, 0);
}
