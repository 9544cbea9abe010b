#include "Stream.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "MemoryStream.h"
#include "TNotificacaoServico.h"
#include "TUtils.h"

Stream::Stream(int handleClientSocket)
    : handleClientSocket(handleClientSocket),
      encerrado(false),
      temPrazo(false),
      esgotado(false),
      inicioLido(0),
      fimLido(0),
      retendo(false),
      agrupando(false) {}

void Stream::setPrazo(std::chrono::steady_clock::time_point limite) {
  temPrazo = true;
  prazo = limite;
}

bool Stream::esperarDados() {
  for (;;) {
    auto restante = std::chrono::duration_cast<std::chrono::milliseconds>(
        prazo - std::chrono::steady_clock::now());
    if (restante.count() <= 0) break;
    struct pollfd espera = {handleClientSocket, POLLIN, 0};
    int r = poll(&espera, 1, static_cast<int>(std::min<long long>(restante.count(), 1 << 30)));
    if (r > 0) return true;
    if (r < 0 && errno != EINTR) return true;  // let the read report the error
  }
  esgotado = true;
  encerrar();
  return false;
}

Stream::~Stream() {}

int32_t Stream::convertToBigEndian(int value) {
  return static_cast<int32_t>(htonl(static_cast<uint32_t>(value)));
}

int Stream::ConvertToInt32(const void* buffer) {
  uint32_t rede;
  std::memcpy(&rede, buffer, 4);
  return static_cast<int>(ntohl(rede));
}

ssize_t Stream::send(const unsigned char* buffer, size_t len) {
  return enviarJunto(buffer, len, nullptr, 0);
}

ssize_t Stream::enviarJunto(const void* a, size_t na, const void* b, size_t nb, int flags) {
  // Nothing goes to a connection this side has stopped.
  if (encerrado) return -1;
  bool guardar = retendo || (agrupando && saidaRetida.size() + na + nb <= AGRUPAR_MAXIMO);
  if (!guardar && !saidaRetida.empty()) {
    // What was gathered goes first, and this write right behind it.
    if (enviarRetida(MSG_MORE) < 0) return -1;
  }
  if (guardar) {
    const unsigned char* pa = static_cast<const unsigned char*>(a);
    const unsigned char* pb = static_cast<const unsigned char*>(b);
    saidaRetida.insert(saidaRetida.end(), pa, pa + na);
    if (nb > 0) saidaRetida.insert(saidaRetida.end(), pb, pb + nb);
    return static_cast<ssize_t>(na + nb);
  }
  struct iovec partes[2] = {{const_cast<void*>(a), na}, {const_cast<void*>(b), nb}};
  return escreverNoSocket(partes, 2, flags);
}

ssize_t Stream::escreverNoSocket(struct iovec* partes, int quantas, int flags) {
  ssize_t enviados = enviarTudo(handleClientSocket, partes, quantas, flags);
  if (enviados > 0) TNotificacaoServico::bytesEnviados.fetch_add(enviados, std::memory_order_relaxed);
  return enviados;
}

ssize_t Stream::receive(void* buffer, size_t len) {
  if (encerrado) return 0;  // what was read ahead goes with the connection
  if (len == 0) return 0;
  if (inicioLido == fimLido) {
    if ((retendo || agrupando) && !haDadosEsperando()) {
      if (retendo && antesDeEsperar) antesDeEsperar();
      if (encerrado) return 0;
      // Gathered replies go before the wait; gathering goes on after it.
      if (!retendo) enviarRetida(0);
    }
    if (temPrazo && !esperarDados()) return 0;
    // A large read goes straight to its place; small ones (a command code,
    // a length, a short request) come from one read of whatever arrived.
    bool direto = len >= sizeof lido;
    ssize_t r;
    do {
      r = direto ? read(handleClientSocket, buffer, len)
                 : read(handleClientSocket, lido, sizeof lido);
    } while (r < 0 && errno == EINTR);
    if (r > 0) TNotificacaoServico::bytesRecebidos.fetch_add(r, std::memory_order_relaxed);
    if (direto || r <= 0) return r;
    inicioLido = 0;
    fimLido = static_cast<size_t>(r);
  }
  size_t n = std::min(len, fimLido - inicioLido);
  std::memcpy(buffer, lido + inicioLido, n);
  inicioLido += n;
  return static_cast<ssize_t>(n);
}

