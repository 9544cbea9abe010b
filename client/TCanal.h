#ifndef TCANAL_H
#define TCANAL_H

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "TUtils.h"

class ClienteVorna;
class InfoObjectLinux;
class MemoryStream;
class TArquivoTemporario;

// One logged-in connection whose requests are pipelined. The agent reads a
// request only after it has answered the one before, so a writer thread
// sends requests ahead, up to a window, while a reader thread consumes the
// replies in order; neither waits for the other, so full socket buffers in
// both directions cannot deadlock. The producer and the data senders run on
// the writer thread, the reply handlers on the reader thread. Owned by one
// worker of a copy.
class TCanal {
 public:
  // Reads the reply of its request; false when the reply is out of step
  // (the connection is then given up).
  typedef std::function<bool(TCanal*)> TTratador;
  // Sends what follows a request's message (store data) through the
  // connection; false stops sending on this connection: the agent then
  // reads the end of the stream and drops the cut store.
  typedef std::function<bool(TCanal*)> TEnvio;
  // Queues requests with pedir when there is room; false when the work it
  // draws from is used up for good.
  typedef std::function<bool(TCanal*)> TProdutor;
  // A new logged-in connection, or null.
  typedef std::function<std::unique_ptr<ClienteVorna>()> TConector;

  TCanal(std::unique_ptr<ClienteVorna> cliente, const TConector& conector);
  virtual ~TCanal();

  TCanal(const TCanal&) = delete;
  TCanal& operator=(const TCanal&) = delete;

  // Runs writer and reader until the producer has nothing more, no
  // follow-up is waiting and every reply has been read. When a data sender
  // stopped the connection, the rest goes on over a new one. False when
  // the connection was lost (or a new one could not be made).
  bool executar(const TProdutor& produtor);

  // Writer thread: queues one command (code, message, then n raw bytes of
  // corpo, or what dados sends). peso is how much of the reply or of the
  // data is still in flight (bytes), which the window bounds.
  void pedir(int codigo, const MemoryStream& pedido, int64_t peso, TTratador tratador,
             const void* corpo = nullptr, size_t n = 0, TEnvio dados = nullptr);
  // Reader thread: a command to send as soon as possible, after those
  // already sent (a step that depends on a reply).
  void pedirDepois(int codigo, const MemoryStream& pedido, int64_t peso, TTratador tratador);
  // Writer thread: sends the requests queued so far now, before the
  // producer waits for more work. False when the connection fails.
  bool despachar() { return esvaziarSaida(); }
  // Writer thread: sends what is queued and waits until every reply in
  // flight has been read. False when the connection was lost or cut.
  bool aguardarRespostas();
  // Any thread: follow-ups are queued and not sent yet.
  bool temSeguintes();
  // Any thread: the connection of the current run was lost.
  bool perdida();
  // Reader thread: n of the current request's bytes have arrived.
  void consumido(int64_t n);

  // Reader thread: the reply's parts, through a buffer of the connection.
  bool lerInt(int* valor);
  bool lerMensagem(MemoryStream* mensagem);
  bool lerBytes(void* dados, size_t n);
  // The acknowledgement and the message of a command whose reply is one
  // message; both acknowledgements of a command that sends two (2 and 12).
  bool lerRespostaMensagem(MemoryStream* resposta);
  bool lerDoisOk();
  // The reply to a record request (a command answered with one message).
  bool lerRegistro(InfoObjectLinux* registro);
  // n bytes written on to destino, or read and dropped when it is null or a
  // write failed (its errno then in *erroLocal, which starts at 0). False
  // when the connection fails.
  bool copiarPara(TArquivoTemporario* destino, size_t n, int* erroLocal);

  ClienteVorna* getCliente() { return cliente.get(); }

  // From a signal handler (only async-signal-safe calls): every channel
  // stops at once, and none connects again.
  static void interromperTodos();
  static bool interrompido();

  // Requests in flight at most, and their bytes at most before new ones.
  static const size_t JANELA = 64;
  static const int64_t PESO_JANELA = 4 << 20;

 private:
  struct TPedido {
    std::string bytes;
    int64_t peso = 0;
    TTratador tratador;
  };

  bool executarUmaVez(const TProdutor& produtor);
  void escreverAteOFim(const TProdutor& produtor);
  void lerAteOFim();
  void escrever(const TProdutor& produtor);
  // Writer: waits while the window is full; false when the run must stop.
  bool aguardarEspaco(std::unique_lock<std::mutex>* guarda);
  // Writer, under trava: follow-ups into flight while there is room.
  bool moverSeguintes();
  void terminarEscrita();
  void ler();
  // Debug checks of the thread a method is meant for.
  bool naEscrita() const { return std::this_thread::get_id() == escritor; }
  bool naLeitura() const { return std::this_thread::get_id() == leitor; }
  bool esvaziarSaida();
  bool encherEntrada();  // the reader's buffer, from the socket
  bool haEspaco() const;
  bool meiaJanela() const;
  void perder();
  void trocarCliente(std::unique_ptr<ClienteVorna> novo);

  std::unique_ptr<ClienteVorna> cliente;
  TConector conector;

  std::mutex trava;
  std::condition_variable mudou;
  std::deque<TPedido> emVoo;      // sent or about to be: their replies come in this order
  std::deque<TPedido> seguintes;  // follow-ups queued by handlers, not sent yet
  int64_t pesoEmVoo = 0;
  bool escritaTerminada = false;
  bool perdido = false;
  bool cortado = false;  // a data sender stopped the connection on purpose

  std::thread::id escritor;  // the thread of executar
  std::thread::id leitor;    // set by each run's reader for itself

  std::string saida;      // written by the writer thread only
  TAreaAlinhada entrada;  // the reader's buffer
  size_t inicioEntrada = 0, fimEntrada = 0;
};

#endif
