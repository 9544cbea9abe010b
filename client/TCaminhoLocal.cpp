#include "TCaminhoLocal.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

bool TCaminhoLocal::relativo(const std::string& raiz, const std::string& caminho,
                             std::string* relativo) {
  std::string prefixo = raiz == "/" ? "/" : raiz + "/";
  if (caminho.compare(0, prefixo.size(), prefixo) != 0) return false;
  *relativo = caminho.substr(prefixo.size());
  if (relativo->empty()) return false;
  // A hostile or confused agent must not make us write outside the target.
  size_t inicio = 0;
  for (;;) {
    size_t fim = relativo->find('/', inicio);
    std::string parte = relativo->substr(inicio, fim == std::string::npos ? fim : fim - inicio);
    if (parte.empty() || parte == "." || parte == "..") return false;
    if (fim == std::string::npos) return true;
    inicio = fim + 1;
  }
}

int TCaminhoLocal::abrirPasta(int raiz, const std::string& relativo) {
  if (relativo.empty()) return dup(raiz);
  struct open_how como {};
  como.flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
  como.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS;
  long fd = syscall(SYS_openat2, raiz, relativo.c_str(), &como, sizeof como);
  if (fd >= 0 || (errno != ENOSYS && errno != EPERM)) return static_cast<int>(fd);
  return abrirPastaPorPartes(raiz, relativo);
}

// One part at a time with O_NOFOLLOW: where openat2 is missing.
int TCaminhoLocal::abrirPastaPorPartes(int raiz, const std::string& relativo) {
  int fd = dup(raiz);
  size_t inicio = 0;
  while (fd >= 0 && inicio < relativo.size()) {
    size_t fim = relativo.find('/', inicio);
    if (fim == std::string::npos) fim = relativo.size();
    std::string parte = relativo.substr(inicio, fim - inicio);
    inicio = fim + 1;
    if (parte.empty()) continue;
    int proximo = openat(fd, parte.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    int erro = errno;
    close(fd);
    fd = proximo;
    errno = erro;
  }
  return fd;
}

// The copy is private: a new root lets no one else in, since the protocol
// does not say who may read the originals. Its parents are made as usual.
void TCaminhoLocal::criarRaiz(const std::string& local) {
  std::filesystem::path caminho(local);
  std::error_code erro;
  if (caminho.has_parent_path()) std::filesystem::create_directories(caminho.parent_path(), erro);
  mkdir(local.c_str(), 0700);
}

std::string TCaminhoLocal::juntar(const std::string& pasta, const std::string& relativo) {
  if (relativo.empty()) return pasta;
  return pasta == "/" ? "/" + relativo : pasta + "/" + relativo;
}

std::string TCaminhoLocal::filho(const std::string& relativo, const std::string& nome) {
  return relativo.empty() ? nome : relativo + "/" + nome;
}

std::string TCaminhoLocal::semBarraFinal(std::string caminho) {
  while (caminho.size() > 1 && caminho.back() == '/') caminho.pop_back();
  return caminho;
}
