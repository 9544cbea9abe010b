#ifndef TFILECONFIGURACAO_H
#define TFILECONFIGURACAO_H

#include <string>
#include <vector>

#include "TEnderecoIP.h"

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
  static constexpr const char* ID_MAX_SEM_LOGIN_POR_ENDERECO = "maxSemLoginPorEndereco";
  static constexpr const char* ID_PENALIDADE_LOGIN = "penalidadeLogin";
  // Whose values are paths, which may well hold "porta": looked for in the
  // key before anything else.
  static constexpr const char* ID_SOMENTE_LEITURA = "somenteLeitura";
  static constexpr const char* ID_PASTAS_LEITURA = "pastasLeitura";
  static constexpr const char* ID_PASTAS_ESCRITA = "pastasEscrita";
  static constexpr int MAXIMO_DOS_LIMITES = 1000000;

  // Loads vornaConfig.txt, or creates it with the defaults. A file that
  // cannot be read or written leaves the defaults in effect. An optional key
  // whose value cannot be read as meant is an error (getErros): the agent
  // must not start on it, as a mistake must never open it wider than meant.
  TFileConfiguracao();
  virtual ~TFileConfiguracao();

  int getPorta() const { return porta; }
  int getQuantTentativaDeConexao() const { return quantTentativaDeConexao; }
  // An IPv4 or IPv6 address as written; "::" is every address of both
  // families. Empty: every local IPv4 address.
  const std::string& getEnderecoEscuta() const { return enderecoEscuta; }
  // False: every server is admitted. True: only the valid entries of the
  // key, which was present (none when it held no valid entry).
  bool getRestringirServidores() const { return restringirServidores; }
  const std::vector<TRedeIP>& getServidoresPermitidos() const { return servidoresPermitidos; }
  int getMaxConexoesSemLogin() const { return maxConexoesSemLogin; }
  int getMaxSemLoginPorEndereco() const { return maxSemLoginPorEndereco; }
  int getPenalidadeLogin() const { return penalidadeLogin; }
  // Backup-only: every change refused.
  bool getSomenteLeitura() const { return somenteLeitura; }
  // False: every path may be read (or written). True: only below the
  // folders of the key, which was present (none when it held no valid one).
  bool getRestringirLeitura() const { return restringirLeitura; }
  const std::vector<std::string>& getPastasLeitura() const { return pastasLeitura; }
  bool getRestringirEscrita() const { return restringirEscrita; }
  const std::vector<std::string>& getPastasEscrita() const { return pastasEscrita; }
  // Lines for the caller to log: what was read in a way worth knowing (a
  // key given twice, a dropped entry, a list admitting everybody or nobody).
  const std::vector<std::string>& getAvisos() const { return avisos; }
  // One line for each value that cannot be read as meant, naming its key:
  // when there is any, the agent must not start.
  const std::vector<std::string>& getErros() const { return erros; }

 private:
  void load();
  void setaParametro(const std::string& linha);
  void setaParametroOpcional(const std::string& chave, const std::string& valor);
  // The keys of paths and modes; false when chave is none of them.
  bool setaParametroDePastas(const std::string& chave, const std::string& valor);
  void lerPastas(const char* chave, const std::string& valor, std::vector<std::string>* pastas);
  void setParametrosDefault();
  bool createFileConfig();
  void lerEnderecoEscuta(const std::string& valor);
  void lerServidoresPermitidos(const std::string& valor);
  void avisarFimDaLeitura();
  void lerLimite(const char* chave, const std::string& valor, int maximo, int* limite);
  void recusarValor(const char* chave, const std::string& valor);
  void avisarValorInvalido(const char* chave, const std::string& valor);
  void avisar(const std::string& linha);
  // Warns when chave was met before.
  void marcarChave(const char* chave);

  int porta;
  int quantTentativaDeConexao;
  std::string enderecoEscuta;
  bool restringirServidores;
  std::vector<TRedeIP> servidoresPermitidos;
  int maxConexoesSemLogin;
  int maxSemLoginPorEndereco;
  int penalidadeLogin;
  bool somenteLeitura;
  bool restringirLeitura;
  std::vector<std::string> pastasLeitura;
  bool restringirEscrita;
  std::vector<std::string> pastasEscrita;
  std::vector<std::string> avisos;
  std::vector<std::string> erros;
  std::vector<std::string> chavesLidas;
};

#endif
