#ifndef CLIENTEVORNA_H
#define CLIENTEVORNA_H

#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "InfoObjectLinux.h"
#include "MemoryStream.h"

class TLimiteBanda;

// The backup server's side of the agent's protocol over one TCP connection:
// raw bytes, wire integers (big-endian), messages (a big-endian length and a
// body) and the login. Used from one thread, or from two when one only
// sends and the other only receives (a pipelined TCanal). Every read waits
// at most the time limit, so a silent agent never hangs the caller.
class ClienteVorna {
 public:
  // Every byte sent or received is taken from limite's bucket (null: none),
  // waiting when it runs short. limite must outlive this.
  explicit ClienteVorna(TLimiteBanda* limite = nullptr);
  virtual ~ClienteVorna();

  ClienteVorna(const ClienteVorna&) = delete;
  ClienteVorna& operator=(const ClienteVorna&) = delete;

  // Connects to host and porta, from the local address origem when one is
  // given. host is an IPv4 or IPv6 address (also in brackets, [2001:db8::5])
  // or a host name, whose addresses are tried in turn. False when it cannot.
  bool conectar(const std::string& host, int porta, const std::string& origem = std::string());
  void fechar();
  bool conectado() const { return handle >= 0; }
  // True once a read or write on the connection failed: the exchange is out
  // of step and the connection is good for nothing more.
  bool conexaoPerdida() const { return perdida; }
  int getSocket() const { return handle; }
  // Time limit of every read and write, in milliseconds (0: none).
  void setTempoLimite(int milissegundos);
  // Stops sending (the agent then reads the end of the stream).
  void encerrarEnvio();
  // Stops both directions without closing the descriptor, so that a thread
  // blocked on it wakes with a failure. Safe from another thread.
  void interromper();

  bool enviarBytes(const void* dados, size_t n);
  // Exactly n bytes; false when the connection ends, fails or times out first.
  bool receberBytes(void* dados, size_t n);
  // Whatever arrives first, at most n bytes: the count, or -1 when the
  // connection ends, fails or times out.
  ssize_t receberAte(void* dados, size_t n);
  bool enviarInt(int valor);
  bool lerInt(int* valor);
  bool enviarMensagem(const MemoryStream& mensagem);
  // A whole message; false if it does not arrive whole or is not plausible.
  bool lerMensagem(MemoryStream* mensagem);
  // True when the agent closes the connection within the time limit with no
  // further byte; false when a byte arrives or the wait runs out.
  bool aguardarFechamento(int milissegundos);

  // Sends the login message and returns the agent's login code, or
  // ERRO_CONEXAO when no answer came.
  int login(const std::string& usuario, const std::string& senha);
  // Sends a command code and reads its acknowledgement: true on COMMAND_OK.
  bool comando(int codigo);
  // The agent's version (command 3), or ERRO_CONEXAO.
  int getVersao();

  // A command whose request is one message holding the path (and, for the
  // incremental listing, the time text) and whose reply is one message.
  bool consultar(int codigo, const std::vector<std::string>& textos, MemoryStream* resposta);
  // The records of a listing command (0, 5, 11 or 18); false when the
  // exchange fails or the reply does not hold exactly what its count says.
  bool listar(int codigo, const std::string& diretorio, TListaInfoObjectLinux* registros,
              const std::string& data = std::string());
  // The records of a listing reply; false when it does not hold exactly
  // what its count says.
  // One record, one one-byte flag, one string of a reply; false when the
  // reply does not hold it.
  static bool lerRegistro(MemoryStream* resposta, InfoObjectLinux* registro);
  static bool lerFlag(const MemoryStream& resposta, bool* valor);
  static bool lerTexto(MemoryStream* resposta, std::string* texto);
  static bool lerListagem(MemoryStream* resposta, TListaInfoObjectLinux* registros);

  // Fetching (command 1): asks for caminho in chunks of bloco bytes and
  // returns the size the agent announced (-1: missing or unreadable), or
  // ERRO_CONEXAO. The chunks follow: read them with lerBloco.
  int64_t iniciarBusca(const std::string& caminho, int bloco);
  // One chunk: its count (-1 when the agent could not read the file), its
  // bytes in *dados. False when the connection fails.
  bool lerBloco(int* contagem, std::vector<unsigned char>* dados);
  // A whole fetch into *conteudo; false when it fails or the file could not
  // be read after its size was announced.
  bool buscar(const std::string& caminho, int bloco, std::string* conteudo);
  // How a fetch's chunks ended (lerPedacos): every announced byte came, the
  // agent could not read the file (-1) or found it shorter (0) and stopped,
  // a chunk went past the size (the file grew: nothing follows it), or the
  // connection failed or sent an implausible count.
  enum TFimPedacos {
    PEDACOS_INTEIROS,
    PEDACOS_SEM_LEITURA,
    PEDACOS_CURTOS,
    PEDACOS_A_MAIS,
    PEDACOS_PERDIDOS
  };
  // The chunks of a fetch of tamanho bytes: lerContagem reads each count,
  // receber takes that many bytes of the connection. The one chunk loop of
  // the client, over a plain connection or a channel's reader.
  static TFimPedacos lerPedacos(int64_t tamanho, const std::function<bool(int*)>& lerContagem,
                                const std::function<bool(size_t)>& receber);
  // Storing (command 2): the request, the n raw bytes and the closing
  // acknowledgement. False when anything of it fails.
  bool gravar(const std::string& caminho, int bloco, const void* dados, int64_t n);

  // Agent facts without a request: a string reply (codes 14, 15, 20) or the
  // 32-bit flag (code 16).
  bool getTexto(int codigo, std::string* texto);
  bool is32Bits(bool* valor);
  // Path queries: a flag (codes 7, 8), a 64-bit size (codes 4, 6), a record (10).
  bool perguntarFlag(int codigo, const std::string& caminho, bool* valor);
  bool perguntarTamanho(int codigo, const std::string& caminho, int64_t* valor);
  bool getRegistro(const std::string& caminho, InfoObjectLinux* registro);
  // Command 12 with a "dd/mm/yy hh:mm:ss" local time of the agent's machine.
  bool definirData(const std::string& caminho, const std::string& data);
  // Command 13: COMMAND_OK, COMMAND_ERRO (the agent's reason in *erro) or
  // ERRO_CONEXAO.
  int criarPasta(const std::string& caminho, std::string* erro);

  // Appends to saida what a command sends before its reply: the code and
  // the request message (a pipelined writer sends several at once).
  static void acrescentarComando(std::string* saida, int codigo, const MemoryStream& pedido);
  // The request of a command that takes one path.
  static MemoryStream pedidoDeCaminho(const std::string& caminho);
  // The request of a store (command 2) of n bytes.
  static MemoryStream pedidoDeGravacao(const std::string& caminho, int bloco, int64_t n);
  // The largest chunk count a fetch takes as in step.
  static const int MAIOR_PEDACO = 64 * 1024 * 1024;

  static const int ERRO_CONEXAO = -1000;

 private:
  // Waits as long as the bandwidth cap asks; a connection shut down
  // meanwhile (an interrupted run) ends the wait at once.
  void aguardarVez(int64_t bytes);

  int handle;
  std::atomic<bool> perdida;
  TLimiteBanda* const limite;  // null: no cap
};

#endif
