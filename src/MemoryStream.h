#ifndef MEMORYSTREAM_H
#define MEMORYSTREAM_H

#include <cstdint>
#include <string>
#include <vector>

// Largest message body the agent accepts from a peer; a longer announced body
// ends the connection before anything is allocated.
const int TAMANHO_MAXIMO_MENSAGEM = 16 * 1024 * 1024;

// Body of one protocol message: fields without tags, integers little-endian,
// strings as a 32-bit length and their bytes. Built and read by one connection
// thread; never shared. Every read checks that its bytes are there and throws
// std::out_of_range otherwise, leaving the cursor where it was.
class MemoryStream {
 public:
  MemoryStream();
  virtual ~MemoryStream();

  MemoryStream(const MemoryStream& outro);
  MemoryStream& operator=(const MemoryStream& outro);
  MemoryStream(MemoryStream&& outro) noexcept;
  MemoryStream& operator=(MemoryStream&& outro) noexcept;

  int getSize() const { return sizeBuffer; }
  int getPosicao() const { return posicao; }
  const unsigned char* getBuffer() const { return buffer; }

  void clearAll();
  // Empties the buffer and gives it an area of n bytes (n >= 0) to receive into.
  void setNewSizeBuffer(int n);

  void addInt(int valor);
  void addInt64(long long valor);
  void addBool(bool valor);
  void addString(const std::string& valor);
  void writeIntToMemoryStream(int valor) { addInt(valor); }
  void writeInt64ToMemoryStream(long long valor) { addInt64(valor); }
  void writeBoolToMemoryStream(bool valor) { addBool(valor); }
  void writeStringToMemoryStream(const std::string& valor) { addString(valor); }
  // Replaces the 4 bytes at offset with valor (a count known only at the end).
  void sobrescreverInt(int offset, int valor);
  // Appends raw bytes with no length of their own.
  void addBytes(const void* dados, int n);

  int readIntFromMemoryStream();
  long long readInt64FromMemoryStream();
  // The text up to the first zero byte of the declared bytes; the cursor still
  // moves past all of them.
  std::string readStringFromMemoryStream();
  // All the declared bytes of a string, zero bytes included.
  std::string lerTextoInteiro();

  // For receiving: n more writable bytes at the end (size grows by n), and
  // cutting the body back to the bytes that really arrived.
  unsigned char* acrescentarEspaco(int n);
  void truncar(int n);

 private:
  void incrementSize(int n);
  void exigirBytes(long long n) const;
  void acrescentar(const unsigned char* dados, int n);
  // Room for n more bytes past the body (n >= 0, the size checked by the caller).
  void reservar(int n);
  void liberar();

  // Grown by realloc: a large area moves by remapping its pages, so a long
  // reply is never held twice while it grows.
  unsigned char* buffer;
  size_t capacidade;
  int32_t posicao;
  int32_t sizeBuffer;
};

#endif
