#include "TFileConfiguracao.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "FileManager.h"
#include "TControleAcesso.h"
#include "TUtils.h"

namespace {

std::string semBrancosNasPontas(const std::string& texto) {
  const char* brancos = " \t\r\n\f\v";
  size_t inicio = texto.find_first_not_of(brancos);
  if (inicio == std::string::npos) return "";
  return texto.substr(inicio, texto.find_last_not_of(brancos) - inicio + 1);
}

bool contem(const std::string& texto, const char* trecho) {
  return texto.find(trecho) != std::string::npos;
}

// The entries of a comma-separated value, trimmed, empty ones left out.
std::vector<std::string> entradasDaLista(const std::string& valor) {
  std::vector<std::string> entradas;
  size_t inicio = 0;
  while (inicio <= valor.size()) {
    size_t virgula = valor.find(',', inicio);
    if (virgula == std::string::npos) virgula = valor.size();
    std::string entrada = semBrancosNasPontas(valor.substr(inicio, virgula - inicio));
    if (!entrada.empty()) entradas.push_back(entrada);
    inicio = virgula + 1;
  }
  return entradas;
}

std::string valorInvalido(const char* chave, const std::string& valor) {
  return std::string("Valor inválido para ") + chave + " em " + TFileConfiguracao::ARQUIVO_CONFIG +
         ": \"" + valor + "\"";
}

}  // namespace

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
  avisos.clear();
  erros.clear();
  chavesLidas.clear();
  porta = 9999;
  quantTentativaDeConexao = 10;
  enderecoEscuta.clear();
  restringirServidores = false;
  servidoresPermitidos.clear();
  maxConexoesSemLogin = 0;
  maxSemLoginPorEndereco = 0;
  penalidadeLogin = 0;
  somenteLeitura = false;
  restringirLeitura = false;
  pastasLeitura.clear();
  restringirEscrita = false;
  pastasEscrita.clear();
}

void TFileConfiguracao::load() {
  std::string conteudo, erro;
  // An unreadable file (or a directory of that name) keeps the defaults.
  if (!lerArquivoTexto(ARQUIVO_CONFIG, &conteudo, &erro)) return;
  for (const std::string& linha : dividirLinhas(conteudo)) setaParametro(linha);
  avisarFimDaLeitura();
}

void TFileConfiguracao::setaParametro(const std::string& linha) {
  size_t separador = linha.find(DELIMITADOR);
  if (separador == std::string::npos) return;
  std::string valor = linha.substr(separador + 1);
  if (setaParametroDePastas(linha.substr(0, separador), semBrancosNasPontas(valor))) return;
  // Keys are matched anywhere in the line, value included, and "porta" first.
  if (linha.find(ID_PORTA) != std::string::npos) {
    porta = std::atoi(valor.c_str());
  } else if (linha.find(ID_QUANT_TENTATIVA_CONEXAO) != std::string::npos) {
    quantTentativaDeConexao = std::atoi(valor.c_str());
  } else {
    setaParametroOpcional(linha.substr(0, separador), semBrancosNasPontas(valor));
  }
}

void TFileConfiguracao::setaParametroOpcional(const std::string& chave, const std::string& valor) {
  // The optional keys are looked for in the key alone, so that no value can
  // pass for a key; no key's name holds another's.
  if (contem(chave, ID_ENDERECO_ESCUTA)) {
    marcarChave(ID_ENDERECO_ESCUTA);
    lerEnderecoEscuta(valor);
  } else if (contem(chave, ID_SERVIDORES_PERMITIDOS)) {
    marcarChave(ID_SERVIDORES_PERMITIDOS);
    lerServidoresPermitidos(valor);
  } else if (contem(chave, ID_MAX_CONEXOES_SEM_LOGIN)) {
    marcarChave(ID_MAX_CONEXOES_SEM_LOGIN);
    lerLimite(ID_MAX_CONEXOES_SEM_LOGIN, valor, MAXIMO_DOS_LIMITES, &maxConexoesSemLogin);
  } else if (contem(chave, ID_MAX_SEM_LOGIN_POR_ENDERECO)) {
    marcarChave(ID_MAX_SEM_LOGIN_POR_ENDERECO);
    lerLimite(ID_MAX_SEM_LOGIN_POR_ENDERECO, valor, MAXIMO_DOS_LIMITES, &maxSemLoginPorEndereco);
  } else if (contem(chave, ID_PENALIDADE_LOGIN)) {
    marcarChave(ID_PENALIDADE_LOGIN);
    lerLimite(ID_PENALIDADE_LOGIN, valor, TControleAcesso::MAXIMO_PENALIDADE, &penalidadeLogin);
  }
}

