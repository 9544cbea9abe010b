#include "TRegrasPercurso.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <cassert>
#include <cstring>

#include "TResolvedorCaminho.h"
#include "TUtils.h"

#ifndef SELINUX_MAGIC
#define SELINUX_MAGIC 0xf97cff8c
#endif

TRegrasPercurso::TRegrasPercurso(TModoPercurso modo, const TReceptorInfoObjectLinux* receptor,
                                 int pidLog, const TPastasPermitidas* pastas)
    : modo(modo),
      receptor(receptor),
      pidLog(pidLog),
      pastas(pastas),
      dono(std::this_thread::get_id()) {}

bool TRegrasPercurso::restrito() const {
  return pastas != nullptr && !pastas->livre(ACESSO_CONSULTA);
}

TRegrasPercurso::~TRegrasPercurso() {}

void TRegrasPercurso::filtrarDesde(time_t quando) {
  filtrarData = true;
  desde = quando;
}

void TRegrasPercurso::classificar(int dirfd, dev_t dev, const std::string& pasta,
                                  const TEntrada& entrada, TDadosEntrada* dados,
                                  std::string* caminho) const {
  const char* nome = entrada.nome.c_str();
  if (entrada.tipo != DT_UNKNOWN && entrada.tipo != DT_REG && entrada.tipo != DT_DIR) {
    // Links and special files are never reported nor entered.
    classificarEspecial(dirfd, nome, DTTOIF(entrada.tipo), dados);
    return;
  }
  if (modo == PASTAS_DO_NIVEL && entrada.tipo == DT_REG) return;  // files are not wanted
  struct stat st {};
  if (fstatat(dirfd, nome, &st, AT_SYMLINK_NOFOLLOW) != 0) return;  // gone or unsearchable
  if (S_ISREG(st.st_mode)) {
    classificarArquivo(dirfd, nome, st, dados);
  } else if (S_ISDIR(st.st_mode)) {
    classificarPasta(dirfd, dev, pasta, entrada, st, dados, caminho);
  } else {
    classificarEspecial(dirfd, nome, st.st_mode, dados);
  }
}

void TRegrasPercurso::classificarArquivo(int dirfd, const char* nome, const struct stat& st,
                                         TDadosEntrada* dados) const {
  if (modo == PASTAS_DO_NIVEL) return;
  bool relatado = modo != SOMAR_ARVORE;  // a sum takes every file
  if (relatado && filtrarData && st.st_mtime <= desde) return;
  dados->destino = ENTRADA_ARQUIVO;
  dados->tamanho = st.st_size;
  dados->mtime = st.st_mtime;
  if (relatado) dados->legivel = legivel(dirfd, nome);
}

void TRegrasPercurso::classificarPasta(int dirfd, dev_t dev, const std::string& pasta,
                                       const TEntrada& entrada, const struct stat& st,
                                       TDadosEntrada* dados, std::string* caminho) const {
  montarCaminho(pasta, entrada.nome, caminho);
  if (estaNaOrigensBloqueadas(*caminho)) return;
  // Only a mount point can change the file system under the walk.
  dados->pontoDeMontagem = st.st_dev != dev;
  if (!umNivel()) {
    dados->destino = ENTRADA_DESCER;
  } else if (!(dados->pontoDeMontagem && montagemBloqueada(dirfd, entrada.nome.c_str()))) {
    dados->destino = ENTRADA_PASTA;
  }
}

void TRegrasPercurso::classificarEspecial(int dirfd, const char* nome, mode_t modoLink,
                                          TDadosEntrada* dados) const {
  if (modo != SOMAR_ARVORE) return;
  dados->destino = ENTRADA_ESPECIAL;
  dados->modo = tipoEspecial(dirfd, nome, modoLink);
}

bool TRegrasPercurso::consumir(const std::string& pasta, const TEntrada& entrada,
                               const TDadosEntrada& dados) {
  assert(std::this_thread::get_id() == dono);
  switch (dados.destino) {
    case ENTRADA_ARQUIVO:
      consumirArquivo(pasta, entrada, dados);
      break;
    case ENTRADA_PASTA:
      entregar(pasta, entrada.nome, DIRETORIO, 0, "", 0);
      break;
    case ENTRADA_ESPECIAL:
      writeType(dados.modo);
      break;
    case ENTRADA_DESCER:
    case ENTRADA_IGNORADA:
      break;
  }
  return dados.destino == ENTRADA_DESCER;
}

