#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>

#include "TEnderecoIP.h"
#include "Temporario.h"

namespace {

TRedeIP rede(const char* texto) {
  TRedeIP lida;
  EXPECT_TRUE(TEnderecoIP::lerRede(texto, &lida)) << texto;
  return lida;
}

}  // namespace

TEST(TEnderecoIP, textoPadraoEIPv4MapeadoEhIPv4) {
  const char* casos[][2] = {
      {"2001:0DB8:0000:0000:0000:0000:0000:0005", "2001:db8::5"},
      {"2001:db8:0:1:1:1:1:1", "2001:db8:0:1:1:1:1:1"},  // one zero group stays
      {"2001:0:0:1:0:0:0:1", "2001:0:0:1::1"},           // the longest run goes
      {"::1", "::1"},
      {"::", "::"},
      {"192.0.2.10", "192.0.2.10"},
      {"::ffff:192.0.2.10", "192.0.2.10"},
      {"::FFFF:c000:20a", "192.0.2.10"},
  };
  for (const auto& caso : casos) EXPECT_EQ(enderecoDe(caso[0]).texto(), caso[1]) << caso[0];
  EXPECT_TRUE(enderecoDe("::ffff:192.0.2.10").ehIPv4());
  EXPECT_EQ(enderecoDe("::ffff:192.0.2.10"), TEnderecoIP::deIPv4(0xc000020a));
  EXPECT_FALSE(enderecoDe("::1").ehIPv4());
  EXPECT_EQ(TEnderecoIP().texto(), "0.0.0.0");
  TEnderecoIP lido;
  for (const char* ruim : {"", "localhost", "[::1]", "fe80::1%lo", " ::1", "::1/128", "1.2.3",
                           "2001:db8::5::1", "10.1.2.256"}) {
    EXPECT_FALSE(TEnderecoIP::lerEndereco(ruim, &lido)) << ruim;
  }

  // A peer on a dual-stack socket that came over IPv4 is that IPv4 address.
  struct sockaddr_in6 mapeado {};
  mapeado.sin6_family = AF_INET6;
  inet_pton(AF_INET6, "::ffff:127.0.0.12", &mapeado.sin6_addr);
  struct sockaddr_in simples {};
  simples.sin_family = AF_INET;
  simples.sin_addr.s_addr = htonl(0x7f00000c);
  TEnderecoIP pelo6, pelo4;
  ASSERT_TRUE(TEnderecoIP::lerSocket(reinterpret_cast<struct sockaddr*>(&mapeado), &pelo6));
  ASSERT_TRUE(TEnderecoIP::lerSocket(reinterpret_cast<struct sockaddr*>(&simples), &pelo4));
  EXPECT_EQ(pelo6.texto(), "127.0.0.12");
  EXPECT_EQ(pelo6, pelo4);
  EXPECT_EQ(pelo6.chave(), pelo4.chave());
  struct sockaddr outra {};
  outra.sa_family = AF_UNIX;
  EXPECT_FALSE(TEnderecoIP::lerSocket(&outra, &lido));
}

TEST(TEnderecoIP, lerRedeDasDuasFamilias) {
  EXPECT_EQ(rede("10.1.2.3/16").endereco.texto(), "10.1.0.0") << "host bits are dropped";
  EXPECT_EQ(rede("2001:db8:10:ab::1/48").endereco.texto(), "2001:db8:10::");
  EXPECT_EQ(rede("2001:db8:10:ab::1/47").endereco.texto(), "2001:db8:10::");
  EXPECT_EQ(rede("2001:db8:11:ab::1/47").endereco.texto(), "2001:db8:10::");
  EXPECT_EQ(rede("2001:db8::5").prefixo, 128);
  EXPECT_EQ(rede("10.1.2.3").prefixo, 128);
  EXPECT_EQ(rede("10.1.2.3/8").prefixo, 104) << "an IPv4 prefix counts within its 32 bits";

  TRedeIP bloco6 = rede("2001:db8:10::/48");
  EXPECT_TRUE(enderecoDe("2001:db8:10:ffff::1").estaNaRede(bloco6));
  EXPECT_FALSE(enderecoDe("2001:db8:11::1").estaNaRede(bloco6));
  EXPECT_FALSE(enderecoDe("10.0.0.1").estaNaRede(bloco6));
  TRedeIP bloco4 = rede("10.1.0.0/16");
  EXPECT_TRUE(enderecoDe("10.1.255.9").estaNaRede(bloco4));
  EXPECT_FALSE(enderecoDe("10.2.0.1").estaNaRede(bloco4));
  EXPECT_FALSE(enderecoDe("2001:db8::1").estaNaRede(bloco4));
  EXPECT_TRUE(enderecoDe("10.9.8.7").estaNaRede(rede("::ffff:10.0.0.0/104")))
      << "an IPv4 network in IPv6 text is that IPv4 network";
  EXPECT_TRUE(enderecoDe("10.9.8.7").estaNaRede(rede("0.0.0.0/0")));
  EXPECT_FALSE(enderecoDe("::1").estaNaRede(rede("0.0.0.0/0")))
      << "0.0.0.0/0 is every IPv4 address";
  EXPECT_TRUE(enderecoDe("::1").estaNaRede(rede("::/0")));
  EXPECT_FALSE(enderecoDe("10.9.8.7").estaNaRede(rede("::/0"))) << "::/0 is every IPv6 address";
  EXPECT_FALSE(enderecoDe("10.9.8.7").estaNaRede(rede("::/64")));

  TRedeIP lida;
  for (const char* ruim : {"", "10.1.2", "10.1.2.256", "10.1.2.3/33", "10.1.2.3/", "10.1.2.3/-1",
                           "10.1.2.3/1x", "localhost", " 10.1.2.3", "2001:db8::/129", "2001:db8::/",
                           "2001:db8::/0128", "[::1]/128", "fe80::1%lo/64", "2001:db8::/4 8"}) {
    EXPECT_FALSE(TEnderecoIP::lerRede(ruim, &lida)) << ruim;
  }
}

TEST(TEnderecoIP, chaveDeUmIPv6EhSeu64) {
  TEnderecoIP a = enderecoDe("2001:db8:1:2::5");
  EXPECT_EQ(a.chave(), enderecoDe("2001:db8:1:2:ffff:ffff:ffff:ffff").chave());
  EXPECT_NE(a.chave(), enderecoDe("2001:db8:1:3::5").chave());
  EXPECT_EQ(a.textoDaChave(), "2001:db8:1:2::/64");
  EXPECT_EQ(a.chave().textoDaChave(), "2001:db8:1:2::/64");
  EXPECT_EQ(enderecoDe("::1").textoDaChave(), "::/64");
  TEnderecoIP v4 = enderecoDe("192.0.2.10");
  EXPECT_EQ(v4.chave(), v4) << "an IPv4 address is its own key";
  EXPECT_NE(v4.chave(), enderecoDe("192.0.2.11").chave());
  EXPECT_EQ(v4.textoDaChave(), "192.0.2.10");
  TEnderecoIP::THash hash;
  EXPECT_EQ(hash(a.chave()), hash(enderecoDe("2001:db8:1:2::9").chave()));
}
