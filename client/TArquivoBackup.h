#ifndef TARQUIVOBACKUP_H
#define TARQUIVOBACKUP_H

#include <cstdint>
#include <ctime>
#include <string>

// One file of a backup, from its listed record: made by TBackupArvore, kept
// in place by its list (TFilaBackup, or the list of changed files) while
// TBuscasBackup fetches it.
struct TArquivoBackup {
  std::string remoto;
  int pasta;  // in the list of relative folders
  std::string nome;
  int64_t tamanho;
  bool temData;  // the listed time, read before the run: mktime serialises threads
  time_t quando;
  std::string data;  // as listed, for the check after the fetch
};

#endif
