#ifndef TOPCOESVORNACLI_H
#define TOPCOESVORNACLI_H

#include <cstdint>
#include <string>
#include <vector>

#include "TFiltroCopia.h"

// vornacli's command line: the options with their defaults, the words left
// for the subcommand, and the help text. Used by the main thread only.
class TOpcoesVornacli {
 public:
  TOpcoesVornacli();

  // Fills the options from the command line: empty when it is right, "help"
  // or "version" when that was asked for, else what is wrong (one line).
  std::string ler(int argc, char* argv[]);
  // An option given that comando does not take, said in one line; empty
  // when there is none.
  std::string conferirComando(const std::string& comando) const;
  // The password from VORNA_PASSWORD, else asked on the terminal without
  // echo; empty when there is neither.
  static std::string pedirSenha();

  static const char* const AJUDA;

  std::string host = "127.0.0.1";
  int porta = 9999;
  std::string usuario;
  bool usuarioDado = false;
  bool json = false;
  bool verboso = false;
  int bloco = 1024 * 1024;
  int tempoLimite = 600;
  int conexoes;
  std::string desde;
  // Restore: one store in flight per connection (--serial-stores).
  bool umaGravacaoPorVez = false;
  // Restore's connections when -j is not given: each store waits on the
  // agent's disk, and more at once share its flushes (bench/conexoes.sh).
  static const int CONEXOES_RESTAURACAO = 64;
  bool conexoesDadas = false;
  int conexoesDeRestauracao() const { return conexoesDadas ? conexoes : CONEXOES_RESTAURACAO; }
  std::vector<std::string> argumentos;

  // Backup into an earlier copy.
  bool apagar = false;  // --delete: what is gone from the agent goes from the copy

  // Backup and restore.
  bool simulacao = false;   // -n, --dry-run: what would be done, nothing done
  TFiltroCopia filtro;      // --exclude, --exclude-from, --include, in their order
  int64_t limiteBanda = 0;  // --bwlimit: bytes a second over every connection (0: none)

 private:
  // Sets the flag (an option without a value) of the long name opcao:
  // false when it names none.
  bool lerSinal(const std::string& opcao);
  // Reads the value of the long option opcao; what is wrong, or empty.
  std::string lerValor(const std::string& opcao, const std::string& valor);
  std::string lerFiltro(const std::string& opcao, const std::string& valor);

  // The options given that only some commands take: each as typed, and
  // those commands (" backup restore ").
  std::vector<std::pair<std::string, std::string>> dadas;
};

#endif
