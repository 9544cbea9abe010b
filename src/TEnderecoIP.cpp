#include "TEnderecoIP.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdlib>
#include <cstring>

namespace {

// Where the IPv4 address sits in the mapped form, and the bits before it.
const size_t INICIO_IPV4 = 12;
const int BITS_ANTES_DO_IPV4 = 96;

// The decimal prefix length after a "/": digits only, at most maximo.
bool lerPrefixo(const std::string& texto, int maximo, int* bits) {
  if (texto.empty() || texto.size() > 3 ||
      texto.find_first_not_of("0123456789") != std::string::npos) {
    return false;
  }
  *bits = std::atoi(texto.c_str());
  return *bits <= maximo;
}

}  // namespace

TEnderecoIP::TEnderecoIP() : octetos{} { octetos[10] = octetos[11] = 0xff; }

TEnderecoIP TEnderecoIP::deIPv4(uint32_t ip) {
  TEnderecoIP endereco;
  uint32_t rede = htonl(ip);
  std::memcpy(&endereco.octetos[INICIO_IPV4], &rede, sizeof rede);
  return endereco;
}

bool TEnderecoIP::lerEndereco(const std::string& texto, TEnderecoIP* endereco) {
  TEnderecoIP lido;
  if (inet_pton(AF_INET, texto.c_str(), &lido.octetos[INICIO_IPV4]) != 1 &&
      inet_pton(AF_INET6, texto.c_str(), lido.octetos.data()) != 1) {
    return false;
  }
  *endereco = lido;
  return true;
}

bool TEnderecoIP::lerRede(const std::string& texto, TRedeIP* rede) {
  size_t barra = texto.find('/');
  std::string parteEndereco = texto.substr(0, barra);
  TEnderecoIP endereco;
  if (!lerEndereco(parteEndereco, &endereco)) return false;
  // A dotted address's prefix counts within its own 32 bits; an IPv6 text's
  // within the 128, ::ffff:192.0.2.0/120 included.
  int antes = parteEndereco.find(':') == std::string::npos ? BITS_ANTES_DO_IPV4 : 0;
  int bits = 128 - antes;
  if (barra != std::string::npos && !lerPrefixo(texto.substr(barra + 1), 128 - antes, &bits)) {
    return false;
  }
  rede->prefixo = antes + bits;
  rede->endereco = endereco.mascarado(rede->prefixo);
  return true;
}

bool TEnderecoIP::lerSocket(const struct sockaddr* origem, TEnderecoIP* endereco) {
  TEnderecoIP lido;
  if (origem->sa_family == AF_INET) {
    const struct sockaddr_in* ipv4 = reinterpret_cast<const struct sockaddr_in*>(origem);
    std::memcpy(&lido.octetos[INICIO_IPV4], &ipv4->sin_addr, 4);
  } else if (origem->sa_family == AF_INET6) {
    const struct sockaddr_in6* ipv6 = reinterpret_cast<const struct sockaddr_in6*>(origem);
    std::memcpy(lido.octetos.data(), &ipv6->sin6_addr, 16);
  } else {
    return false;
  }
  *endereco = lido;
  return true;
}

socklen_t TEnderecoIP::paraSocket(int porta, struct sockaddr_storage* destino) const {
  std::memset(destino, 0, sizeof *destino);
  uint16_t portaRede = htons(static_cast<uint16_t>(porta));
  if (ehIPv4()) {
    struct sockaddr_in* ipv4 = reinterpret_cast<struct sockaddr_in*>(destino);
    ipv4->sin_family = AF_INET;
    ipv4->sin_port = portaRede;
    std::memcpy(&ipv4->sin_addr, &octetos[INICIO_IPV4], 4);
    return sizeof *ipv4;
  }
  struct sockaddr_in6* ipv6 = reinterpret_cast<struct sockaddr_in6*>(destino);
  ipv6->sin6_family = AF_INET6;
  ipv6->sin6_port = portaRede;
  std::memcpy(&ipv6->sin6_addr, octetos.data(), 16);
  return sizeof *ipv6;
}

bool TEnderecoIP::ehIPv4() const {
  static const unsigned char MAPEADO[INICIO_IPV4] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
  return std::memcmp(octetos.data(), MAPEADO, INICIO_IPV4) == 0;
}

std::string TEnderecoIP::texto() const {
  char texto[INET6_ADDRSTRLEN];
  bool ipv4 = ehIPv4();
  const void* bytes = ipv4 ? &octetos[INICIO_IPV4] : octetos.data();
  if (inet_ntop(ipv4 ? AF_INET : AF_INET6, bytes, texto, sizeof texto) == nullptr) return "?";
  return texto;
}

TEnderecoIP TEnderecoIP::chave() const { return ehIPv4() ? *this : mascarado(BITS_DA_CHAVE_IPV6); }

std::string TEnderecoIP::textoDaChave() const {
  if (ehIPv4()) return texto();
  return chave().texto() + "/" + std::to_string(BITS_DA_CHAVE_IPV6);
}

bool TEnderecoIP::estaNaRede(const TRedeIP& rede) const {
  // Without the family check ::/64 would hold every IPv4 address.
  return ehIPv4() == rede.ehIPv4() && mascarado(rede.prefixo) == rede.endereco;
}

TEnderecoIP TEnderecoIP::mascarado(int bits) const {
  TEnderecoIP resultado = *this;
  for (int i = 0; i < 16; ++i) {
    int ficam = bits - 8 * i;  // bits of this byte that stay
    if (ficam >= 8) continue;
    resultado.octetos[i] &= ficam <= 0 ? 0 : static_cast<unsigned char>(0xff << (8 - ficam));
  }
  return resultado;
}

size_t TEnderecoIP::THash::operator()(const TEnderecoIP& endereco) const {
  uint64_t alto, baixo;
  std::memcpy(&alto, endereco.octetos.data(), 8);
  std::memcpy(&baixo, endereco.octetos.data() + 8, 8);
  // Mixed, so that keys differing only in their high bits (IPv6 /64s) or
  // only in their low ones (IPv4) spread over the buckets alike.
  uint64_t h = (alto * 0x9e3779b97f4a7c15ull) ^ baixo;
  h ^= h >> 31;
  h *= 0xbf58476d1ce4e5b9ull;
  h ^= h >> 29;
  return static_cast<size_t>(h);
}
