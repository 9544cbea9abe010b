#include "TPercurso.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>

#include <cerrno>

void TPercurso::executar(const std::string& dirname) {
  int fd = regras->abrirOrigem(dirname);
  if (fd >= 0) executarEm(fd, dirname, true);
}

void TPercurso::executarEm(int fd, const std::string& caminho, bool verificarSistema) {
  TQuadro raiz;
  raiz.caminho = caminho;
  if (!prepararQuadro(fd, &raiz, verificarSistema)) return;
  pilha.push_back(std::move(raiz));
  while (!pilha.empty()) {
    TQuadro& quadro = pilha.back();
    if (quadro.proxima >= quadro.entradas.size()) {
      sairDoQuadro();
      continue;
    }
    const TEntrada& entrada = quadro.entradas[quadro.proxima++];
    visitar(pilha.size() - 1, entrada);
  }
}

bool TPercurso::prepararQuadro(int fd, TQuadro* quadro, bool verificarSistema) {
  quadro->fd = fd;
  struct stat st {};
  if (!lerDiretorio(fd, verificarSistema, &bloco, &quadro->entradas, &st)) {
    quadro->fechar();
    return false;
  }
  quadro->dev = st.st_dev;
  quadro->ino = st.st_ino;
  return true;
}

bool TPercurso::lerDiretorio(int fd, bool verificarSistema, std::vector<char>* bloco,
                             std::vector<TEntrada>* entradas, struct stat* st) {
  return fstat(fd, st) == 0 &&
         !(verificarSistema && TRegrasPercurso::sistemaDeArquivosBloqueado(fd)) &&
         lerEntradas(fd, bloco, entradas);
}

bool TPercurso::lerEntradas(int fd, std::vector<char>* bloco, std::vector<TEntrada>* entradas) {
  bloco->resize(64 * 1024);
  for (;;) {
    long lidos = syscall(SYS_getdents64, fd, bloco->data(), bloco->size());
    if (lidos < 0) {
      if (errno == EINTR) continue;
      return !entradas->empty();  // keep what was read before the error
    }
    if (lidos == 0) return true;
    for (long pos = 0; pos < lidos;) {
      const struct dirent64* d = reinterpret_cast<const struct dirent64*>(bloco->data() + pos);
      pos += d->d_reclen;
      const char* nome = d->d_name;
      if (nome[0] == '.' && (nome[1] == '\0' || (nome[1] == '.' && nome[2] == '\0'))) continue;
      entradas->push_back(TEntrada{nome, d->d_type});
    }
  }
}

void TPercurso::visitar(size_t indice, const TEntrada& entrada) {
  const TQuadro& quadro = pilha[indice];
  TDadosEntrada dados;
  std::string caminho;
  regras->classificar(quadro.fd, quadro.dev, quadro.caminho, entrada, &dados, &caminho);
  if (regras->consumir(quadro.caminho, entrada, dados)) {
    descer(indice, entrada, std::move(caminho), dados.pontoDeMontagem);
  }
}

void TPercurso::descer(size_t indice, const TEntrada& entrada, std::string caminho,
                       bool pontoDeMontagem) {
  int fd = regras->abrirSubpasta(pilha[indice].fd, entrada.nome.c_str());
  if (fd < 0) return;
  TQuadro filho;
  filho.nome = entrada.nome;
  filho.caminho = std::move(caminho);
  if (!prepararQuadro(fd, &filho, pontoDeMontagem)) return;
  pilha.push_back(std::move(filho));
  if (pilha.size() > DESCRITORES_ABERTOS) pilha[indice].fechar();
}

void TPercurso::sairDoQuadro() {
  size_t pai = pilha.size() - 2;
  if (pilha.size() >= 2 && pilha[pai].fd < 0 && !reabrirPeloFilho(pai)) reabrirPeloAncestral(pai);
  pilha.pop_back();
}

bool TPercurso::mesmoDiretorio(int fd, const TQuadro& quadro) {
  struct stat st {};
  return fstat(fd, &st) == 0 && st.st_dev == quadro.dev && st.st_ino == quadro.ino;
}

bool TPercurso::reabrirPeloFilho(size_t pai) {
  int fdFilho = pilha[pai + 1].fd;
  int fd = fdFilho >= 0 ? openat(fdFilho, "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC) : -1;
  if (fd >= 0 && mesmoDiretorio(fd, pilha[pai])) {
    pilha[pai].fd = fd;
    return true;
  }
  if (fd >= 0) close(fd);
  return false;
}

void TPercurso::reabrirPeloAncestral(size_t pai) {
  size_t aberto = pai;
  while (aberto > 0 && pilha[aberto].fd < 0) --aberto;
  int fd = pilha[aberto].fd >= 0 ? dup(pilha[aberto].fd) : -1;
  for (size_t i = aberto + 1; fd >= 0 && i <= pai; ++i) {
    int proximo = regras->abrirSubpasta(fd, pilha[i].nome.c_str());
    close(fd);
    fd = proximo;
  }
  if (fd >= 0 && mesmoDiretorio(fd, pilha[pai])) {
    pilha[pai].fd = fd;
    return;
  }
  if (fd >= 0) close(fd);
  pilha[pai].proxima = pilha[pai].entradas.size();  // moved away meanwhile: nothing more there
}
