#include "FileManager.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "TUtils.h"

#ifndef SELINUX_MAGIC
#define SELINUX_MAGIC 0xf97cff8c
#endif

namespace {

// Whether the agent could open the file for reading, asked without opening
// it: the same answer the kernel would give to the open, one call cheaper.
bool legivel(int dirfd, const char* nome) {
  return faccessat(dirfd, nome, R_OK, AT_EACCESS) == 0;
}

bool sistemaDeArquivosBloqueado(int fd) {
  struct statfs fs {};
  if (fstatfs(fd, &fs) != 0) return true;  // cannot tell: stay out
  unsigned long tipo = static_cast<unsigned long>(fs.f_type);
  return tipo == PROC_SUPER_MAGIC || tipo == static_cast<unsigned long>(SELINUX_MAGIC);
}

// Days since 1970-01-01 to year, month (1-12) and day (H. Hinnant's method).
void dataCivil(int64_t dias, int64_t* ano, int* mes, int* dia) {
  dias += 719468;
  int64_t era = (dias >= 0 ? dias : dias - 146096) / 146097;
  int64_t doe = dias - era * 146097;
  int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  int64_t mp = (5 * doy + 2) / 153;
  *dia = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  *mes = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  *ano = yoe + era * 400 + (*mes <= 2);
}

void decompor(time_t quando, long deslocamento, struct tm* local) {
  int64_t segundos = static_cast<int64_t>(quando) + deslocamento;
  int64_t dias = segundos >= 0 ? segundos / 86400 : -((-segundos + 86399) / 86400);
  int64_t resto = segundos - dias * 86400;
  int64_t ano;
  int mes, dia;
  dataCivil(dias, &ano, &mes, &dia);
  local->tm_year = static_cast<int>(ano - 1900);
  local->tm_mon = mes - 1;
  local->tm_mday = dia;
  local->tm_hour = static_cast<int>(resto / 3600);
  local->tm_min = static_cast<int>(resto % 3600 / 60);
  local->tm_sec = static_cast<int>(resto % 60);
}

// Local time for the files of one walk without the time zone's rules for
// every file: the offset from UTC found for a whole UTC hour (the same at its
// first and last second) is kept, and a time in that hour is plain
// arithmetic from it. Belongs to one walk, so one thread and one time zone.
class TConversorHora {
 public:
  bool converter(time_t quando, struct tm* local) {
    // Times no file system keeps, where the arithmetic below could overflow.
    const time_t LIMITE = static_cast<time_t>(1) << 50;
    if (quando < -LIMITE || quando > LIMITE) return localtime_r(&quando, local) != nullptr;
    time_t inicio = quando - ((quando % 3600) + 3600) % 3600;
    if (!valido || inicio != this->inicio) {
      valido = false;
      struct tm primeiro {}, ultimo {}, conferido {};
      time_t fim = inicio + 3599;
      if (localtime_r(&inicio, &primeiro) == nullptr || localtime_r(&fim, &ultimo) == nullptr ||
          primeiro.tm_gmtoff != ultimo.tm_gmtoff) {
        return localtime_r(&quando, local) != nullptr;
      }
      decompor(inicio, primeiro.tm_gmtoff, &conferido);
      if (conferido.tm_year != primeiro.tm_year || conferido.tm_mon != primeiro.tm_mon ||
          conferido.tm_mday != primeiro.tm_mday || conferido.tm_hour != primeiro.tm_hour ||
          conferido.tm_min != primeiro.tm_min || conferido.tm_sec != primeiro.tm_sec) {
        return localtime_r(&quando, local) != nullptr;  // a zone with leap seconds, say
      }
      valido = true;
      this->inicio = inicio;
      deslocamento = primeiro.tm_gmtoff;
    }
    decompor(quando, deslocamento, local);
    return true;
  }

