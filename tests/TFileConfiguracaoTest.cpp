#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>

#include "TFileConfiguracao.h"
#include "Temporario.h"

namespace {

struct Caso {
  const char* conteudo;
  int porta;
  int tentativas;
};

}  // namespace

TEST(TFileConfiguracao, interpretaCadaLinha) {
  const Caso casos[] = {
      {nullptr, 9999, 10},  // no file: both defaults, written out
      {"porta=8080\n", 8080, 10},
      {"porta = 8080\n", 8080, 10},  // atoi skips the blank
      {"porta=abc\n", 0, 10},
      {"#porta=1\n", 1, 10},                       // no comment syntax
      {"porta 8080\n", 9999, 10},                  // no "=": ignored
      {"quantTentativaDeConexao=porta\n", 0, 10},  // "porta" is tested first, value included
      {"quantTentativaDeConexao=3\r\nporta=7000\r\n", 7000, 3},
      {"porta=1\nporta=2\n", 2, 10},  // the later line wins
      {"portas=-5xyz", -5, 10},
      {"", 9999, 10},
      {"outra=1\n", 9999, 10},
  };
  for (const Caso& caso : casos) {
    DiretorioDeTrabalho trabalho;
    if (caso.conteudo) escreverArquivo("vornaConfig.txt", caso.conteudo);
    TFileConfiguracao configuracao;
    const char* texto = caso.conteudo ? caso.conteudo : "(none)";
    EXPECT_EQ(configuracao.getPorta(), caso.porta) << texto;
    EXPECT_EQ(configuracao.getQuantTentativaDeConexao(), caso.tentativas) << texto;
    EXPECT_EQ(lerArquivo("vornaConfig.txt"),
              caso.conteudo ? caso.conteudo : "porta=9999\nquantTentativaDeConexao=10\n")
        << "an existing file is not rewritten";
  }
  // A folder in its place: the defaults, and nothing written.
  DiretorioDeTrabalho trabalho;
  ASSERT_EQ(mkdir("vornaConfig.txt", 0755), 0);
  TFileConfiguracao configuracao;
  EXPECT_EQ(configuracao.getPorta(), 9999);
  EXPECT_EQ(configuracao.getQuantTentativaDeConexao(), 10);
}

TEST(TFileConfiguracao, chavesOpcionaisEValoresRuins) {
  DiretorioDeTrabalho trabalho;
  escreverArquivo("vornaConfig.txt",
                  "porta=7000\nenderecoEscuta = 127.0.0.3\r\n"
                  "servidoresPermitidos=10.0.0.5, 192.168.1.0/24 ,,300.1.1.1,2001:DB8:10::/48\n"
                  "maxConexoesSemLogin=256\nmaxSemLoginPorEndereco=8\npenalidadeLogin=5x\n");
  TFileConfiguracao configuracao;
  EXPECT_EQ(configuracao.getPorta(), 7000);
  EXPECT_EQ(configuracao.getEnderecoEscuta(), "127.0.0.3");
  EXPECT_TRUE(configuracao.getRestringirServidores());
  ASSERT_EQ(configuracao.getServidoresPermitidos().size(), 3u) << "the bad entry alone is dropped";
  EXPECT_EQ(configuracao.getServidoresPermitidos()[1].endereco.texto(), "192.168.1.0");
  EXPECT_EQ(configuracao.getServidoresPermitidos()[2].endereco.texto(), "2001:db8:10::");
  EXPECT_EQ(configuracao.getServidoresPermitidos()[2].prefixo, 48);
  EXPECT_EQ(configuracao.getMaxConexoesSemLogin(), 256);
  EXPECT_EQ(configuracao.getMaxSemLoginPorEndereco(), 8);
  EXPECT_EQ(configuracao.getAvisos(),
            (std::vector<std::string>{
                "Valor inválido para servidoresPermitidos em vornaConfig.txt: \"300.1.1.1\""}));
  EXPECT_EQ(
      configuracao.getErros(),
      (std::vector<std::string>{"Valor inválido para penalidadeLogin em vornaConfig.txt: \"5x\""}));
}

TEST(TFileConfiguracao, valorQueNaoSeLeComoQueridoEhErro) {
  for (const char* conteudo :
       {"enderecoEscuta=localhost\n", "enderecoEscuta=\n", "enderecoEscuta=127.0.0.999\n",
        "enderecoEscuta=[::1]\n", "enderecoEscuta=::1/128\n", "enderecoEscuta=fe80::1%lo\n",
        "maxConexoesSemLogin=-3\n", "maxSemLoginPorEndereco=oito\n", "penalidadeLogin=101\n",
        "penalidadeLogin=\n"}) {
    DiretorioDeTrabalho trabalho;
    escreverArquivo("vornaConfig.txt", conteudo);
    TFileConfiguracao configuracao;
    EXPECT_EQ(configuracao.getErros().size(), 1u) << conteudo;
  }
}

