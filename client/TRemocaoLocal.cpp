#include "TRemocaoLocal.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "TCopiaArvore.h"
#include "TDescritor.h"
#include "TUtils.h"

void TRemocaoLocal::podar(int pastaFd, const std::string& relativo, const TListados& listados) {
  std::vector<TEntrada> entradas;
  if (!lerEntradas(pastaFd, &entradas)) {
    copia->falhar(relativo.empty() ? "." : relativo,
                  "cannot read it to remove what is gone: " + textoDoErro(errno));
    return;
  }
  for (const TEntrada& entrada : entradas) {
    auto achado = listados.find(entrada.nome);
    if (achado != listados.end() && achado->second == entrada.pasta) continue;
    remover(pastaFd, entrada, relativo.empty() ? entrada.nome : relativo + "/" + entrada.nome);
  }
}

bool TRemocaoLocal::temEntradas(int pastaFd) {
  std::vector<TEntrada> entradas;
  return !lerEntradas(pastaFd, &entradas) || !entradas.empty();
}

bool TRemocaoLocal::lerEntradas(int pastaFd, std::vector<TEntrada>* entradas) {
  // Its own descriptor of the same folder: closedir closes it.
  int fd = openat(pastaFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  DIR* pasta = fdopendir(fd);
  if (pasta == nullptr) {
    int erro = errno;
    close(fd);
    errno = erro;
    return false;
  }
  errno = 0;
  while (struct dirent* e = readdir(pasta)) {
    std::string nome = e->d_name;
    if (nome == "." || nome == "..") continue;
    bool ehPasta = e->d_type == DT_DIR;
    struct stat st {};
    if (e->d_type == DT_UNKNOWN && fstatat(fd, e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0) {
      ehPasta = S_ISDIR(st.st_mode);
    }
    entradas->push_back({nome, ehPasta});
    errno = 0;
  }
  int erro = errno;
  closedir(pasta);
  errno = erro;
  return erro == 0;
}

bool TRemocaoLocal::remover(int paiFd, const TEntrada& entrada, const std::string& relativo) {
  if (entrada.pasta) return removerPasta(paiFd, entrada.nome, relativo);
  // A link goes itself; what it points to is never looked at.
  if (unlinkat(paiFd, entrada.nome.c_str(), 0) != 0) {
    copia->falhar(relativo, "cannot remove it: " + textoDoErro(errno));
    return false;
  }
  copia->contarRemovido(relativo);
  return true;
}

bool TRemocaoLocal::removerPasta(int paiFd, const std::string& nome, const std::string& relativo) {
  // Opened without following a link: if the folder became one meanwhile,
  // nothing is removed through it.
  TDescritor pasta(openat(paiFd, nome.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  std::vector<TEntrada> entradas;
  if (!pasta.valido() || !lerEntradas(pasta.get(), &entradas)) {
    copia->falhar(relativo, "cannot remove it: " + textoDoErro(errno));
    return false;
  }
  bool ok = true;
  for (const TEntrada& entrada : entradas) {
    ok = remover(pasta.get(), entrada, relativo + "/" + entrada.nome) && ok;
  }
  if (!ok) return false;
  if (unlinkat(paiFd, nome.c_str(), AT_REMOVEDIR) != 0) {
    copia->falhar(relativo, "cannot remove it: " + textoDoErro(errno));
    return false;
  }
  copia->contarRemovido(relativo + "/");
  return true;
}
