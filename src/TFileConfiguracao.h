#ifndef TFILECONFIGURACAO_H
#define TFILECONFIGURACAO_H

#include <string>
#include <vector>

#include "TControleAcesso.h"

// The agent's settings file in the working directory: loaded once at start-up
// by the main thread, or written with the defaults when it is missing.
class TFileConfiguracao {
 public:
  static constexpr const char* ARQUIVO_CONFIG = "vornaConfig.txt";
  static constexpr const char* DELIMITADOR = "=";
  static constexpr const char* ID_PORTA = "porta";
  static constexpr const char* ID_QUANT_TENTATIVA_CONEXAO = "quantTentativaDeConexao";
  // Optional keys, never written by the agent; absent, they change nothing.
  static constexpr const char* ID_ENDERECO_ESCUTA = "enderecoEscuta";
  static constexpr const char* ID_SERVIDORES_PERMITIDOS = "servidoresPermitidos";
  static constexpr const char* ID_MAX_CONEXOES_SEM_LOGIN = "maxConexoesSemLogin";
  static constexpr const char* ID_PENALIDADE_LOGIN = "penalidadeLogin";
  static constexpr int MAXIMO_DOS_LIMITES = 1000000;

  // Loads vornaConfig.txt, or creates it with the defaults. Never fails: a
  // file that cannot be read or written leaves the defaults in effect, and
  // an optional key with a bad value keeps its default (see getAvisos).
  TFileConfiguracao();
  virtual ~TFileConfiguracao();

  int getPorta() const { return porta; }
  int getQuantTentativaDeConexao() const { return quantTentativaDeConexao; }
  // Empty: every local address.
  const std::string& getEnderecoEscuta() const { return enderecoEscuta; }
  // False: every server is admitted. True: only those of the list (none
  // when every entry of the key was bad).
  bool getRestringirServidores() const { return restringirServidores; }
  const std::vector<TRedeIPv4>& getServidoresPermitidos() const { return servidoresPermitidos; }
  int getMaxConexoesSemLogin() const { return maxConexoesSemLogin; }
  int getPenalidadeLogin() const { return penalidadeLogin; }
  // One line for each bad value met, naming its key, for the caller to log.
  const std::vector<std::string>& getAvisos() const { return avisos; }

 private:
  void load();
  void setaParametro(const std::string& linha);
  void setaParametroOpcional(const std::string& chave, const std::string& valor);
  void setParametrosDefault();
  bool createFileConfig();
  void lerEnderecoEscuta(const std::string& valor);
  void lerServidoresPermitidos(const std::string& valor);
  void lerLimite(const char* chave, const std::string& valor, int* limite);
  void avisarValorInvalido(const char* chave, const std::string& valor);
  void avisar(const std::string& linha);

  int porta;
  int quantTentativaDeConexao;
  std::string enderecoEscuta;
  bool restringirServidores;
  std::vector<TRedeIPv4> servidoresPermitidos;
  int maxConexoesSemLogin;
  int penalidadeLogin;
  std::vector<std::string> avisos;
};

#endif
