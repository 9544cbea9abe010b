#ifndef FILEMANAGER_H
#define FILEMANAGER_H

#include <string>

#include "Logger.h"

// The agent's file-system service. Made on the stack for one operation by
// whichever connection thread needs it; it holds no state of its own.
class FileManager {
 public:
  FileManager();
  virtual ~FileManager();

  // True when a status query that follows symbolic links succeeds: files,
  // directories and special files exist; a link exists when its target does.
  bool ExisteArquivoOuPasta(const std::string& pathCompleto) const;

 private:
  Logger log;
};

#endif
