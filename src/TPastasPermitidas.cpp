#include "TPastasPermitidas.h"

#include <sys/stat.h>

#include <algorithm>
#include <atomic>

namespace {

std::atomic<const TPastasPermitidas*> pastasGlobais{nullptr};

bool temRaiz(const std::vector<std::string>& pastas) {
  return std::find(pastas.begin(), pastas.end(), "/") != pastas.end();
}

}  // namespace

TPastasPermitidas::TPastasPermitidas(bool somenteLeitura, bool restringirLeitura,
                                     std::vector<std::string> leituraDada, bool restringirEscrita,
                                     std::vector<std::string> escritaDada)
    : somenteLeitura(somenteLeitura),
      leituraLivre(!restringirLeitura || temRaiz(leituraDada)),
      escritaLivre(!somenteLeitura && (!restringirEscrita || temRaiz(escritaDada))),
      leitura(std::move(leituraDada)),
      escrita(std::move(escritaDada)) {
  if (somenteLeitura || !restringirEscrita) escrita.clear();
  // What may be written may be looked at: a restore checks what it stored.
  consulta = leitura;
  consulta.insert(consulta.end(), escrita.begin(), escrita.end());
  consultaLivre = leituraLivre || (!somenteLeitura && restringirEscrita && temRaiz(escrita));
}

TPastasPermitidas::~TPastasPermitidas() {}

bool TPastasPermitidas::livre(TAcessoCaminho acesso) const {
  switch (acesso) {
    case ACESSO_CONTEUDO:
      return leituraLivre;
    case ACESSO_CONSULTA:
      return consultaLivre;
    case ACESSO_ESCRITA:
      return escritaLivre;
  }
  return false;
}

std::string TPastasPermitidas::vedado(TAcessoCaminho acesso) const {
  if (acesso == ACESSO_ESCRITA && somenteLeitura) {
    return "o agente é somente leitura (somenteLeitura=1)";
  }
  return std::string();
}

const std::vector<std::string>& TPastasPermitidas::pastasDe(TAcessoCaminho acesso) const {
  if (acesso == ACESSO_CONTEUDO) return leitura;
  return acesso == ACESSO_CONSULTA ? consulta : escrita;
}

const char* TPastasPermitidas::chave(TAcessoCaminho acesso) {
  return acesso == ACESSO_ESCRITA ? "pastasEscrita" : "pastasLeitura";
}

std::vector<std::pair<std::string, std::string>> TPastasPermitidas::candidatas(
    const std::string& caminho, TAcessoCaminho acesso) const {
  std::vector<std::pair<std::string, std::string>> resultado;
  if (caminho.empty() || caminho[0] != '/' || !vedado(acesso).empty()) return resultado;
  for (const std::string& pasta : pastasDe(acesso)) {
    // Only where to start: whether the path stays below is the resolution's
    // to say, from the folder's own descriptor.
    if (caminho.compare(0, pasta.size(), pasta) != 0) continue;
    if (caminho.size() == pasta.size()) {
      resultado.emplace_back(pasta, "");
    } else if (caminho[pasta.size()] == '/') {
      resultado.emplace_back(pasta, caminho.substr(pasta.size() + 1));
    }
  }
  std::sort(resultado.begin(), resultado.end(),
            [](const auto& a, const auto& b) { return a.first.size() > b.first.size(); });
  return resultado;
}

bool TPastasPermitidas::ehPastaPermitida(dev_t dev, ino_t ino, TAcessoCaminho acesso) const {
  for (const std::string& pasta : pastasDe(acesso)) {
    struct stat st {};
    if (stat(pasta.c_str(), &st) == 0 && st.st_dev == dev && st.st_ino == ino) return true;
  }
  return false;
}

void TPastasPermitidas::definirGlobal(const TPastasPermitidas* pastas) { pastasGlobais = pastas; }

const TPastasPermitidas* TPastasPermitidas::global() { return pastasGlobais.load(); }
