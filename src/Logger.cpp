#include "Logger.h"

#include <fcntl.h>
#include <unistd.h>

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

void Logger::WriterMsg(const std::string& pathCompletoFile, const std::string& msg,
                       bool criarNovo) const {
  try {
    time_t agora = time(nullptr);
    struct tm quando {};
    if (localtime_r(&agora, &quando) == nullptr) return;
    std::string linha = formatarLinha(quando, msg);
    int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (criarNovo ? O_TRUNC : O_APPEND);
    int fd = open(pathCompletoFile.c_str(), flags, 0666);
    if (fd < 0) return;
    // O_APPEND and a single write keep concurrent lines whole.
    escreverTudo(fd, linha.data(), linha.size());
    close(fd);
  } catch (...) {
    // A log line is never worth ending a connection for.
  }
}