 private:
  bool valido = false;
  time_t inicio = 0;
  long deslocamento = 0;
};

void escreverDoisDigitos(char* destino, int valor) {
  destino[0] = static_cast<char>('0' + valor / 10);
  destino[1] = static_cast<char>('0' + valor % 10);
}

// "dd/mm/yyyy hh:mm:ss" into texto (FileManager::TAMANHO_MAXIMO_DATA bytes).
size_t escreverData(const struct tm& local, char* texto) {
  int ano = local.tm_year + 1900;
  if (ano < 0 || ano > 9999) {
    return strftime(texto, FileManager::TAMANHO_MAXIMO_DATA, "%d/%m/%Y %T", &local);
  }
  escreverDoisDigitos(texto, local.tm_mday);
  texto[2] = '/';
  escreverDoisDigitos(texto + 3, local.tm_mon + 1);
  texto[5] = '/';
  escreverDoisDigitos(texto + 6, ano / 100);
  escreverDoisDigitos(texto + 8, ano % 100);
  texto[10] = ' ';
  escreverDoisDigitos(texto + 11, local.tm_hour);
  texto[13] = ':';
  escreverDoisDigitos(texto + 14, local.tm_min);
  texto[16] = ':';
  escreverDoisDigitos(texto + 17, local.tm_sec);
  return 19;
}

// What a walk does with what it meets.
enum TModoPercurso {
  LISTAR_NIVEL,       // one level: folders unloaded, files loaded
  PASTAS_DO_NIVEL,    // one level: folders only
  ARQUIVOS_DA_ARVORE, // whole tree: files only
  SOMAR_ARVORE,       // whole tree: sum of file sizes
};

struct TEntrada {
  std::string nome;
  unsigned char tipo;  // d_type: DT_UNKNOWN when the file system does not say
};

// One directory being walked. Owns its descriptor.
struct TQuadro {
  TQuadro() = default;
  TQuadro(TQuadro&& outro) noexcept
      : fd(outro.fd),
        dev(outro.dev),
        ino(outro.ino),
        nome(std::move(outro.nome)),
        caminho(std::move(outro.caminho)),
        entradas(std::move(outro.entradas)),
        proxima(outro.proxima) {
    outro.fd = -1;
  }
  TQuadro& operator=(TQuadro&&) = delete;
  ~TQuadro() { fechar(); }
  void fechar() {
    if (fd >= 0) close(fd);
    fd = -1;
  }

  int fd = -1;  // -1 while closed to spare descriptors in very deep trees
  dev_t dev = 0;
  ino_t ino = 0;
  std::string nome;  // its name in the directory below it on the stack
  std::string caminho;
  std::vector<TEntrada> entradas;
  size_t proxima = 0;
};

// One walk, iterative so that no tree is too deep for the thread's stack.
// Each directory is read once, and each entry's status is queried once,
// relative to its open directory.
class TPercurso {
 public:
  TPercurso(const FileManager& fileManager, TModoPercurso modo,
            const TReceptorInfoObjectLinux* receptor)
      : fileManager(fileManager), modo(modo), receptor(receptor) {}

  void filtrarDesde(time_t quando) {
    filtrarData = true;
    desde = quando;
  }
  int64_t getSoma() const { return soma; }

