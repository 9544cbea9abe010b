#ifndef FILEMANAGER_H
#define FILEMANAGER_H

#include <sys/types.h>

#include <cstdint>
#include <ctime>
#include <string>

#include "InfoObjectLinux.h"
#include "Logger.h"
#include "TRegrasPercurso.h"

// The agent's file-system service. Made on the stack for one operation by
// whichever connection thread needs it; it holds no state of its own, so any
// number of threads may use their own at once. Walks never follow symbolic
// links, never report special files, "." or "..", and never enter the blocked
// system directories nor any directory on a proc or selinux file system. A
// walk that cannot finish (out of memory, or a receiver that throws) throws
// too, so that no partial result passes for a whole one.
class FileManager {
 public:
  // pidLog names the log a refused path goes to (see TResolvedorCaminho).
  explicit FileManager(int pidLog = 0);
  virtual ~FileManager();

  // True when a status query that follows symbolic links succeeds: files,
  // directories and special files exist; a link exists when its target does.
  bool ExisteArquivoOuPasta(const std::string& pathCompleto) const;
  // Removes a file or an empty directory; false when it could not.
  bool apagarArquivo(const std::string& pathFile) const;
  // Creates the last component of pasta with mode 0775 (less the umask), its
  // folder reached as TResolvedorCaminho allows. On failure returns false,
  // puts the system's text of the error in *msgErro and logs it; on success
  // *msgErro is left alone.
  bool criarDiretorio(const std::string& pasta, std::string* msgErro) const;
  // Size in bytes of a file the agent can open for reading; -1 when it
  // cannot, and for FIFOs and sockets (never waits on them).
  int64_t getFileSize(const std::string& pathFile) const;
  int64_t getFileSize(const char* filePath) const;
  // A directory that is not itself a symbolic link; false when the path's
  // status cannot be read.
  bool isDiretory(const std::string& path) const;
  bool isDiretory(mode_t modo, mode_t modoLink) const;
  bool isDirOrFile(mode_t modo, mode_t modoLink) const;
  bool isDir(mode_t modo) const;
  bool isRegularFile(mode_t modo) const;
  bool isLink(mode_t modo) const;
  // Modification time (links followed); -1 when the status cannot be read.
  time_t getDataUltimaModificacao(const char* filePath) const;
  // The same as local time "dd/mm/yyyy hh:mm:ss"; empty when unknown.
  std::string getDataUltimaModificacaoArquivo(const char* filePath) const;
  // Sets the modification time from a "dd/mm/yy hh:mm:ss" local-time text,
  // keeping the access time, and cuts a regular file's permission bits down
  // to those of 0644 (its mode & 0644: never adds one). The path is reached
  // as TResolvedorCaminho allows. False when the time was not set: the path
  // is missing or refused (nothing changes) or the text does not parse
  // (only the mode changes).
  bool setDataUltimaMidificacaoArquivo(const char* fileName, const char* dataRecebida) const;

  // One level of dirname: sub-directories as unloaded records and regular
  // files as loaded ones, in reading order.
  TListaInfoObjectLinux getElementosDiretorioCorrente(const std::string& dirname) const;
  // Every regular file of the tree below dirname, depth first.
  TListaInfoObjectLinux getTodosArquivosDentroDoDiretorio(const std::string& dirname) const;
  // The same, only files modified strictly after dataSelecionada.
  TListaInfoObjectLinux getTodosArquivosDentroDoDiretorioInc(const std::string& dirname,
                                                             time_t dataSelecionada) const;
  // The immediate sub-directories of dirname, as unloaded records.
  TListaInfoObjectLinux getTodasPastasDentroDoDiretorio(const std::string& dirname) const;
  // The same four walks, handing each record over as soon as it is made.
  void getElementosDiretorioCorrente(const std::string& dirname,
                                     const TReceptorInfoObjectLinux& receptor) const;
  void getTodosArquivosDentroDoDiretorio(const std::string& dirname,
                                         const TReceptorInfoObjectLinux& receptor) const;
  void getTodosArquivosDentroDoDiretorioInc(const std::string& dirname, time_t dataSelecionada,
                                            const TReceptorInfoObjectLinux& receptor) const;
  void getTodasPastasDentroDoDiretorio(const std::string& dirname,
                                       const TReceptorInfoObjectLinux& receptor) const;

  // Total bytes of the regular files below dirname (links add nothing; the
  // type of every other special entry is printed). 0 when blocked or unreadable.
  int64_t GetSizeDir(const std::string& dirname) const;
  // The walks' own rules (TRegrasPercurso), for callers that know FileManager.
  // Prints the file type of modo on standard output.
  void writeType(mode_t modo) const;
  // True for /proc, /selinux and every path beneath them.
  static bool estaNaOrigensBloqueadas(const std::string& value);
  // The path of entry nome read from directory dirname.
  static std::string montarCaminho(const std::string& dirname, const std::string& nome);
  // Local time as "dd/mm/yyyy hh:mm:ss" (empty when it cannot be had).
  static std::string formatarData(time_t quando);
  // The same into texto (TAMANHO_MAXIMO_DATA bytes); returns its length.
  static size_t formatarData(time_t quando, char* texto);
  static const size_t TAMANHO_MAXIMO_DATA = 64;
  // Parses a "dd/mm/yy hh:mm:ss" local-time text (what follows it is
  // ignored); false when it does not parse or names no time this system can
  // hold (-1, the second before 1970 in UTC, is a time).
  static bool converterDataRecebida(const std::string& texto, time_t* quando);

 private:
  Logger log;
  int pidLog;
};

#endif
