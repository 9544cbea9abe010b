#ifndef TTABELACOMANDOS_H
#define TTABELACOMANDOS_H

class Stream;
class TCPCliente;

// What the command loop does when a command's step raises a std::exception.
enum TPoliticaExcecao {
  REPORTAR_E_CONTINUAR,  // "ERRO: " and the message on the console; next command
  REPORTAR_E_ENCERRAR,   // the same line; the connection ends
  ENCERRAR_SILENCIOSO,   // the connection ends, nothing printed
  GERAL,                 // "Erro ao ler comandando"; the connection ends
};

enum TDestinoLog { SEM_LOG, LOG_INICIO, LOG_PROCESSO };

// How the connection loop serves one command code.
struct TComandoServido {
  int codigo;
  const char* linhaLog;  // written before anything else, to destinoLog
  TDestinoLog destinoLog;
  void (TCPCliente::*handler)(Stream*);  // called after the first COMMAND_OK
  bool segundoOk;                        // a COMMAND_OK follows the handler
  TPoliticaExcecao politica;
};

// The table of served commands, read-only and shared by every connection
// thread.
class TTabelaComandos {
 public:
  // The entry of codigo, or null for a code no command serves.
  static const TComandoServido* procurar(int codigo);
};

#endif
