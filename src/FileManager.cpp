#include "FileManager.h"

#include <sys/stat.h>

FileManager::FileManager() {}

FileManager::~FileManager() {}

bool FileManager::ExisteArquivoOuPasta(const std::string& pathCompleto) const {
  struct stat st {};
  return stat(pathCompleto.c_str(), &st) == 0;
}
