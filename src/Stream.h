#ifndef STREAM_H
#define STREAM_H

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <utility>
#include <vector>

class MemoryStream;

// Reads and writes one connected socket for its connection thread. Integers
// alone on the wire are 32-bit big-endian. Every write goes on until all its
// bytes are out or the peer is gone (unless writes are kept or gathered, see
// reterSaida and agruparSaida), and never raises SIGPIPE. The Stream
// neither opens nor closes the socket: the owner of the descriptor does.
class Stream {
 public:
  explicit Stream(int handleClientSocket);
  virtual ~Stream();

  Stream(const Stream&) = delete;
  Stream& operator=(const Stream&) = delete;

  // Writes all len bytes; returns len, or -1 when the peer is gone.
  ssize_t send(const unsigned char* buffer, size_t len);
  // At most len bytes, from what was read ahead or from one read: the count,
  // 0 when the peer has closed, -1 on error.
  ssize_t receive(void* buffer, size_t len);
  // Reads until len bytes are in or the connection ends; returns the count.
  ssize_t receiveAll(void* buffer, size_t len);

  ssize_t writeInt(int value);
  // A chunk: the big-endian count and n bytes, in one gathered write.
  ssize_t enviarContagemEDados(int contagem, const unsigned char* dados, size_t n);
  // The next wire integer, or -1 when the connection ends or fails first.
  int readInt();

  // The body of a message buffer, without its length.
  ssize_t send(const MemoryStream& memoryStream);
  // Reads up to getSize() bytes into the buffer's area and cuts the size to
  // the count received, which is returned.
  ssize_t receive(MemoryStream* memoryStream);
  // A whole message: the big-endian body length and the body, in one write.
  ssize_t enviarMensagem(const MemoryStream& memoryStream);
  // Receives a body of tamanho bytes (0 <= tamanho), growing the area as the
  // bytes arrive rather than trusting the announced length up front. Returns
  // the count received.
  ssize_t receberCorpo(MemoryStream* memoryStream, int tamanho);

  // Until semPrazo, a read that would wait past limite stops the connection
  // instead (prazoEsgotado then tells so).
  void setPrazo(std::chrono::steady_clock::time_point limite);
  void semPrazo() { temPrazo = false; }
  bool prazoEsgotado() const { return esgotado; }

  // Stops both directions: every later read sees the end of the connection
  // and every later write fails at once without touching the socket. What
  // was gathered (not what is kept) is sent first.
  void encerrar();
  bool encerrada() const { return encerrado; }

  // True when bytes of the peer wait already: read ahead, or readable on the
  // socket right now (the end of the connection counts too). Never waits.
  bool haDadosEsperando();
  // From now on small writes are gathered, in order, and sent together
  // before a read would wait on the peer, when they would pass
  // AGRUPAR_MAXIMO bytes, or by liberarSaida: a peer that sends requests
  // ahead gets their replies in few segments. The same bytes, in the same
  // order; a peer that waits for each reply gets it before the agent waits.
  void agruparSaida() { agrupando = true; }
  // Sends what was gathered and stops gathering: -1 when the peer is gone.
  // Held bytes (reterSaida) stay held.
  ssize_t liberarSaida();

  // Holding: from reterSaida on, every write is kept, in order, and
  // reported as sent; held bytes leave only through terminarRetencao or
  // encerrarCortando, never before a read, at the gathering bound or by
  // liberarSaida. The owner of the hold decides when (TLoteGravacao).
  void reterSaida() { retendo = true; }
  // Bytes held or gathered so far: the offset the next write will take.
  size_t tamanhoRetido() const { return saidaRetida.size(); }
  // Sends what is held at once and stops holding (gathering goes on).
  // -1 when the peer is gone.
  ssize_t terminarRetencao();
  // Sends only the first mantidos bytes of what is held or gathered, drops
  // the rest, and stops the connection as encerrar does.
  void encerrarCortando(size_t mantidos);
  // Called before a read would wait on the peer while writes are held: the
  // peer may be waiting for them first.
  void setAntesDeEsperar(std::function<void()> funcao) { antesDeEsperar = std::move(funcao); }

  // Gathered writes sent at most in one go.
  static const size_t AGRUPAR_MAXIMO = 64 * 1024;

  static int32_t convertToBigEndian(int value);
  static int ConvertToInt32(const void* buffer);

 private:
  ssize_t enviarJunto(const void* a, size_t na, const void* b, size_t nb, int flags = 0);
  // Sends what is kept, with flags for the socket (MSG_MORE when a write
  // follows); the modes stay as they are.
  ssize_t enviarRetida(int flags);
  // Every byte that reaches the socket goes through here, and is counted.
  ssize_t escreverNoSocket(struct iovec* partes, int quantas, int flags);

  bool esperarDados();

  int handleClientSocket;
  bool encerrado;
  bool temPrazo;
  bool esgotado;
  std::chrono::steady_clock::time_point prazo;
  // Bytes read from the socket and not yet taken: one read serves several
  // small fields.
  unsigned char lido[4096];
  size_t inicioLido;
  size_t fimLido;
  bool retendo;
  bool agrupando;
  std::vector<unsigned char> saidaRetida;
  std::function<void()> antesDeEsperar;
};

#endif
