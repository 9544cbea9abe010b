#include "InfoObjectLinux.h"

#include <fcntl.h>
#include <sys/stat.h>

#include "FileManager.h"
#include "MemoryStream.h"

InfoObjectLinux::InfoObjectLinux() : tipo(DIRETORIO), tamanho(0) {}

InfoObjectLinux::InfoObjectLinux(const std::string& nome)
    : nome(nome), tipo(DIRETORIO), tamanho(0) {}

InfoObjectLinux::InfoObjectLinux(const std::string& nome, TipoObjetoLinux tipo, int64_t tamanho,
                                 const std::string& dataUltimaModificacao)
    : nome(nome), tipo(tipo), tamanho(tamanho), dataUltimaModificacao(dataUltimaModificacao) {}

InfoObjectLinux::~InfoObjectLinux() {}

void InfoObjectLinux::loadDados() {
  struct stat st {
  }, stLink{};
  if (stat(nome.c_str(), &st) != 0) {
    tipo = ARQUIVO;
    tamanho = -1;
    dataUltimaModificacao.clear();
    return;
  }
  dataUltimaModificacao = FileManager::formatarData(st.st_mtime);
  if (S_ISDIR(st.st_mode) && lstat(nome.c_str(), &stLink) == 0 && !S_ISLNK(stLink.st_mode)) {
    tipo = DIRETORIO;
    tamanho = 0;
    return;
  }
  tipo = ARQUIVO;
  // A backup asks this of every file it fetched: a regular file's size needs
  // no open, only whether it could be read, asked as the walks ask it.
  if (S_ISREG(st.st_mode)) {
    tamanho = TRegrasPercurso::legivel(AT_FDCWD, nome.c_str()) ? st.st_size : -1;
  } else {
    tamanho = FileManager().getFileSize(nome);
  }
}

void InfoObjectLinux::loadFromMemoryStream(MemoryStream* memoryStream) {
  std::string novoNome = memoryStream->readStringFromMemoryStream();
  int novoTipo = memoryStream->readIntFromMemoryStream();
  int64_t novoTamanho = memoryStream->readInt64FromMemoryStream();
  std::string novaData = memoryStream->readStringFromMemoryStream();
  nome = novoNome;
  tipo = static_cast<TipoObjetoLinux>(novoTipo);
  tamanho = novoTamanho;
  dataUltimaModificacao = novaData;
}

void InfoObjectLinux::writeToMemoryStream(MemoryStream* memoryStream) const {
  memoryStream->addString(nome);
  memoryStream->addInt(tipo);
  memoryStream->addInt64(tamanho);
  memoryStream->addString(dataUltimaModificacao);
}
