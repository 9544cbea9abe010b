#ifndef TFILECONFIGURACAO_H
#define TFILECONFIGURACAO_H

#include <string>

// The agent's settings file in the working directory: loaded once at start-up
// by the main thread, or written with the defaults when it is missing.
class TFileConfiguracao {
 public:
  static constexpr const char* ARQUIVO_CONFIG = "vornaConfig.txt";
  static constexpr const char* DELIMITADOR = "=";
  static constexpr const char* ID_PORTA = "porta";
  static constexpr const char* ID_QUANT_TENTATIVA_CONEXAO = "quantTentativaDeConexao";

  // Loads vornaConfig.txt, or creates it with the defaults. Never fails: a
  // file that cannot be read or written leaves the defaults in effect.
  TFileConfiguracao();
  virtual ~TFileConfiguracao();

  int getPorta() const { return porta; }
  int getQuantTentativaDeConexao() const { return quantTentativaDeConexao; }

 private:
  void load();
  void setaParametro(const std::string& linha);
  void setParametrosDefault();
  bool createFileConfig();

  int porta;
  int quantTentativaDeConexao;
};

#endif
