#include "TEnvioArquivo.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "Stream.h"
#include "TFileTransferManager.h"
#include "TResolvedorCaminho.h"

TEnvioArquivo::TEnvioArquivo(const std::string& nomeArquivo, int sizeBuffer, int pidLog)
    : nomeArquivo(nomeArquivo),
      pBuffer(nullptr, std::free),
      sizeBuffer(std::min(sizeBuffer, TAMANHO_MAXIMO_BLOCO)),
      tamanhoArea(0),
      handle(-1),
      tamanhoArquivo(-1),
      pidLog(pidLog) {}

TEnvioArquivo::~TEnvioArquivo() { closeFile(); }

void TEnvioArquivo::prepararBuffer() {
  if (sizeBuffer <= 0) return;  // a fetch then ends at its first chunk
  // No buffer beyond what the file needs: fresh pages cost to touch.
  sizeBuffer =
      static_cast<int>(std::max<int64_t>(1, std::min<int64_t>(sizeBuffer, tamanhoArquivo)));
  tamanhoArea = std::min(sizeBuffer, TAMANHO_MAXIMO_AREA);
  pBuffer = alocarAlinhado(static_cast<size_t>(tamanhoArea));
}

void TEnvioArquivo::enviarArquivo(Stream* stream, const bool& continuar) {
  if (tamanhoArquivo <= 0) return;
  prepararBuffer();
  if (handle < 0) {
    // A size was announced and the server waits for chunks: say it failed.
    stream->writeInt(-1);
    return;
  }
  int64_t tamanhoenviado = 0;
  do {
    int enviados = sendBuffer(stream, tamanhoArquivo - tamanhoenviado);
    if (enviados <= 0) break;
    tamanhoenviado += enviados;
  } while (tamanhoenviado < tamanhoArquivo && continuar);
  closeFile();
}

bool TEnvioArquivo::openFile() {
  // Non-blocking: a FIFO put in the file's place must not hold the connection.
  handle = TResolvedorCaminho(pidLog).abrir(nomeArquivo, O_RDONLY | O_NOCTTY | O_NONBLOCK, "busca");
  return handle >= 0;
}

int64_t TEnvioArquivo::abrirParaEnvio() {
  tamanhoArquivo = -1;
  if (!openFile()) return -1;  // missing, or not readable
  tamanhoArquivo = tamanhoAoLer(handle);
  // Nothing will be read from a file of no size: it is not kept open.
  if (tamanhoArquivo <= 0) closeFile();
  return tamanhoArquivo;
}

int TEnvioArquivo::readBufferFronFile(int64_t maximo) {
  if (handle < 0 || tamanhoArea <= 0) return 0;
  size_t pedir = static_cast<size_t>(std::min<int64_t>(tamanhoArea, maximo));
  for (;;) {
    ssize_t lidos = read(handle, pBuffer.get(), pedir);
    if (lidos < 0 && errno == EINTR) continue;
    return static_cast<int>(lidos);
  }
}

int TEnvioArquivo::sendBuffer(Stream* stream, int64_t maximo) {
  if (sizeBuffer <= 0) {
    stream->writeInt(0);  // chunks of no bytes carry nothing: the transfer ends here
    return 0;
  }
  // Never more than is still due: a file that grew is cut at its announced size.
  int64_t pedido = std::min<int64_t>(sizeBuffer, maximo);
  int n = pedido > 0 ? readBufferFronFile(pedido) : 0;
  if (n <= 0) {
    // A failed read, or the end of a file that shrank: the announced bytes
    // will not come, and the count says so.
    stream->writeInt(-1);
    return 0;
  }
  int contagem = contagemDoBloco(n, pedido);
  if (stream->enviarContagemEDados(contagem, pBuffer.get(), static_cast<size_t>(n)) < 0) return 0;
  return enviarRestoDoBloco(stream, contagem - n) ? contagem : 0;
}

int TEnvioArquivo::contagemDoBloco(int n, int64_t pedido) const {
  if (n < tamanhoArea || pedido <= tamanhoArea) return n;  // that read was the whole chunk
  // A read of the whole chunk would stop only at the end of a regular file.
  struct stat st {};
  off_t posicao = lseek(handle, 0, SEEK_CUR);
  if (posicao < 0 || fstat(handle, &st) != 0 || !S_ISREG(st.st_mode)) {
    return static_cast<int>(pedido);
  }
  int64_t noArquivo = static_cast<int64_t>(st.st_size) - (posicao - n);
  return static_cast<int>(std::max<int64_t>(n, std::min(pedido, noArquivo)));
}

bool TEnvioArquivo::enviarRestoDoBloco(Stream* stream, int64_t resto) {
  while (resto > 0) {
    int lidos = readBufferFronFile(resto);
    if (lidos <= 0) return completarComZeros(stream, resto);
    if (stream->send(pBuffer.get(), static_cast<size_t>(lidos)) < 0) return false;
    resto -= lidos;
  }
  return true;
}

bool TEnvioArquivo::completarComZeros(Stream* stream, int64_t resto) {
  // The count is already out: the peer is owed its bytes before it can hear
  // that the file ended early.
  std::memset(pBuffer.get(), 0, static_cast<size_t>(tamanhoArea));
  while (resto > 0) {
    size_t parte = static_cast<size_t>(std::min<int64_t>(tamanhoArea, resto));
    if (stream->send(pBuffer.get(), parte) < 0) return false;
    resto -= static_cast<int64_t>(parte);
  }
  stream->writeInt(-1);
  return false;
}

bool TEnvioArquivo::closeFile() { return fecharUmaVez(&handle); }