ssize_t Stream::receiveAll(void* buffer, size_t len) {
  char* p = static_cast<char*>(buffer);
  size_t recebido = 0;
  while (recebido < len) {
    ssize_t r = receive(p + recebido, len - recebido);
    if (r <= 0) break;
    recebido += static_cast<size_t>(r);
  }
  return static_cast<ssize_t>(recebido);
}

ssize_t Stream::writeInt(int value) {
  int32_t rede = convertToBigEndian(value);
  return send(reinterpret_cast<const unsigned char*>(&rede), sizeof rede);
}

int Stream::readInt() {
  unsigned char bytes[4];
  if (receiveAll(bytes, sizeof bytes) != static_cast<ssize_t>(sizeof bytes)) return -1;
  return ConvertToInt32(bytes);
}

ssize_t Stream::enviarContagemEDados(int contagem, const unsigned char* dados, size_t n) {
  int32_t rede = convertToBigEndian(contagem);
  // The count first, held back by the kernel (MSG_MORE) until the data
  // follows: as few segments as one write, and measured a quarter faster
  // than one gathered write for 1 MiB chunks.
  if (enviarJunto(&rede, sizeof rede, nullptr, 0, MSG_MORE) < 0) return -1;
  ssize_t r = send(dados, n);
  return r < 0 ? -1 : r + static_cast<ssize_t>(sizeof rede);
}

ssize_t Stream::send(const MemoryStream& memoryStream) {
  return send(memoryStream.getBuffer(), static_cast<size_t>(memoryStream.getSize()));
}

ssize_t Stream::receive(MemoryStream* memoryStream) {
  return receberCorpo(memoryStream, memoryStream->getSize());
}

ssize_t Stream::enviarMensagem(const MemoryStream& memoryStream) {
  int32_t rede = convertToBigEndian(memoryStream.getSize());
  // Length and body in one gathered write: the same bytes, without a small
  // segment waiting on its acknowledgement.
  return enviarJunto(&rede, sizeof rede, memoryStream.getBuffer(),
                     static_cast<size_t>(memoryStream.getSize()));
}

ssize_t Stream::receberCorpo(MemoryStream* memoryStream, int tamanho) {
  const int PASSO_INICIAL = 64 * 1024;
  memoryStream->clearAll();
  int recebido = 0;
  while (recebido < tamanho) {
    int parte = std::min(tamanho - recebido, std::max(recebido, PASSO_INICIAL));
    unsigned char* destino = memoryStream->acrescentarEspaco(parte);
    ssize_t r = receiveAll(destino, static_cast<size_t>(parte));
    recebido += static_cast<int>(r);
    if (r < parte) {
      memoryStream->truncar(recebido);
      break;
    }
  }
  return recebido;
}

void Stream::encerrar() {
  if (!retendo) enviarRetida(0);
  encerrado = true;
  shutdown(handleClientSocket, SHUT_RDWR);
}

bool Stream::haDadosEsperando() {
  if (inicioLido != fimLido) return true;
  if (encerrado) return false;
  struct pollfd espera = {handleClientSocket, POLLIN, 0};
  int r;
  do {
    r = poll(&espera, 1, 0);
  } while (r < 0 && errno == EINTR);
  return r > 0;
}

ssize_t Stream::liberarSaida() {
  agrupando = false;
  return retendo ? 0 : enviarRetida(0);
}

ssize_t Stream::enviarRetida(int flags) {
  if (saidaRetida.empty()) return 0;
  std::vector<unsigned char> pendente;
  pendente.swap(saidaRetida);
  struct iovec parte = {pendente.data(), pendente.size()};
  return encerrado ? -1 : escreverNoSocket(&parte, 1, flags);
}

ssize_t Stream::terminarRetencao() {
  if (!retendo) return 0;
  retendo = false;
  return enviarRetida(0);
}

void Stream::encerrarCortando(size_t mantidos) {
  if (mantidos < saidaRetida.size()) saidaRetida.resize(mantidos);
  retendo = false;
  encerrar();
}