bool TFileConfiguracao::setaParametroDePastas(const std::string& chave, const std::string& valor) {
  if (contem(chave, ID_SOMENTE_LEITURA)) {
    marcarChave(ID_SOMENTE_LEITURA);
    if (valor != "0" && valor != "1") {
      recusarValor(ID_SOMENTE_LEITURA, valor);
    } else {
      somenteLeitura = valor == "1";
    }
  } else if (contem(chave, ID_PASTAS_LEITURA)) {
    marcarChave(ID_PASTAS_LEITURA);
    restringirLeitura = true;
    lerPastas(ID_PASTAS_LEITURA, valor, &pastasLeitura);
  } else if (contem(chave, ID_PASTAS_ESCRITA)) {
    marcarChave(ID_PASTAS_ESCRITA);
    restringirEscrita = true;
    lerPastas(ID_PASTAS_ESCRITA, valor, &pastasEscrita);
  } else {
    return false;
  }
  return true;
}

void TFileConfiguracao::lerPastas(const char* chave, const std::string& valor,
                                  std::vector<std::string>* pastas) {
  for (std::string pasta : entradasDaLista(valor)) {
    if (pasta[0] != '/') {
      avisarValorInvalido(chave, pasta);
      continue;
    }
    while (pasta.size() > 1 && pasta.back() == '/') pasta.pop_back();
    struct stat st {};
    if (stat(pasta.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
      // Kept: a restore target may well be made after the agent starts.
      avisar(std::string(chave) + ": a pasta \"" + pasta + "\" não existe agora");
    }
    pastas->push_back(pasta);
  }
}

void TFileConfiguracao::marcarChave(const char* chave) {
  for (const std::string& lida : chavesLidas) {
    if (lida == chave) {
      avisar(std::string(chave) + " aparece mais de uma vez em " + ARQUIVO_CONFIG);
      return;
    }
  }
  chavesLidas.push_back(chave);
}

void TFileConfiguracao::lerEnderecoEscuta(const std::string& valor) {
  TEnderecoIP endereco;
  // Only an address: a name or a typing error must not make the agent
  // listen everywhere.
  if (!TEnderecoIP::lerEndereco(valor, &endereco)) {
    recusarValor(ID_ENDERECO_ESCUTA, valor);
    return;
  }
  enderecoEscuta = valor;
}

void TFileConfiguracao::lerServidoresPermitidos(const std::string& valor) {
  // A key that is there restricts, whatever its entries: an empty or mistyped
  // list admits nobody, never everybody. Every line of the key adds to it.
  restringirServidores = true;
  for (const std::string& entrada : entradasDaLista(valor)) {
    TRedeIP rede;
    if (!TEnderecoIP::lerRede(entrada, &rede)) {
      avisarValorInvalido(ID_SERVIDORES_PERMITIDOS, entrada);
      continue;
    }
    if (rede.ehIPv4() && rede.prefixo == 96) {
      avisar(std::string(ID_SERVIDORES_PERMITIDOS) + " admite todo endereço: \"" + entrada + "\"");
    } else if (rede.prefixo == 0) {
      avisar(std::string(ID_SERVIDORES_PERMITIDOS) + " admite todo endereço IPv6: \"" + entrada +
             "\"");
    }
    servidoresPermitidos.push_back(rede);
  }
}

void TFileConfiguracao::avisarFimDaLeitura() {
  if (restringirServidores && servidoresPermitidos.empty()) {
    avisar(std::string(ID_SERVIDORES_PERMITIDOS) +
           " sem nenhum endereço válido: nenhum servidor será admitido");
  }
  if (restringirLeitura && pastasLeitura.empty()) {
    avisar(std::string(ID_PASTAS_LEITURA) + " sem nenhuma pasta válida: nada poderá ser lido");
  }
  if (restringirEscrita && pastasEscrita.empty()) {
    avisar(std::string(ID_PASTAS_ESCRITA) + " sem nenhuma pasta válida: nada poderá ser gravado");
  }
}

void TFileConfiguracao::lerLimite(const char* chave, const std::string& valor, int maximo,
                                  int* limite) {
  bool soDigitos = !valor.empty() && valor.size() <= 7 &&
                   valor.find_first_not_of("0123456789") == std::string::npos;
  if (!soDigitos || std::atoi(valor.c_str()) > maximo) {
    recusarValor(chave, valor);
    return;
  }
  *limite = std::atoi(valor.c_str());
}

void TFileConfiguracao::recusarValor(const char* chave, const std::string& valor) {
  erros.push_back(valorInvalido(chave, valor));
}

void TFileConfiguracao::avisarValorInvalido(const char* chave, const std::string& valor) {
  avisar(valorInvalido(chave, valor));
}

void TFileConfiguracao::avisar(const std::string& linha) { avisos.push_back(linha); }

bool TFileConfiguracao::createFileConfig() {
  int fd = open(ARQUIVO_CONFIG, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) return false;
  std::string texto = std::string(ID_PORTA) + DELIMITADOR + IntToStr(porta) + "\n" +
                      ID_QUANT_TENTATIVA_CONEXAO + DELIMITADOR + IntToStr(quantTentativaDeConexao) +
                      "\n";
  bool ok = escreverTudo(fd, texto.data(), texto.size()) >= 0;
  close(fd);
  return ok;
}
