#include "InfoObjectLinux.h"

#include <sys/stat.h>

#include "FileManager.h"
#include "MemoryStream.h"

InfoObjectLinux::InfoObjectLinux() : tipo(DIRETORIO), tamanho(0) {}

InfoObjectLinux::InfoObjectLinux(const std::string& nome) : nome(nome), tipo(DIRETORIO), tamanho(0) {}

InfoObjectLinux::InfoObjectLinux(const std::string& nome, TipoObjetoLinux tipo, int64_t tamanho,
                                 const std::string& dataUltimaModificacao)
    : nome(nome), tipo(tipo), tamanho(tamanho), dataUltimaModificacao(dataUltimaModificacao) {}

InfoObjectLinux::~InfoObjectLinux() {}

void InfoObjectLinux::loadDados() {
  FileManager fileManager;
  struct stat st {};
  if (!fileManager.consultarStatus(nome, &st)) {
    tipo = ARQUIVO;
    tamanho = -1;
    dataUltimaModificacao.clear();
    return;
  }
  if (fileManager.isDiretory(nome)) {
    tipo = DIRETORIO;
    tamanho = 0;
  } else {
    tipo = ARQUIVO;
    tamanho = fileManager.getFileSize(nome);
  }
  dataUltimaModificacao = FileManager::formatarData(st.st_mtime);
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
