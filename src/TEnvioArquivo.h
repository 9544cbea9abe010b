#ifndef TENVIOARQUIVO_H
#define TENVIOARQUIVO_H

#include <cstdint>
#include <string>

#include "TUtils.h"

class Stream;

// A fetch (command 1): one file sent whole over the connection's stream as
// counted chunks, with the file and the buffer its data passes through.
// Made on the stack by the connection thread for a single fetch and dropped
// when it ends, closing the file.
class TEnvioArquivo {
 public:
  // Chunks hold min(sizeBuffer, the file's size) bytes, at least one and at
  // most TAMANHO_MAXIMO_BLOCO. The buffer, taken when the fetch starts,
  // holds a chunk or TAMANHO_MAXIMO_AREA bytes, whichever is less.
  // A refused path is logged to the log of process pidLog.
  TEnvioArquivo(const std::string& nomeArquivo, int sizeBuffer, int pidLog = 0);
  ~TEnvioArquivo();

  TEnvioArquivo(const TEnvioArquivo&) = delete;
  TEnvioArquivo& operator=(const TEnvioArquivo&) = delete;

  // Opens the file for reading and takes the size to announce from that
  // very file: -1 when it is missing, cannot be read, is a FIFO or a socket,
  // or lies behind a link a user made. A file of some size stays open for
  // enviarArquivo.
  int64_t abrirParaEnvio();
  // Sends exactly the announced bytes as counted chunks, while continuar
  // holds. A file that grew meanwhile is cut at the announced size; one
  // that shrank or fails a read ends with a chunk of count -1. Nothing is
  // sent for a size of 0 or less. Follows abrirParaEnvio.
  void enviarArquivo(Stream* stream, const bool& continuar);
  // Opens the file for reading (TResolvedorCaminho); false when it cannot
  // (errno says why).
  bool openFile();
  // Reads one chunk of at most maximo bytes and sends its big-endian count
  // and its bytes: the count one read of the whole chunk would give, the
  // bytes read and sent a buffer at a time. Returns the data bytes sent: 0
  // after a failed or empty read (sent as count -1), when the peer is gone,
  // or when the file ended inside a chunk already announced (the chunk is
  // then filled up with zeros and followed by the count -1).
  int sendBuffer(Stream* stream, int64_t maximo);

 private:
  void prepararBuffer();
  // At most min(buffer, maximo) bytes from the file into the buffer.
  int readBufferFronFile(int64_t maximo);
  // The count of a chunk of pedido bytes whose first read gave n.
  int contagemDoBloco(int n, int64_t pedido) const;
  // Reads and sends the resto bytes of a chunk after its first read; false
  // when the peer is gone or the file ended first (see sendBuffer).
  bool enviarRestoDoBloco(Stream* stream, int64_t resto);
  bool completarComZeros(Stream* stream, int64_t resto);
  // Closes the file once; false when it was not open or close reported an error.
  bool closeFile();

  std::string nomeArquivo;
  TAreaAlinhada pBuffer;
  int sizeBuffer;          // the chunk size
  int tamanhoArea;         // bytes in pBuffer
  int handle;              // the file while it is open, else -1
  int64_t tamanhoArquivo;  // announced, or -1
  int pidLog;
};

#endif
