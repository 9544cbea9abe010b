#ifndef LOGGER_H
#define LOGGER_H

#include <ctime>
#include <string>

// Name of the log files: FILE_NAME_LOG, a process number and ".log".
const char* const FILE_NAME_LOG = "AgenteLinuxVorna";

// Appends dated lines to the agent's log files in /var/log/. Any thread may
// write at any time: every line is opened, written whole in one call and
// closed, so lines from several threads never mix.
class Logger {
 public:
  Logger();
  virtual ~Logger();

  // Writes msg to the log of process number pid (0 is the start-up log).
  // criarNovo empties the file first. A line that cannot be written is lost
  // silently: logging never stops the agent.
  void WriteLog(const std::string& msg, int pid, bool criarNovo) const;

  // The path of the log of process number pid.
  std::string caminhoLog(int pid) const;

  // One log line for the moment quando: "d-m-yyyy h:m:s msg\n", no leading
  // zeros, with the control bytes of msg escaped (escaparControles).
  static std::string formatarLinha(const struct tm& quando, const std::string& msg);

 private:
  void WriterMsg(const std::string& pathCompletoFile, const std::string& msg, bool criarNovo) const;

  std::string diretorio;
};

#endif
