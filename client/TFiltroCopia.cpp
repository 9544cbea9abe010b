#include "TFiltroCopia.h"

#include <fnmatch.h>

#include <algorithm>
#include <cerrno>
#include <fstream>

#include "TUtils.h"

namespace {

// '*' and '?' stop at a '/', as rsync's single star does.
bool casarNome(const std::string& padrao, const std::string& texto) {
  return fnmatch(padrao.c_str(), texto.c_str(), FNM_PATHNAME) == 0;
}

int contarBarras(const std::string& texto) {
  return static_cast<int>(std::count(texto.begin(), texto.end(), '/'));
}

// The pattern cut at each run of two stars or more.
std::vector<std::string> separarNosDuplos(const std::string& padrao) {
  std::vector<std::string> partes(1);
  for (size_t i = 0; i < padrao.size();) {
    if (padrao.compare(i, 2, "**") == 0) {
      while (i < padrao.size() && padrao[i] == '*') ++i;
      partes.emplace_back();
    } else {
      partes.back() += padrao[i++];
    }
  }
  return partes;
}

}  // namespace

bool TFiltroCopia::acrescentar(bool incluir, const std::string& padrao) {
  TRegra regra{};
  regra.incluir = incluir;
  std::string resto = padrao;
  while (resto.size() > 1 && resto.back() == '/') {
    resto.pop_back();
    regra.soPastas = true;
  }
  regra.ancorada = !resto.empty() && resto[0] == '/';
  if (regra.ancorada) resto.erase(0, 1);
  if (resto.empty()) return false;
  regra.temDuplo = resto.find("**") != std::string::npos;
  regra.barras = contarBarras(resto);
  regra.soNome = !regra.ancorada && !regra.temDuplo && regra.barras == 0;
  regra.partes = separarNosDuplos(resto);
  regras.push_back(std::move(regra));
  return true;
}

bool TFiltroCopia::lerArquivo(const std::string& caminho, std::string* erro) {
  std::ifstream arquivo(caminho);
  if (!arquivo) {
    *erro = textoDoErro(errno);
    return false;
  }
  std::string linha;
  while (std::getline(arquivo, linha)) {
    if (!linha.empty() && linha.back() == '\r') linha.pop_back();
    if (linha.empty() || linha[0] == '#' || linha[0] == ';') continue;
    bool incluir = linha.compare(0, 2, "+ ") == 0;
    if (incluir || linha.compare(0, 2, "- ") == 0) linha.erase(0, 2);
    if (!acrescentar(incluir, linha)) {
      *erro = "empty pattern: " + linha;
      return false;
    }
  }
  if (arquivo.bad()) {
    *erro = textoDoErro(errno);
    return false;
  }
  return true;
}

bool TFiltroCopia::excluido(const std::string& relativo, bool pasta) const {
  for (const TRegra& regra : regras) {
    if (regra.soPastas && !pasta) continue;
    if (casa(regra, relativo)) return !regra.incluir;
  }
  return false;
}

bool TFiltroCopia::excluidoComPais(const std::string& relativo, bool pasta) const {
  if (regras.empty()) return false;
  for (size_t barra = relativo.find('/'); barra != std::string::npos;
       barra = relativo.find('/', barra + 1)) {
    if (excluido(relativo.substr(0, barra), true)) return true;
  }
  return excluido(relativo, pasta);
}

bool TFiltroCopia::casa(const TRegra& regra, const std::string& relativo) const {
  if (regra.soNome) {
    size_t barra = relativo.rfind('/');
    return casarNome(regra.partes[0],
                     barra == std::string::npos ? relativo : relativo.substr(barra + 1));
  }
  if (regra.ancorada) return casarPartes(regra.partes, 0, relativo);
  if (!regra.temDuplo) {
    // "a/b" matches the last two parts of a path, at any depth.
    int vistas = 0;
    for (size_t i = relativo.size(); i > 0; --i) {
      if (relativo[i - 1] == '/' && ++vistas > regra.barras) {
        return casarNome(regra.partes[0], relativo.substr(i));
      }
    }
    return vistas == regra.barras && casarNome(regra.partes[0], relativo);
  }
  // With "**", from the start or after any '/'; a leading "**" covers them all.
  for (size_t inicio = 0;;) {
    if (casarPartes(regra.partes, 0, relativo.substr(inicio))) return true;
    size_t barra = relativo.find('/', inicio);
    if (regra.partes[0].empty() || barra == std::string::npos) return false;
    inicio = barra + 1;
  }
}

bool TFiltroCopia::casarPartes(const std::vector<std::string>& partes, size_t parte,
                               const std::string& texto) {
  const std::string& padrao = partes[parte];
  if (parte + 1 == partes.size()) return casarNome(padrao, texto);
  // The shortest start this part matches leaves the "**" after it the most
  // to take, so it is the only one worth trying. fnmatch matches a '/' only
  // with a '/': just the starts with as many are tried.
  int barras = contarBarras(padrao), vistas = 0;
  size_t fim = 0;
  for (; fim <= texto.size() && vistas <= barras; ++fim) {
    if (vistas == barras && casarNome(padrao, texto.substr(0, fim))) break;
    if (fim < texto.size() && texto[fim] == '/') ++vistas;
  }
  if (fim > texto.size() || vistas > barras) return false;
  bool ultima = parte + 2 == partes.size();
  int barrasDaUltima = ultima ? contarBarras(partes[parte + 1]) : 0;
  vistas = 0;
  for (size_t inicio = texto.size() + 1; inicio-- > fim;) {
    if (inicio < texto.size() && texto[inicio] == '/') ++vistas;
    if (ultima && vistas > barrasDaUltima) return false;
    if ((!ultima || vistas == barrasDaUltima) &&
        casarPartes(partes, parte + 1, texto.substr(inicio))) {
      return true;
    }
  }
  return false;
}
