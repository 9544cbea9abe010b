#include "MemoryStream.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>
#include <utility>

MemoryStream::MemoryStream() : buffer(nullptr), capacidade(0), posicao(0), sizeBuffer(0) {}

MemoryStream::~MemoryStream() { liberar(); }

MemoryStream::MemoryStream(const MemoryStream& outro) : MemoryStream() { *this = outro; }

MemoryStream& MemoryStream::operator=(const MemoryStream& outro) {
  if (this == &outro) return *this;
  clearAll();
  reservar(outro.sizeBuffer);
  if (outro.sizeBuffer > 0)
    std::memcpy(buffer, outro.buffer, static_cast<size_t>(outro.sizeBuffer));
  sizeBuffer = outro.sizeBuffer;
  posicao = outro.posicao;
  return *this;
}

MemoryStream::MemoryStream(MemoryStream&& outro) noexcept
    : buffer(outro.buffer),
      capacidade(outro.capacidade),
      posicao(outro.posicao),
      sizeBuffer(outro.sizeBuffer) {
  outro.buffer = nullptr;
  outro.capacidade = 0;
  outro.posicao = 0;
  outro.sizeBuffer = 0;
}

MemoryStream& MemoryStream::operator=(MemoryStream&& outro) noexcept {
  if (this != &outro) {
    liberar();
    buffer = outro.buffer;
    capacidade = outro.capacidade;
    posicao = outro.posicao;
    sizeBuffer = outro.sizeBuffer;
    outro.buffer = nullptr;
    outro.capacidade = 0;
    outro.posicao = 0;
    outro.sizeBuffer = 0;
  }
  return *this;
}

void MemoryStream::liberar() {
  std::free(buffer);
  buffer = nullptr;
  capacidade = 0;
}

void MemoryStream::clearAll() {
  liberar();
  posicao = 0;
  sizeBuffer = 0;
}

void MemoryStream::reservar(int n) {
  size_t preciso = static_cast<size_t>(sizeBuffer) + static_cast<size_t>(n);
  if (preciso <= capacidade) return;
  // Geometric growth keeps building a long reply linear.
  size_t nova = std::max<size_t>(preciso, std::max<size_t>(64, capacidade * 2));
  void* area = std::realloc(buffer, nova);
  if (area == nullptr) throw std::bad_alloc();
  buffer = static_cast<unsigned char*>(area);
  capacidade = nova;
}

void MemoryStream::setNewSizeBuffer(int n) {
  if (n < 0) throw std::length_error("MemoryStream: tamanho negativo");
  clearAll();
  reservar(n);
  if (n > 0) std::memset(buffer, 0, static_cast<size_t>(n));
  sizeBuffer = n;
}

void MemoryStream::incrementSize(int n) { sizeBuffer += n; }

void MemoryStream::exigirBytes(long long n) const {
  // Written so that it cannot overflow: posicao <= sizeBuffer always holds.
  if (n < 0 || n > static_cast<long long>(sizeBuffer) - posicao) {
    throw std::out_of_range("MemoryStream: leitura além do fim da mensagem");
  }
}

void MemoryStream::acrescentar(const unsigned char* dados, int n) {
  if (n > INT_MAX - sizeBuffer) throw std::length_error("MemoryStream: mensagem grande demais");
  reservar(n);
  if (n > 0) std::memcpy(buffer + sizeBuffer, dados, static_cast<size_t>(n));
  incrementSize(n);
}

void MemoryStream::addInt(int valor) {
  uint32_t v = static_cast<uint32_t>(valor);
  unsigned char bytes[4];
  for (int i = 0; i < 4; ++i) bytes[i] = static_cast<unsigned char>(v >> (8 * i));
  acrescentar(bytes, 4);
}

void MemoryStream::addInt64(long long valor) {
  uint64_t v = static_cast<uint64_t>(valor);
  unsigned char bytes[8];
  for (int i = 0; i < 8; ++i) bytes[i] = static_cast<unsigned char>(v >> (8 * i));
  acrescentar(bytes, 8);
}

void MemoryStream::addBool(bool valor) {
  unsigned char byte = valor ? 1 : 0;
  acrescentar(&byte, 1);
}

void MemoryStream::addString(const std::string& valor) {
  if (valor.size() > static_cast<size_t>(INT_MAX)) {
    throw std::length_error("MemoryStream: texto grande demais");
  }
  int n = static_cast<int>(valor.size());
  addInt(n);
  acrescentar(reinterpret_cast<const unsigned char*>(valor.data()), n);
}

void MemoryStream::sobrescreverInt(int offset, int valor) {
  if (offset < 0 || offset > sizeBuffer - 4) throw std::out_of_range("MemoryStream: fora do corpo");
  uint32_t v = static_cast<uint32_t>(valor);
  for (int i = 0; i < 4; ++i) buffer[offset + i] = static_cast<unsigned char>(v >> (8 * i));
}

void MemoryStream::addBytes(const void* dados, int n) {
  if (n < 0) throw std::length_error("MemoryStream: tamanho negativo");
  acrescentar(static_cast<const unsigned char*>(dados), n);
}

int MemoryStream::readIntFromMemoryStream() {
  exigirBytes(4);
  uint32_t v = 0;
  for (int i = 0; i < 4; ++i) v |= static_cast<uint32_t>(buffer[posicao + i]) << (8 * i);
  posicao += 4;
  return static_cast<int>(v);
}

long long MemoryStream::readInt64FromMemoryStream() {
  exigirBytes(8);
  uint64_t v = 0;
  for (int i = 0; i < 8; ++i) v |= static_cast<uint64_t>(buffer[posicao + i]) << (8 * i);
  posicao += 8;
  return static_cast<long long>(v);
}

std::string MemoryStream::readStringFromMemoryStream() {
  exigirBytes(4);
  int inicio = posicao;
  int n = readIntFromMemoryStream();
  try {
    exigirBytes(n);
  } catch (...) {
    posicao = inicio;  // a refused string consumes nothing, not even its length
    throw;
  }
  if (n == 0) return std::string();
  const char* texto = reinterpret_cast<const char*>(buffer + posicao);
  const void* zero = std::memchr(texto, 0, static_cast<size_t>(n));
  size_t comprimento =
      zero ? static_cast<size_t>(static_cast<const char*>(zero) - texto) : static_cast<size_t>(n);
  std::string resultado(texto, comprimento);
  posicao += n;
  return resultado;
}

unsigned char* MemoryStream::acrescentarEspaco(int n) {
  if (n < 0 || n > INT_MAX - sizeBuffer) throw std::length_error("MemoryStream: tamanho inválido");
  reservar(n);
  incrementSize(n);
  return buffer + (sizeBuffer - n);
}

void MemoryStream::truncar(int n) {
  if (n < 0 || n > sizeBuffer) throw std::out_of_range("MemoryStream: truncar fora do corpo");
  sizeBuffer = n;
  if (posicao > sizeBuffer) posicao = sizeBuffer;
}
