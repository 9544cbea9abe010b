#include "FileManager.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "TConversorHora.h"
#include "TPercurso.h"
#include "TPercursoParalelo.h"
#include "TPoolLeitura.h"
#include "TUtils.h"

namespace {

// A walk that cannot finish (out of memory, say) lets its exception through:
// a shorter list must never pass for the whole tree. The walk runs on the
// reader threads when the process has them, plainly otherwise.
int64_t executarPercurso(TModoPercurso modo, const std::string& dirname,
                         const TReceptorInfoObjectLinux* receptor, const time_t* desde = nullptr) {
  TRegrasPercurso regras(modo, receptor);
  if (desde != nullptr) regras.filtrarDesde(*desde);
  TPoolLeitura& pool = TPoolLeitura::global();
  if (pool.getThreads() == 0) {
    TPercurso(&regras).executar(dirname);
  } else {
    TPercursoParalelo(&regras, &pool).executar(dirname);
  }
  return regras.getSoma();
}

TListaInfoObjectLinux colher(const std::function<void(const TReceptorInfoObjectLinux&)>& percurso) {
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
  int64_t tamanho = tamanhoAoLer(fd);
  close(fd);
  return tamanho;
}

bool FileManager::isDiretory(const std::string& path) const {
  struct stat st {
  }, stLink{};
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
  // A directory with 0644 could no longer be entered: only files get it. The
  // mask only takes permissions away: a private file stays private.
  // Nothing to take away, nothing to change.
  if (S_ISREG(st.st_mode) && (st.st_mode & 07777 & ~0644) != 0) {
    chmod(fileName, st.st_mode & 0644);
  }
  return ok;
}

TListaInfoObjectLinux FileManager::getElementosDiretorioCorrente(const std::string& dirname) const {
  return colher(
      [&](const TReceptorInfoObjectLinux& r) { getElementosDiretorioCorrente(dirname, r); });
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
  executarPercurso(LISTAR_NIVEL, dirname, &receptor);
}

void FileManager::getTodosArquivosDentroDoDiretorio(
    const std::string& dirname, const TReceptorInfoObjectLinux& receptor) const {
  executarPercurso(ARQUIVOS_DA_ARVORE, dirname, &receptor);
}

void FileManager::getTodosArquivosDentroDoDiretorioInc(
    const std::string& dirname, time_t dataSelecionada,
    const TReceptorInfoObjectLinux& receptor) const {
  executarPercurso(ARQUIVOS_DA_ARVORE, dirname, &receptor, &dataSelecionada);
}

void FileManager::getTodasPastasDentroDoDiretorio(const std::string& dirname,
                                                  const TReceptorInfoObjectLinux& receptor) const {
  executarPercurso(PASTAS_DO_NIVEL, dirname, &receptor);
}

int64_t FileManager::GetSizeDir(const std::string& dirname) const {
  return executarPercurso(SOMAR_ARVORE, dirname, nullptr);
}

void FileManager::writeType(mode_t modo) const { TRegrasPercurso::writeType(modo); }

bool FileManager::estaNaOrigensBloqueadas(const std::string& value) {
  return TRegrasPercurso::estaNaOrigensBloqueadas(value);
}

std::string FileManager::montarCaminho(const std::string& dirname, const std::string& nome) {
  return TRegrasPercurso::montarCaminho(dirname, nome);
}

std::string FileManager::formatarData(time_t quando) {
  char texto[TAMANHO_MAXIMO_DATA];
  return std::string(texto, formatarData(quando, texto));
}

size_t FileManager::formatarData(time_t quando, char* texto) {
  // Each thread keeps its own hour's offset: localtime_r takes a lock all
  // the connection threads share, for every record.
  thread_local TConversorHora conversor;
  return conversor.formatar(quando, texto);
}

bool FileManager::converterDataRecebida(const std::string& texto, time_t* quando) {
  struct tm local {};
  // Whatever follows the time is left alone, as servers have always been
  // free to send it.
  if (strptime(texto.c_str(), "%d/%m/%y %T", &local) == nullptr) return false;
  local.tm_isdst = -1;  // a local-time text: let the time zone say whether DST applies
  // -1 is also the second before 1970; only mktime's filling in of the
  // weekday tells that time from a failure.
  local.tm_wday = -1;
  time_t resultado = mktime(&local);
  if (resultado == static_cast<time_t>(-1) && local.tm_wday == -1) return false;
  *quando = resultado;
  return true;
}
