#include "TListaLocal.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <memory>

#include "TCaminhoLocal.h"
#include "TCanal.h"
#include "TContagemCopia.h"
#include "TFiltroCopia.h"
#include "TUtils.h"

TListaLocal::TListaLocal(TContagemCopia* contagem, const std::string& local,
                         const std::string& remoto, const TFiltroCopia* filtro)
    : contagem(contagem), local(local), remoto(remoto), filtro(filtro) {}

void TListaLocal::listar() {
  struct stat st {};
  if (stat(local.c_str(), &st) != 0) st.st_mtime = time(nullptr);
  pastas.push_back({"", st.st_mtime});
  // Folders before what they hold, so that each is made after its parent.
  std::vector<int> pendentes = {0};
  while (!pendentes.empty() && !TCanal::interrompido()) {
    int indice = pendentes.back();
    pendentes.pop_back();
    size_t antes = pastas.size();
    lerPasta(indice);
    pastas[static_cast<size_t>(indice)].filhas = antes;
    pastas[static_cast<size_t>(indice)].fimFilhas = pastas.size();
    for (size_t i = pastas.size(); i > antes; --i) pendentes.push_back(static_cast<int>(i - 1));
  }
}

void TListaLocal::lerPasta(int indice) {
  std::string pasta = pastas[static_cast<size_t>(indice)].relativo;
  std::string caminho = TCaminhoLocal::juntar(local, pasta);
  std::unique_ptr<DIR, int (*)(DIR*)> diretorio(opendir(caminho.c_str()), closedir);
  if (!diretorio) {
    contagem->falhar(caminho, textoDoErro(errno));
    return;
  }
  errno = 0;
  while (struct dirent* entrada = readdir(diretorio.get())) {
    std::string nome = entrada->d_name;
    if (nome != "." && nome != "..") {
      std::string relativo = TCaminhoLocal::filho(pasta, nome);
      acolherEntrada(indice, dirfd(diretorio.get()), relativo, entrada->d_name);
    }
    errno = 0;
  }
  if (errno != 0) contagem->falhar(caminho, textoDoErro(errno));
}

void TListaLocal::acolherEntrada(int indice, int pastaFd, const std::string& relativo,
                                 const char* nome) {
  std::string caminho = TCaminhoLocal::juntar(local, relativo);
  struct stat st {};
  if (fstatat(pastaFd, nome, &st, AT_SYMLINK_NOFOLLOW) != 0) {
    contagem->falhar(caminho, textoDoErro(errno));
  } else if (filtro != nullptr && filtro->excluido(relativo, S_ISDIR(st.st_mode))) {
    return;  // not copied, and a folder not entered
  } else if (S_ISDIR(st.st_mode)) {
    pastas.push_back({relativo, st.st_mtime});
  } else if (S_ISREG(st.st_mode)) {
    arquivos.push_back(
        {caminho, TCaminhoLocal::juntar(remoto, relativo), st.st_size, indice, st.st_mtime});
  } else {
    ignorar(caminho, st.st_mode);
  }
}

void TListaLocal::ignorar(const std::string& caminho, mode_t modo) {
  contagem->contarIgnorado(caminho + ": skipped, " +
                           (S_ISLNK(modo) ? "a symbolic link" : "a special file") +
                           " (the agent stores files only)");
}
