#include "Logger.h"

#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "TUtils.h"

Logger::Logger() : diretorio("/var/log/") {}

Logger::~Logger() {}

std::string Logger::caminhoLog(int pid) const {
  return diretorio + FILE_NAME_LOG + IntToStr(pid) + ".log";
}

void Logger::WriteLog(const std::string& msg, int pid, bool criarNovo) const {
  WriterMsg(caminhoLog(pid), msg, criarNovo);
}

std::string Logger::formatarLinha(const struct tm& quando, const std::string& msg) {
  char data[80];
  int n = std::snprintf(data, sizeof data, "%d-%d-%d %d:%d:%d ", quando.tm_mday, quando.tm_mon + 1,
                        quando.tm_year + 1900, quando.tm_hour, quando.tm_min, quando.tm_sec);
  std::string linha(data, n > 0 ? static_cast<size_t>(n) : 0);
  // Paths in msg come from peers: a line feed in one must not forge a line.
  linha += escaparControles(msg);
  linha += '\n';
  return linha;
}

namespace {

// The group that may read the logs, as for the system's own daemons: adm
// where it exists, else root's.
gid_t grupoDosLogs() {
  static const gid_t grupo = [] {
    struct group registro {
    }, *achado = nullptr;
    char memoria[4096];
    if (getgrnam_r("adm", &registro, memoria, sizeof memoria, &achado) != 0 || achado == nullptr) {
      return static_cast<gid_t>(0);
    }
    return achado->gr_gid;
  }();
  return grupo;
}

// The log file at caminho, open for appending: created 0640 when missing,
// never through a link, never a FIFO or a device, and when the agent is
// root never a file some user owns (where /var/log is writable by a group,
// a planted name must not make the agent write into another file). -1 when
// there is no such file to write.
int abrirLog(const std::string& caminho) {
  const int FLAGS = O_WRONLY | O_APPEND | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY;
  int fd = open(caminho.c_str(), FLAGS);
  if (fd < 0 && errno == ENOENT) {
    fd = open(caminho.c_str(), FLAGS | O_CREAT | O_EXCL, 0640);
    // Readable by the log group; by root alone should it not be given to it.
    if (fd >= 0 && geteuid() == 0 && fchown(fd, 0, grupoDosLogs()) != 0) fchmod(fd, 0600);
    if (fd < 0 && errno == EEXIST) {
      fd = open(caminho.c_str(), FLAGS);  // another thread made it meanwhile
    }
  }
  if (fd < 0) return -1;
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || (geteuid() == 0 && st.st_uid != 0)) {
    close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

void Logger::WriterMsg(const std::string& pathCompletoFile, const std::string& msg,
                       bool criarNovo) const {
  try {
    time_t agora = time(nullptr);
    struct tm quando {};
    if (localtime_r(&agora, &quando) == nullptr) return;
    std::string linha = formatarLinha(quando, msg);
    int fd = abrirLog(pathCompletoFile);
    if (fd < 0) return;
    if (!criarNovo || ftruncate(fd, 0) == 0) {
      // O_APPEND and a single write keep concurrent lines whole.
      escreverTudo(fd, linha.data(), linha.size());
    }
    close(fd);
  } catch (...) {
    // A log line is never worth ending a connection for.
  }
}