TEST(TFileConfiguracao, semChavesOpcionaisNadaMuda) {
  for (const char* conteudo :
       {"porta=1\n", "maxConexoesSemLogin=1\nmaxConexoesSemLogin=0\n", "penalidadeLogin=0\n"}) {
    DiretorioDeTrabalho trabalho;
    escreverArquivo("vornaConfig.txt", conteudo);
    TFileConfiguracao configuracao;
    EXPECT_EQ(configuracao.getEnderecoEscuta(), "") << conteudo;
    EXPECT_FALSE(configuracao.getRestringirServidores()) << conteudo;
    EXPECT_EQ(configuracao.getMaxConexoesSemLogin(), 0) << conteudo;
    EXPECT_EQ(configuracao.getPenalidadeLogin(), 0) << conteudo;
    EXPECT_TRUE(configuracao.getErros().empty()) << conteudo;
  }
}

TEST(TFileConfiguracao, listaPresenteAdmiteSoSuasEntradasValidas) {
  for (const char* conteudo : {"servidoresPermitidos=nada, ,x/8\n", "servidoresPermitidos=,\n",
                               "servidoresPermitidos=\n", "servidoresPermitidos=\r\n"}) {
    DiretorioDeTrabalho trabalho;
    escreverArquivo("vornaConfig.txt", conteudo);
    TFileConfiguracao configuracao;
    EXPECT_TRUE(configuracao.getRestringirServidores()) << conteudo << "admits nobody";
    EXPECT_TRUE(configuracao.getServidoresPermitidos().empty()) << conteudo;
    EXPECT_EQ(configuracao.getAvisos().back(),
              "servidoresPermitidos sem nenhum endereço válido: nenhum servidor será admitido")
        << conteudo;
  }
  DiretorioDeTrabalho trabalho;
  escreverArquivo("vornaConfig.txt",
                  "servidoresPermitidos=10.0.0.5\nservidoresPermitidos=\n"
                  "servidoresPermitidos=0.0.0.0/0\n");
  TFileConfiguracao configuracao;
  EXPECT_EQ(configuracao.getServidoresPermitidos().size(), 2u) << "every line of the key adds";
  EXPECT_EQ(
      configuracao.getAvisos(),
      (std::vector<std::string>{"servidoresPermitidos aparece mais de uma vez em vornaConfig.txt",
                                "servidoresPermitidos aparece mais de uma vez em vornaConfig.txt",
                                "servidoresPermitidos admite todo endereço: \"0.0.0.0/0\""}));
}

TEST(TFileConfiguracao, pastasEModoSomenteLeitura) {
  DiretorioDeTrabalho trabalho;
  escreverArquivo("vornaConfig.txt",
                  "porta=7000\nsomenteLeitura=1\npastasLeitura=/srv/portal/, /nao/existe ,x,\n"
                  "pastasLeitura=/\npastasEscrita=\n");
  TFileConfiguracao configuracao;
  EXPECT_EQ(configuracao.getPorta(), 7000) << "a path holding \"porta\" is no port";
  EXPECT_TRUE(configuracao.getSomenteLeitura());
  EXPECT_TRUE(configuracao.getRestringirLeitura());
  EXPECT_EQ(configuracao.getPastasLeitura(),
            (std::vector<std::string>{"/srv/portal", "/nao/existe", "/"}));
  EXPECT_TRUE(configuracao.getRestringirEscrita()) << "present and empty: nothing is writable";
  EXPECT_TRUE(configuracao.getPastasEscrita().empty());
  EXPECT_TRUE(configuracao.getErros().empty());
  for (const char* aviso : {"pastasLeitura: a pasta \"/nao/existe\" não existe agora",
                            "Valor inválido para pastasLeitura em vornaConfig.txt: \"x\"",
                            "pastasEscrita sem nenhuma pasta válida: nada poderá ser gravado"}) {
    EXPECT_NE(std::find(configuracao.getAvisos().begin(), configuracao.getAvisos().end(), aviso),
              configuracao.getAvisos().end())
        << aviso;
  }
  escreverArquivo("vornaConfig.txt", "somenteLeitura=sim\n");
  EXPECT_EQ(TFileConfiguracao().getErros().size(), 1u);
}

TEST(TFileConfiguracao, enderecosIPv6) {
  for (const char* endereco : {"::", "::1", "2001:db8::5", "::ffff:127.0.0.3"}) {
    DiretorioDeTrabalho trabalho;
    escreverArquivo("vornaConfig.txt", std::string("enderecoEscuta=") + endereco + "\n");
    TFileConfiguracao configuracao;
    EXPECT_TRUE(configuracao.getErros().empty()) << endereco;
    EXPECT_EQ(configuracao.getEnderecoEscuta(), endereco);
  }
  DiretorioDeTrabalho trabalho;
  escreverArquivo("vornaConfig.txt",
                  "servidoresPermitidos=::1, 2001:db8::/129\n"
                  "servidoresPermitidos=::/0\n");
  TFileConfiguracao configuracao;
  ASSERT_EQ(configuracao.getServidoresPermitidos().size(), 2u);
  EXPECT_EQ(configuracao.getServidoresPermitidos()[0].prefixo, 128);
  EXPECT_EQ(configuracao.getAvisos(),
            (std::vector<std::string>{
                "Valor inválido para servidoresPermitidos em vornaConfig.txt: \"2001:db8::/129\"",
                "servidoresPermitidos aparece mais de uma vez em vornaConfig.txt",
                "servidoresPermitidos admite todo endereço IPv6: \"::/0\""}));
}
