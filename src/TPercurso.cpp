#include "TPercurso.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/syscall.h>

#include <cerrno>

#ifndef SELINUX_MAGIC
#define SELINUX_MAGIC 0xf97cff8c
#endif

void TEmissorArquivo::emitir(const std::string& pasta, const std::string& nome, int64_t tamanho,
                             time_t mtime, const TReceptorInfoObjectLinux& receptor) {
  caminho.assign(pasta);
  if (!caminho.empty() && caminho.back() != '/') caminho += '/';
  caminho += nome;
  registro.setNome(caminho);
  registro.setTipo(ARQUIVO);
  registro.setTamanho(tamanho);
  char data[TConversorHora::TAMANHO_MAXIMO_DATA];
  registro.setDataUltimaModificacao(data, conversorHora.formatar(mtime, data));
  receptor(registro);
}

bool TPercurso::legivel(int dirfd, const char* nome) {
  return faccessat(dirfd, nome, R_OK, AT_EACCESS) == 0;
}

bool TPercurso::sistemaDeArquivosBloqueado(int fd) {
  struct statfs fs {};
  if (fstatfs(fd, &fs) != 0) return true;  // cannot tell: stay out
  unsigned long tipo = static_cast<unsigned long>(fs.f_type);
  return tipo == PROC_SUPER_MAGIC || tipo == static_cast<unsigned long>(SELINUX_MAGIC);
}

void TPercurso::filtrarDesde(time_t quando) {
  filtrarData = true;
  desde = quando;
}

void TPercurso::executar(const std::string& dirname) {
  if (FileManager::estaNaOrigensBloqueadas(dirname)) return;
  int fd = open(dirname.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
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
  return fstat(fd, st) == 0 && !(verificarSistema && sistemaDeArquivosBloqueado(fd)) &&
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
  int dirfd = pilha[indice].fd;
  const char* nome = entrada.nome.c_str();
  if (entrada.tipo != DT_UNKNOWN && entrada.tipo != DT_REG && entrada.tipo != DT_DIR) {
    // Links and special files are never reported nor entered.
    if (modo == SOMAR_ARVORE) escreverTipoEspecial(dirfd, nome, DTTOIF(entrada.tipo));
    return;
  }
  struct stat st {};
  if (fstatat(dirfd, nome, &st, AT_SYMLINK_NOFOLLOW) != 0) return;  // gone or unsearchable
  if (S_ISREG(st.st_mode)) {
    arquivo(pilha[indice], entrada, st);
  } else if (S_ISDIR(st.st_mode)) {
    pasta(indice, entrada, st);
  } else if (modo == SOMAR_ARVORE) {
    escreverTipoEspecial(dirfd, nome, st.st_mode);
  }
}

void TPercurso::escreverTipoEspecial(int dirfd, const char* nome, mode_t modoLink) {
  fileManager.writeType(tipoEspecial(dirfd, nome, modoLink));
}

mode_t TPercurso::tipoEspecial(int dirfd, const char* nome, mode_t modoLink) {
  struct stat alvo {};
  if (S_ISLNK(modoLink) && fstatat(dirfd, nome, &alvo, 0) == 0) return alvo.st_mode;
  return modoLink;
}

void TPercurso::arquivo(const TQuadro& quadro, const TEntrada& entrada, const struct stat& st) {
  if (modo == PASTAS_DO_NIVEL) return;
  if (modo == SOMAR_ARVORE) {
    soma += st.st_size;
    return;
  }
  if (filtrarData && st.st_mtime <= desde) return;
  emissor.emitir(quadro.caminho, entrada.nome,
                 legivel(quadro.fd, entrada.nome.c_str()) ? st.st_size : -1, st.st_mtime,
                 *receptor);
}

void TPercurso::pasta(size_t indice, const TEntrada& entrada, const struct stat& st) {
  TQuadro& pai = pilha[indice];
  std::string caminho = FileManager::montarCaminho(pai.caminho, entrada.nome);
  if (FileManager::estaNaOrigensBloqueadas(caminho)) return;
  // Only a mount point can change the file system under the walk.
  bool pontoDeMontagem = st.st_dev != pai.dev;
  if (modo == LISTAR_NIVEL || modo == PASTAS_DO_NIVEL) {
    if (pontoDeMontagem && montagemBloqueada(pai.fd, entrada.nome.c_str())) return;
    InfoObjectLinux registro(caminho);
    (*receptor)(registro);
    return;
  }
  int fd = openat(pai.fd, entrada.nome.c_str(),
                  O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return;
  TQuadro filho;
  filho.nome = entrada.nome;
  filho.caminho = std::move(caminho);
  if (!prepararQuadro(fd, &filho, pontoDeMontagem)) return;
  pilha.push_back(std::move(filho));
  if (pilha.size() > DESCRITORES_ABERTOS) pilha[indice].fechar();
}

bool TPercurso::montagemBloqueada(int dirfd, const char* nome) {
  int fd = openat(dirfd, nome, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return true;
  bool bloqueada = sistemaDeArquivosBloqueado(fd);
  close(fd);
  return bloqueada;
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
    int proximo = openat(fd, pilha[i].nome.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
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