void TRegrasPercurso::consumirArquivo(const std::string& pasta, const TEntrada& entrada,
                                      const TDadosEntrada& dados) {
  if (modo == SOMAR_ARVORE) {
    soma += dados.tamanho;
    return;
  }
  char data[TConversorHora::TAMANHO_MAXIMO_DATA];
  entregar(pasta, entrada.nome, ARQUIVO, dados.legivel ? dados.tamanho : -1, data,
           conversorHora.formatar(dados.mtime, data));
}

void TRegrasPercurso::entregar(const std::string& pasta, const std::string& nome,
                               TipoObjetoLinux tipo, int64_t tamanho, const char* data, size_t n) {
  montarCaminho(pasta, nome, &caminho);
  registro.setNome(caminho);
  registro.setTipo(tipo);
  registro.setTamanho(tamanho);
  registro.setDataUltimaModificacao(data, n);
  (*receptor)(registro);
}

int TRegrasPercurso::abrirOrigem(const std::string& dirname) const {
  if (estaNaOrigensBloqueadas(dirname)) return -1;
  if (restrito()) {
    return TResolvedorCaminho(pidLog, ACESSO_CONSULTA, pastas)
        .abrir(dirname, O_RDONLY | O_DIRECTORY, "listagem");
  }
  return open(dirname.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

int TRegrasPercurso::abrirSubpasta(int dirfd, const char* nome) const {
  if (restrito()) {
    return TResolvedorCaminho::abrirSubpastaSemSair(dirfd, nome, ACESSO_CONSULTA, pastas);
  }
  return openat(dirfd, nome, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

bool TRegrasPercurso::sistemaDeArquivosBloqueado(int fd) {
  struct statfs fs {};
  if (fstatfs(fd, &fs) != 0) return true;  // cannot tell: stay out
  unsigned long tipo = static_cast<unsigned long>(fs.f_type);
  return tipo == PROC_SUPER_MAGIC || tipo == static_cast<unsigned long>(SELINUX_MAGIC);
}

bool TRegrasPercurso::montagemBloqueada(int dirfd, const char* nome) {
  int fd = openat(dirfd, nome, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return true;
  bool bloqueada = sistemaDeArquivosBloqueado(fd);
  close(fd);
  return bloqueada;
}

bool TRegrasPercurso::legivel(int dirfd, const char* nome) {
  return faccessat(dirfd, nome, R_OK, AT_EACCESS) == 0;
}

mode_t TRegrasPercurso::tipoEspecial(int dirfd, const char* nome, mode_t modoLink) {
  struct stat alvo {};
  if (S_ISLNK(modoLink) && fstatat(dirfd, nome, &alvo, 0) == 0) return alvo.st_mode;
  return modoLink;
}

bool TRegrasPercurso::estaNaOrigensBloqueadas(const std::string& value) {
  // Compare the path with its repeated and trailing "/" folded away.
  std::string caminho;
  caminho.reserve(value.size());
  for (char c : value) {
    if (c == '/' && !caminho.empty() && caminho.back() == '/') continue;
    caminho += c;
  }
  while (caminho.size() > 1 && caminho.back() == '/') caminho.pop_back();
  for (const char* origem : origensBloqueadas) {
    size_t n = std::strlen(origem);
    if (caminho.compare(0, n, origem) == 0 && (caminho.size() == n || caminho[n] == '/')) {
      return true;
    }
  }
  return false;
}

void TRegrasPercurso::montarCaminho(const std::string& dirname, const std::string& nome,
                                    std::string* caminho) {
  caminho->assign(dirname);
  if (!caminho->empty() && caminho->back() != '/') *caminho += '/';
  *caminho += nome;
}

std::string TRegrasPercurso::montarCaminho(const std::string& dirname, const std::string& nome) {
  std::string caminho;
  caminho.reserve(dirname.size() + 1 + nome.size());
  montarCaminho(dirname, nome, &caminho);
  return caminho;
}

void TRegrasPercurso::writeType(mode_t modo) {
  static const struct {
    mode_t tipo;
    const char* nome;
  } TIPOS[] = {{S_IFBLK, "block device"}, {S_IFCHR, "character device"}, {S_IFDIR, "directory"},
               {S_IFIFO, "FIFO/pipe"},    {S_IFLNK, "symlink"},          {S_IFREG, "regular file"},
               {S_IFSOCK, "socket"}};
  const char* nome = "unknown?";
  for (const auto& tipo : TIPOS) {
    if ((modo & S_IFMT) == tipo.tipo) nome = tipo.nome;
  }
  escreverConsole(nome);
}
