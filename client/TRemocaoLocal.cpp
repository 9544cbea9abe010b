#include "TRemocaoLocal.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "TCaminhoLocal.h"
#include "TContagemCopia.h"
#include "TDescritor.h"
#include "TFiltroCopia.h"
#include "TRelatorioSimulacao.h"
#include "TUtils.h"

void TRemocaoLocal::podar(int pastaFd, const std::string& relativo, const TListados& listados) {
  std::vector<TEntrada> entradas;
  if (!lerEntradas(pastaFd, &entradas)) {
    contagem->falhar(relativo.empty() ? "." : relativo,
                     "cannot read it to remove what is gone: " + textoDoErro(errno));
    return;
  }
  for (const TEntrada& entrada : entradas) {
    auto achado = listados.find(entrada.nome);
    if (achado != listados.end() && achado->second == entrada.pasta) continue;
    remover(pastaFd, entrada, TCaminhoLocal::filho(relativo, entrada.nome));
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

TRemocaoLocal::TFim TRemocaoLocal::remover(int paiFd, const TEntrada& entrada,
                                           const std::string& relativo) {
  // Left out of the copy is not gone from the agent: it stays.
  if (filtro != nullptr && filtro->excluido(relativo, entrada.pasta)) return MANTIDA;
  if (entrada.pasta) return removerPasta(paiFd, entrada.nome, relativo);
  // A link goes itself; what it points to is never looked at.
  return apagar(paiFd, entrada.nome, 0, relativo);
}

TRemocaoLocal::TFim TRemocaoLocal::removerPasta(int paiFd, const std::string& nome,
                                                const std::string& relativo) {
  // Opened without following a link: if the folder became one meanwhile,
  // nothing is removed through it.
  TDescritor pasta(openat(paiFd, nome.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  std::vector<TEntrada> entradas;
  if (!pasta.valido() || !lerEntradas(pasta.get(), &entradas)) {
    contagem->falhar(relativo, "cannot remove it: " + textoDoErro(errno));
    return FALHOU;
  }
  TFim fim = REMOVIDA;
  for (const TEntrada& entrada : entradas) {
    fim = std::max(fim, remover(pasta.get(), entrada, relativo + "/" + entrada.nome));
  }
  if (fim != REMOVIDA) return fim;
  return apagar(paiFd, nome, AT_REMOVEDIR, relativo + "/");
}

TRemocaoLocal::TFim TRemocaoLocal::apagar(int paiFd, const std::string& nome, int flags,
                                          const std::string& relativo) {
  if (simulacao != nullptr) {
    simulacao->relatar(TRelatorioSimulacao::REMOVER, relativo);
  } else if (unlinkat(paiFd, nome.c_str(), flags) != 0) {
    contagem->falhar(flags == AT_REMOVEDIR ? relativo.substr(0, relativo.size() - 1) : relativo,
                     "cannot remove it: " + textoDoErro(errno));
    return FALHOU;
  }
  contagem->contarRemovido(relativo);
  return REMOVIDA;
}
