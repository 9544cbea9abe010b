// Who may connect to the real agent: the allow-list, the listen address, the
// cap on connections that have not logged in and the failed-login penalty.
// Every 127.x.y.z address is loopback, so each test speaks from addresses
// of its own.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "AgenteProcesso.h"
#include "TCPCliente.h"
#include "TFileUser.h"

namespace {

const int ESPERA_MS = 3000;

// The agent closes a refused connection before reading a byte: nothing is
// sent here, and the close must come on its own.
bool fechadaSemLer(ClienteVorna* cliente) { return cliente->aguardarFechamento(ESPERA_MS); }

bool iniciarCom(AgenteProcesso* agente, const std::string& configuracao) {
  agente->setConfiguracaoExtra(configuracao);
  agente->usarPortaLivre();
  return agente->iniciar();
}

void escreverUsuarios(const AgenteProcesso& agente) {
  escreverArquivo(agente.caminho(TFileUser::ARQUIVO_CONFIG),
                  "[AUTHENTICATION]\nPassword\n[USER]\nbackup = segredo\n");
}

// A login from origem with the given password, and the agent done with it:
// after a refusal the agent closes, and its books are kept by then.
int loginDe(AgenteProcesso* agente, const std::string& origem, const std::string& senha) {
  std::unique_ptr<ClienteVorna> cliente = agente->conectar("127.0.0.1", origem);
  if (!cliente) return ClienteVorna::ERRO_CONEXAO;
  int codigo = cliente->login("backup", senha);
  if (codigo != LOGIN_SUCESSO) cliente->aguardarFechamento(ESPERA_MS);
  return codigo;
}

}  // namespace

TEST(AgenteAcesso, listaDePermitidosFechaOsOutrosAntesDoLogin) {
  AgenteProcesso agente;
  ASSERT_TRUE(iniciarCom(&agente, "servidoresPermitidos=127.0.0.1, 127.0.4.0/24\n"));
  std::unique_ptr<ClienteVorna> estranho = agente.conectar("127.0.0.1", "127.0.0.2");
  ASSERT_TRUE(estranho);
  EXPECT_TRUE(fechadaSemLer(estranho.get()));
  for (const char* origem : {"127.0.0.1", "127.0.4.200"}) {
    std::unique_ptr<ClienteVorna> cliente = agente.conectar("127.0.0.1", origem);
    ASSERT_TRUE(cliente) << origem;
    EXPECT_EQ(cliente->login("", ""), LOGIN_SUCESSO) << origem;
    EXPECT_TRUE(emPasso(cliente.get())) << origem;
  }
  std::unique_ptr<ClienteVorna> vizinho = agente.conectar("127.0.0.1", "127.0.5.1");
  ASSERT_TRUE(vizinho);
  EXPECT_TRUE(fechadaSemLer(vizinho.get())) << "127.0.5.1 is outside 127.0.4.0/24";
  if (!AgenteProcesso::logsGravaveis()) return;
  EXPECT_TRUE(agente.esperarNoLogProcesso(
      "Conexão de 127.0.0.2 recusada: endereço fora de servidoresPermitidos"));
  EXPECT_EQ(agente.logProcesso().find("Cliente ip/host 127.0.0.2"), std::string::npos)
      << "a refused peer is not described as a client";
}

TEST(AgenteAcesso, enderecoDeEscutaAceitaSoNele) {
  AgenteProcesso agente;
  ASSERT_TRUE(iniciarCom(&agente, "enderecoEscuta=127.0.0.3\n"));
  std::unique_ptr<ClienteVorna> nele = agente.conectar("127.0.0.3");
  ASSERT_TRUE(nele);
  EXPECT_EQ(nele->login("", ""), LOGIN_SUCESSO);
  EXPECT_TRUE(emPasso(nele.get()));
  EXPECT_FALSE(agente.conectar("127.0.0.1")) << "nothing listens on 127.0.0.1";
}