  void executar(const std::string& dirname) {
    if (FileManager::estaNaOrigensBloqueadas(dirname)) return;
    TQuadro raiz;
    raiz.caminho = dirname;
    int fd = open(dirname.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0 || !prepararQuadro(fd, &raiz, true)) return;
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

 private:
  static const size_t DESCRITORES_ABERTOS = 128;

  // Takes fd over: reads the directory's entries into quadro. False when
  // the directory must not or cannot be walked.
  bool prepararQuadro(int fd, TQuadro* quadro, bool verificarSistema) {
    quadro->fd = fd;
    struct stat st {};
    if (fstat(fd, &st) != 0 || (verificarSistema && sistemaDeArquivosBloqueado(fd)) ||
        !lerEntradas(fd, &quadro->entradas)) {
      quadro->fechar();
      return false;
    }
    quadro->dev = st.st_dev;
    quadro->ino = st.st_ino;
    return true;
  }

  bool lerEntradas(int fd, std::vector<TEntrada>* entradas) {
    bloco.resize(64 * 1024);
    for (;;) {
      long lidos = syscall(SYS_getdents64, fd, bloco.data(), bloco.size());
      if (lidos < 0) {
        if (errno == EINTR) continue;
        return !entradas->empty();  // keep what was read before the error
      }
      if (lidos == 0) return true;
      for (long pos = 0; pos < lidos;) {
        const struct dirent64* d = reinterpret_cast<const struct dirent64*>(bloco.data() + pos);
        pos += d->d_reclen;
        const char* nome = d->d_name;
        if (nome[0] == '.' && (nome[1] == '\0' || (nome[1] == '.' && nome[2] == '\0'))) continue;
        entradas->push_back(TEntrada{nome, d->d_type});
      }
    }
  }

  void visitar(size_t indice, const TEntrada& entrada) {
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

  void escreverTipoEspecial(int dirfd, const char* nome, mode_t modoLink) {
    mode_t modo = modoLink;
    if (S_ISLNK(modoLink)) {
      struct stat alvo {};
      if (fstatat(dirfd, nome, &alvo, 0) == 0) modo = alvo.st_mode;
    }
    fileManager.writeType(modo);
  }

  void arquivo(const TQuadro& quadro, const TEntrada& entrada, const struct stat& st) {
    if (modo == PASTAS_DO_NIVEL) return;
    if (modo == SOMAR_ARVORE) {
      soma += st.st_size;
      return;
    }
    if (filtrarData && st.st_mtime <= desde) return;
    // One record and one path reused for every file: no allocation per file.
    caminho.assign(quadro.caminho);
    if (!caminho.empty() && caminho.back() != '/') caminho += '/';
    caminho += entrada.nome;
    registro.setNome(caminho);
    registro.setTipo(ARQUIVO);
    registro.setTamanho(legivel(quadro.fd, entrada.nome.c_str()) ? st.st_size : -1);
    char data[FileManager::TAMANHO_MAXIMO_DATA];
    struct tm local {};
    size_t n = conversorHora.converter(st.st_mtime, &local) ? escreverData(local, data) : 0;
    registro.setDataUltimaModificacao(data, n);
    (*receptor)(registro);
  }

  void pasta(size_t indice, const TEntrada& entrada, const struct stat& st) {
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

  bool montagemBloqueada(int dirfd, const char* nome) {
    int fd = openat(dirfd, nome, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return true;
    bool bloqueada = sistemaDeArquivosBloqueado(fd);
    close(fd);
    return bloqueada;
  }

  void sairDoQuadro() {
    size_t pai = pilha.size() - 2;
    if (pilha.size() >= 2 && pilha[pai].fd < 0 && !reabrirPeloFilho(pai)) reabrirPeloAncestral(pai);
    pilha.pop_back();
  }

  bool mesmoDiretorio(int fd, const TQuadro& quadro) {
    struct stat st {};
    return fstat(fd, &st) == 0 && st.st_dev == quadro.dev && st.st_ino == quadro.ino;
  }

  // A parent closed to spare descriptors, found again through "..": the
  // cheap way, which needs search permission on the child.
  bool reabrirPeloFilho(size_t pai) {
    int fdFilho = pilha[pai + 1].fd;
    int fd = fdFilho >= 0 ? openat(fdFilho, "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC) : -1;
    if (fd >= 0 && mesmoDiretorio(fd, pilha[pai])) {
      pilha[pai].fd = fd;
      return true;
    }
    if (fd >= 0) close(fd);
    return false;
  }

  // Otherwise down again by name from the nearest ancestor still open,
  // through folders the walk has already searched.
  void reabrirPeloAncestral(size_t pai) {
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

  const FileManager& fileManager;
  TModoPercurso modo;
  const TReceptorInfoObjectLinux* receptor;
  bool filtrarData = false;
  time_t desde = 0;
  int64_t soma = 0;
  std::vector<TQuadro> pilha;
  std::vector<char> bloco;
  std::string caminho;
  InfoObjectLinux registro;
  TConversorHora conversorHora;
};

// A walk that cannot finish (out of memory, say) lets its exception through:
// a shorter list must never pass for the whole tree.
void executarPercurso(const FileManager& fileManager, TModoPercurso modo, const std::string& dirname,
                      const TReceptorInfoObjectLinux& receptor,
                      const time_t* desde = nullptr) {
  TPercurso percurso(fileManager, modo, &receptor);
  if (desde != nullptr) percurso.filtrarDesde(*desde);
  percurso.executar(dirname);
}

TListaInfoObjectLinux colher(
    const std::function<void(const TReceptorInfoObjectLinux&)>& percurso) {
  TListaInfoObjectLinux lista;
  percurso([&lista](InfoObjectLinux& registro) { lista.push_back(std::move(registro)); });
  return lista;
}

}  // namespace

FileManager::FileManager() {}

FileManager::~FileManager() {}

bool FileManager::ExisteArquivoOuPasta(const std::string& pathCompleto) const {
  struct stat st {};
  return stat(pathCompleto.c_str(), &st) == 0;
}

bool FileManager::consultarStatus(const std::string& path, struct stat* st) const {
  return stat(path.c_str(), st) == 0;
}

bool FileManager::apagarArquivo(const std::string& pathFile) const {
  return remove(pathFile.c_str()) == 0;
}

bool FileManager::criarDiretorio(const std::string& pasta, std::string* msgErro) const {
  if (mkdir(pasta.c_str(), 0775) == 0) return true;
  *msgErro = textoDoErro(errno);
  log.WriteLog(*msgErro, 0, false);
  return false;
}

int64_t FileManager::getFileSize(const std::string& pathFile) const {
  return getFileSize(pathFile.c_str());
}

int64_t FileManager::getFileSize(const char* filePath) const {
  struct stat st {};
  if (stat(filePath, &st) != 0 || S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode)) return -1;
  // Non-blocking, so that a FIFO swapped in or a device never holds the
  // connection; then the size as reading to the end would find it.
  int fd = open(filePath, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return -1;
  int64_t tamanho = -1;
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
    tamanho = st.st_size;
  } else if (!S_ISFIFO(st.st_mode) && !S_ISSOCK(st.st_mode)) {
    off_t fim = lseek(fd, 0, SEEK_END);
    tamanho = fim >= 0 ? static_cast<int64_t>(fim) : -1;
  }
  close(fd);
  return tamanho;
}

bool FileManager::isDiretory(const std::string& path) const {
  struct stat st {}, stLink {};
  if (stat(path.c_str(), &st) != 0 || lstat(path.c_str(), &stLink) != 0) return false;
  return isDiretory(st.st_mode, stLink.st_mode);
}

bool FileManager::isDiretory(mode_t modo, mode_t modoLink) const {
  return isDir(modo) && !isLink(modoLink);
}

bool FileManager::isDirOrFile(mode_t modo, mode_t modoLink) const {
  return (isDir(modo) || isRegularFile(modo)) && !isLink(modoLink);
}

bool FileManager::isDir(mode_t modo) const { return S_ISDIR(modo); }

bool FileManager::isRegularFile(mode_t modo) const { return S_ISREG(modo); }

bool FileManager::isLink(mode_t modo) const { return S_ISLNK(modo); }

time_t FileManager::getDataUltimaModificacao(const char* filePath) const {
  struct stat st {};
  if (stat(filePath, &st) != 0) return -1;
  return st.st_mtime;
}

std::string FileManager::getDataUltimaModificacaoArquivo(const char* filePath) const {
  struct stat st {};
  if (stat(filePath, &st) != 0) return std::string();
  return formatarData(st.st_mtime);
}

bool FileManager::setDataUltimaMidificacaoArquivo(const char* fileName,
                                                  const char* dataRecebida) const {
  struct stat st {};
  if (stat(fileName, &st) != 0) return false;
  time_t quando;
  bool ok = false;
  // A text that does not parse leaves the time as it was.
  if (converterDataRecebida(dataRecebida, &quando)) {
    struct timespec tempos[2];
    tempos[0].tv_sec = 0;
    tempos[0].tv_nsec = UTIME_OMIT;  // the access time stays exactly as it was
    tempos[1].tv_sec = quando;
    tempos[1].tv_nsec = 0;
    ok = utimensat(AT_FDCWD, fileName, tempos, 0) == 0;
  }
  // A directory with 0644 could no longer be entered: only files get it.
  if (S_ISREG(st.st_mode)) chmod(fileName, 0644);
  return ok;
}

TListaInfoObjectLinux FileManager::getElementosDiretorioCorrente(const std::string& dirname) const {
  return colher([&](const TReceptorInfoObjectLinux& r) { getElementosDiretorioCorrente(dirname, r); });
}

TListaInfoObjectLinux FileManager::getTodosArquivosDentroDoDiretorio(
    const std::string& dirname) const {
  return colher(
      [&](const TReceptorInfoObjectLinux& r) { getTodosArquivosDentroDoDiretorio(dirname, r); });
}

TListaInfoObjectLinux FileManager::getTodosArquivosDentroDoDiretorioInc(
    const std::string& dirname, time_t dataSelecionada) const {
  return colher([&](const TReceptorInfoObjectLinux& r) {
    getTodosArquivosDentroDoDiretorioInc(dirname, dataSelecionada, r);
  });
}

TListaInfoObjectLinux FileManager::getTodasPastasDentroDoDiretorio(
    const std::string& dirname) const {
  return colher(
      [&](const TReceptorInfoObjectLinux& r) { getTodasPastasDentroDoDiretorio(dirname, r); });
}

void FileManager::getElementosDiretorioCorrente(const std::string& dirname,
                                                const TReceptorInfoObjectLinux& receptor) const {
  executarPercurso(*this, LISTAR_NIVEL, dirname, receptor);
}

void FileManager::getTodosArquivosDentroDoDiretorio(
    const std::string& dirname, const TReceptorInfoObjectLinux& receptor) const {
  executarPercurso(*this, ARQUIVOS_DA_ARVORE, dirname, receptor);
}

void FileManager::getTodosArquivosDentroDoDiretorioInc(
    const std::string& dirname, time_t dataSelecionada,
    const TReceptorInfoObjectLinux& receptor) const {
  executarPercurso(*this, ARQUIVOS_DA_ARVORE, dirname, receptor, &dataSelecionada);
}

void FileManager::getTodasPastasDentroDoDiretorio(const std::string& dirname,
                                                  const TReceptorInfoObjectLinux& receptor) const {
  executarPercurso(*this, PASTAS_DO_NIVEL, dirname, receptor);
}

int64_t FileManager::GetSizeDir(const std::string& dirname) const {
  TPercurso percurso(*this, SOMAR_ARVORE, nullptr);
  percurso.executar(dirname);
  return percurso.getSoma();
}

void FileManager::writeType(mode_t modo) const {
  const char* tipo;
  switch (modo & S_IFMT) {
    case S_IFBLK: tipo = "block device"; break;
    case S_IFCHR: tipo = "character device"; break;
    case S_IFDIR: tipo = "directory"; break;
    case S_IFIFO: tipo = "FIFO/pipe"; break;
    case S_IFLNK: tipo = "symlink"; break;
    case S_IFREG: tipo = "regular file"; break;
    case S_IFSOCK: tipo = "socket"; break;
    default: tipo = "unknown?"; break;
  }
  escreverConsole(tipo);
}

bool FileManager::estaNaOrigensBloqueadas(const std::string& value) {
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

std::string FileManager::montarCaminho(const std::string& dirname, const std::string& nome) {
  if (dirname.empty()) return nome;
  std::string caminho;
  caminho.reserve(dirname.size() + 1 + nome.size());
  caminho = dirname;
  if (caminho.back() != '/') caminho += '/';
  caminho += nome;
  return caminho;
}

std::string FileManager::formatarData(time_t quando) {
  char texto[TAMANHO_MAXIMO_DATA];
  return std::string(texto, formatarData(quando, texto));
}

size_t FileManager::formatarData(time_t quando, char* texto) {
  struct tm local {};
  if (localtime_r(&quando, &local) == nullptr) return 0;
  return escreverData(local, texto);
}

bool FileManager::converterDataRecebida(const std::string& texto, time_t* quando) {
  struct tm local {};
  if (strptime(texto.c_str(), "%d/%m/%y %T", &local) == nullptr) return false;
  local.tm_isdst = -1;  // a local-time text: let the time zone say whether DST applies
  time_t resultado = mktime(&local);
  if (resultado == static_cast<time_t>(-1)) return false;
  *quando = resultado;
  return true;
}
