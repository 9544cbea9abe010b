#include "Temporario.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <stdexcept>
#include <vector>

#include "Logger.h"

PastaTemporaria::PastaTemporaria() {
  const char* base = std::getenv("TMPDIR");
  std::string modelo = std::string(base && *base ? base : "/tmp") + "/vorna-teste-XXXXXX";
  std::vector<char> texto(modelo.begin(), modelo.end());
  texto.push_back('\0');
  if (mkdtemp(texto.data()) == nullptr) throw std::runtime_error("mkdtemp falhou");
  pasta = std::filesystem::canonical(texto.data()).string();
}

PastaTemporaria::~PastaTemporaria() {
  std::error_code erro;
  std::filesystem::remove_all(pasta, erro);
}

DiretorioDeTrabalho::DiretorioDeTrabalho() {
  anterior = std::filesystem::current_path().string();
  std::filesystem::current_path(pasta.caminho());
}

DiretorioDeTrabalho::~DiretorioDeTrabalho() {
  std::error_code erro;
  std::filesystem::current_path(anterior, erro);
}

void escreverArquivo(const std::string& caminho, const std::string& conteudo) {
  std::ofstream arquivo(caminho, std::ios::binary | std::ios::trunc);
  arquivo << conteudo;
  if (!arquivo) throw std::runtime_error("não foi possível escrever " + caminho);
}

std::string lerArquivo(const std::string& caminho) {
  std::ifstream arquivo(caminho, std::ios::binary);
  std::ostringstream conteudo;
  conteudo << arquivo.rdbuf();
  return conteudo.str();
}

void tocar(const std::string& caminho, time_t quando) {
  struct timespec tempos[2] = {{quando, 0}, {quando, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, caminho.c_str(), tempos, 0), 0) << caminho;
}

struct stat estado(const std::string& caminho) {
  struct stat st {};
  EXPECT_EQ(stat(caminho.c_str(), &st), 0) << caminho;
  return st;
}

mode_t umaskAtual() {
  mode_t mascara = umask(0);
  umask(mascara);
  return mascara;
}

int contar(const std::string& texto, const std::string& trecho) {
  int n = 0;
  for (size_t p = texto.find(trecho); p != std::string::npos;
       p = texto.find(trecho, p + trecho.size())) {
    ++n;
  }
  return n;
}

bool logsGravaveis() { return access("/var/log", W_OK) == 0; }

LogDoTeste::LogDoTeste()
    : pid(900000000 + static_cast<int>(getpid() % 1000000)), caminho(Logger().caminhoLog(pid)) {
  unlink(caminho.c_str());
}

LogDoTeste::~LogDoTeste() { unlink(caminho.c_str()); }

std::string LogDoTeste::ler() const {
  return access(caminho.c_str(), F_OK) == 0 ? lerArquivo(caminho) : "";
}

std::string retratoDaArvore(const std::string& raiz) {
  std::map<std::string, std::string> linhas;
  auto retratar = [&](const std::filesystem::path& caminho) {
    struct stat st {};
    if (lstat(caminho.c_str(), &st) != 0) return;
    std::string conteudo = S_ISREG(st.st_mode)   ? lerArquivo(caminho)
                           : S_ISLNK(st.st_mode) ? std::filesystem::read_symlink(caminho).string()
                                                 : "";
    std::ostringstream linha;
    linha << std::oct << (st.st_mode & S_IFMT) << std::dec << " " << st.st_size << " " << st.st_ino
          << " " << st.st_mtim.tv_sec << "." << st.st_mtim.tv_nsec << " " << st.st_ctim.tv_sec
          << "." << st.st_ctim.tv_nsec << " " << std::hash<std::string>()(conteudo);
    linhas[std::filesystem::relative(caminho, raiz).string()] = linha.str();
  };
  retratar(raiz);
  for (const auto& entrada : std::filesystem::recursive_directory_iterator(raiz)) {
    retratar(entrada.path());
  }
  std::string retrato;
  for (const auto& par : linhas) retrato += par.first + " " + par.second + "\n";
  return retrato;
}

TEnderecoIP enderecoDe(const std::string& texto) {
  TEnderecoIP endereco;
  EXPECT_TRUE(TEnderecoIP::lerEndereco(texto, &endereco)) << texto;
  return endereco;
}