TEST(AgenteAcesso, limiteDeConexoesSemLoginNaoAtingeQuemJaEntrou) {
  PastaTemporaria dados;
  escreverArquivo(dados / "a.txt", "conteúdo");
  AgenteProcesso agente;
  ASSERT_TRUE(iniciarCom(&agente, "maxConexoesSemLogin=8\n"));
  std::unique_ptr<ClienteVorna> logado = agente.conectarLogado();
  ASSERT_TRUE(logado);
  std::vector<std::unique_ptr<ClienteVorna>> calados;
  for (int i = 0; i < 10; ++i) {
    calados.push_back(agente.conectar());
    ASSERT_TRUE(calados.back());
  }
  EXPECT_TRUE(fechadaSemLer(calados[8].get()));
  EXPECT_TRUE(fechadaSemLer(calados[9].get()));
  for (int i = 0; i < 8; ++i) EXPECT_FALSE(calados[i]->aguardarFechamento(100)) << i;

  TListaInfoObjectLinux registros;
  EXPECT_TRUE(logado->listar(CMD_AGENTE_LINUX_LIST, dados.caminho(), &registros));
  EXPECT_EQ(registros.size(), 1u);
  std::string conteudo;
  EXPECT_TRUE(logado->buscar(dados / "a.txt", 4, &conteudo));
  EXPECT_EQ(conteudo, "conteúdo");
  EXPECT_TRUE(emPasso(logado.get()));

  calados.clear();
  // The agent frees a slot when it reads the end of a silent connection.
  bool entrou = false;
  for (int tentativa = 0; tentativa < 50 && !entrou; ++tentativa) {
    entrou = agente.conectarLogado() != nullptr;
    if (!entrou) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  EXPECT_TRUE(entrou);
}

TEST(AgenteAcesso, penalidadeFechaQuemErraASenhaEPoupaOsOutros) {
  AgenteProcesso agente;
  escreverUsuarios(agente);
  ASSERT_TRUE(iniciarCom(&agente, "penalidadeLogin=5\n"));
  for (int i = 0; i < 5; ++i) EXPECT_EQ(loginDe(&agente, "127.0.0.5", "errada"), LOGIN_ERRO_SENHA);
  std::unique_ptr<ClienteVorna> sexta = agente.conectar("127.0.0.1", "127.0.0.5");
  ASSERT_TRUE(sexta);
  EXPECT_TRUE(fechadaSemLer(sexta.get())) << "the sixth connection is closed at accept";
  EXPECT_EQ(loginDe(&agente, "127.0.0.1", "segredo"), LOGIN_SUCESSO);
  EXPECT_EQ(loginDe(&agente, "127.0.0.6", "errada"), LOGIN_ERRO_SENHA) << "another address";
  if (!AgenteProcesso::logsGravaveis()) return;
  EXPECT_TRUE(agente.esperarNoLogProcesso(
      "Endereço 127.0.0.5 penalizado por 30 segundos após 5 logins recusados"));
  EXPECT_TRUE(agente.esperarNoLogProcesso(
      "Conexão de 127.0.0.5 recusada: penalidade por logins recusados"));
}

TEST(AgenteAcesso, semAsChavesCadaLoginErradoEhRespondido) {
  AgenteProcesso agente;
  escreverUsuarios(agente);
  ASSERT_TRUE(iniciarCom(&agente, ""));
  for (int i = 0; i < 20; ++i) {
    ASSERT_EQ(loginDe(&agente, "127.0.0.5", "errada"), LOGIN_ERRO_SENHA) << "login " << i;
  }
  EXPECT_EQ(loginDe(&agente, "127.0.0.5", "segredo"), LOGIN_SUCESSO);
}

TEST(AgenteAcesso, valoresRuinsSaoLogadosEOAgenteSegue) {
  AgenteProcesso agente;
  ASSERT_TRUE(iniciarCom(&agente,
                         "enderecoEscuta=127.0.0.999\nservidoresPermitidos=localhost\n"
                         "maxConexoesSemLogin=-3\npenalidadeLogin=muitas\n"));
  ASSERT_TRUE(agente.vivo());
  for (const char* chave :
       {"enderecoEscuta", "servidoresPermitidos", "maxConexoesSemLogin", "penalidadeLogin"}) {
    EXPECT_NE(agente.saida().find(std::string("Valor inválido para ") + chave), std::string::npos)
        << chave;
    if (AgenteProcesso::logsGravaveis()) {
      EXPECT_EQ(contar(agente.logInicio(), std::string("Valor inválido para ") + chave), 1)
          << chave;
    }
  }
  // Listening everywhere, as by default; the list that named nothing valid
  // admits nobody rather than everybody.
  std::unique_ptr<ClienteVorna> cliente = agente.conectar();
  ASSERT_TRUE(cliente);
  EXPECT_TRUE(fechadaSemLer(cliente.get()));
  EXPECT_TRUE(agente.vivo());
}
