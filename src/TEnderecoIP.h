#ifndef TENDERECOIP_H
#define TENDERECOIP_H

#include <sys/socket.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

struct TRedeIP;

// The address of a peer, IPv4 or IPv6: its text for the log, the networks
// of an allow-list it falls in, and the key it is counted by. Held as 16
// bytes in network order, an IPv4 address in its IPv4-mapped form
// (::ffff:a.b.c.d), so that a peer reaching a dual-stack socket over IPv4 is
// the very same IPv4 address as one reaching an IPv4 socket. A plain value,
// free to copy between threads.
class TEnderecoIP {
 public:
  // One IPv6 host may be handed a whole /64 and pick any address in it: an
  // IPv6 peer is counted by its first 64 bits.
  static constexpr int BITS_DA_CHAVE_IPV6 = 64;

  TEnderecoIP();  // 0.0.0.0
  // ip in host order.
  static TEnderecoIP deIPv4(uint32_t ip);
  // A dotted IPv4 address or an IPv6 address in any of its text forms
  // (::ffff:192.0.2.10 is the IPv4 address 192.0.2.10). False for anything
  // else: a name, a prefix, brackets, a zone, blanks.
  static bool lerEndereco(const std::string& texto, TEnderecoIP* endereco);
  // "addr" or "addr/n", n at most 32 for an IPv4 address and 128 for an
  // IPv6 one; the bits past the prefix are dropped. False otherwise.
  static bool lerRede(const std::string& texto, TRedeIP* rede);
  // The address of a socket address of family AF_INET or AF_INET6 (an
  // IPv4-mapped one is IPv4); false for any other family.
  static bool lerSocket(const struct sockaddr* origem, TEnderecoIP* endereco);
  // The socket address of this address and porta in *destino: AF_INET for
  // an IPv4 address, AF_INET6 otherwise. Its length.
  socklen_t paraSocket(int porta, struct sockaddr_storage* destino) const;

  bool ehIPv4() const;
  // The 16 bytes in network order; an IPv4 address is the last four.
  const unsigned char* bytes() const { return octetos.data(); }
  // Dotted for IPv4; for IPv6 the standard text (RFC 5952: lower case,
  // the longest run of zero groups compressed).
  std::string texto() const;
  // What the per-address tables and caps count: an IPv4 address itself,
  // the /64 an IPv6 address belongs to.
  TEnderecoIP chave() const;
  // How a chave() is named in the log: the dotted IPv4 address, or the
  // IPv6 network with its prefix ("2001:db8:1:2::/64").
  std::string textoDaChave() const;
  bool estaNaRede(const TRedeIP& rede) const;

  bool operator==(const TEnderecoIP& outro) const { return octetos == outro.octetos; }
  bool operator!=(const TEnderecoIP& outro) const { return octetos != outro.octetos; }
  struct THash {
    size_t operator()(const TEnderecoIP& endereco) const;
  };

 private:
  // The first bits of the 128 kept, the others zero.
  TEnderecoIP mascarado(int bits) const;

  std::array<unsigned char, 16> octetos;
};

// One network of an allow-list: the addresses of its family whose first
// prefixo bits, of the 128 of the mapped form, are those of endereco. An
// IPv4 network a/n is ::ffff:a/(96+n), however written; any other is an
// IPv6 network, which holds no IPv4 address (::/0 is every IPv6 address).
struct TRedeIP {
  TEnderecoIP endereco;  // the bits past the prefix are zero
  int prefixo = 128;

  bool ehIPv4() const { return prefixo >= 96 && endereco.ehIPv4(); }
};

#endif
