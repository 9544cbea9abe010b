#include "TFileConfiguracao.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>

#include "FileManager.h"
#include "TUtils.h"

TFileConfiguracao::TFileConfiguracao() {
  setParametrosDefault();
  FileManager fileManager;
  if (fileManager.ExisteArquivoOuPasta(ARQUIVO_CONFIG)) {
    load();
  } else {
    createFileConfig();
  }
}

TFileConfiguracao::~TFileConfiguracao() {}

void TFileConfiguracao::setParametrosDefault() {
  porta = 9999;
  quantTentativaDeConexao = 10;
}

void TFileConfiguracao::load() {
  std::string conteudo, erro;
  // An unreadable file (or a directory of that name) keeps the defaults.
  if (!lerArquivoTexto(ARQUIVO_CONFIG, &conteudo, &erro)) return;
  for (const std::string& linha : dividirLinhas(conteudo)) setaParametro(linha);
}

void TFileConfiguracao::setaParametro(const std::string& linha) {
  size_t separador = linha.find(DELIMITADOR);
  if (separador == std::string::npos) return;
  std::string valor = linha.substr(separador + 1);
  // Keys are matched anywhere in the line, value included, and "porta" first.
  if (linha.find(ID_PORTA) != std::string::npos) {
    porta = std::atoi(valor.c_str());
  } else if (linha.find(ID_QUANT_TENTATIVA_CONEXAO) != std::string::npos) {
    quantTentativaDeConexao = std::atoi(valor.c_str());
  }
}

bool TFileConfiguracao::createFileConfig() {
  int fd = open(ARQUIVO_CONFIG, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) return false;
  std::string texto = std::string(ID_PORTA) + DELIMITADOR + IntToStr(porta) + "\n" +
                      ID_QUANT_TENTATIVA_CONEXAO + DELIMITADOR +
                      IntToStr(quantTentativaDeConexao) + "\n";
  bool ok = escreverTudo(fd, texto.data(), texto.size()) >= 0;
  close(fd);
  return ok;
}
