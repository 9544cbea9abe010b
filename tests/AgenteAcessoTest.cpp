// Who may connect to the real agent: the allow-list, the listen address, the
// cap on connections that have not logged in and the failed-login penalty.
// Every 127.x.y.z address is loopback, so each test speaks from addresses
// of its own; ::1 is the only IPv6 one.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
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

const char* const SEM_IPV6 = "::1 cannot be bound here: no IPv6";

// A login from origem with the given password, and the agent done with it:
// after a refusal the agent closes, and its books are kept by then.
int loginDe(AgenteProcesso* agente, const std::string& origem, const std::string& senha,
            const std::string& destino = "127.0.0.1") {
  std::unique_ptr<ClienteVorna> cliente = agente->conectar(destino, origem);
  int codigo = cliente->login("backup", senha);
  if (codigo != LOGIN_SUCESSO) cliente->aguardarFechamento(ESPERA_MS);
  return codigo;
}

// An agent listening on endereco serves there, and nothing listens on
// 127.0.0.1.
void escutarSoEm(const std::string& endereco) {
  AgenteProcesso agente;
  ASSERT_TRUE(iniciarCom(&agente, "enderecoEscuta=" + endereco + "\n"));
  std::unique_ptr<ClienteVorna> nele = agente.conectar(endereco);
  EXPECT_EQ(nele->login("", ""), LOGIN_SUCESSO);
  EXPECT_TRUE(emPasso(nele.get()));
  EXPECT_FALSE(agente.tentarConectar("127.0.0.1")) << "nothing listens on 127.0.0.1";
}

// A logged-in connection lists dados, fetches its one file, stores
// another and is still in step.
void listarBuscarEGravar(ClienteVorna* cliente, const PastaTemporaria& dados) {
  escreverArquivo(dados / "a.txt", "conteúdo");
  TListaInfoObjectLinux registros;
  EXPECT_TRUE(cliente->listar(CMD_AGENTE_LINUX_LIST, dados.caminho(), &registros));
  EXPECT_EQ(registros.size(), 1u);
  std::string conteudo;
  EXPECT_TRUE(cliente->buscar(dados / "a.txt", 4, &conteudo));
  EXPECT_EQ(conteudo, "conteúdo");
  EXPECT_TRUE(cliente->gravar(dados / "b.txt", 3, "gravado", 7));
  EXPECT_EQ(lerArquivo(dados / "b.txt"), "gravado");
  EXPECT_TRUE(emPasso(cliente));
}

}  // namespace

TEST(AgenteAcesso, listaDePermitidosFechaOsOutrosAntesDoLogin) {
  AgenteProcesso agente;
  ASSERT_TRUE(iniciarCom(&agente, "servidoresPermitidos=127.0.0.1, 127.0.4.0/24\n"));
  std::unique_ptr<ClienteVorna> estranho = agente.conectar("127.0.0.1", "127.0.0.2");
  EXPECT_TRUE(fechadaSemLer(estranho.get()));
  for (const char* origem : {"127.0.0.1", "127.0.4.200"}) {
    std::unique_ptr<ClienteVorna> cliente = agente.conectar("127.0.0.1", origem);
    EXPECT_EQ(cliente->login("", ""), LOGIN_SUCESSO) << origem;
    EXPECT_TRUE(emPasso(cliente.get())) << origem;
  }
  std::unique_ptr<ClienteVorna> vizinho = agente.conectar("127.0.0.1", "127.0.5.1");
  EXPECT_TRUE(fechadaSemLer(vizinho.get())) << "127.0.5.1 is outside 127.0.4.0/24";
  EXPECT_TRUE(agente.esperarNoLogProcesso(
      "Conexão de 127.0.0.2 recusada: endereço fora de servidoresPermitidos"));
  EXPECT_EQ(agente.logProcesso().find("Cliente ip/host 127.0.0.2"), std::string::npos)
      << "a refused peer is not described as a client";
}

TEST(AgenteAcesso, enderecoDeEscutaAceitaSoNele) { escutarSoEm("127.0.0.3"); }

TEST(AgenteAcesso, limiteDeConexoesSemLoginNaoAtingeQuemJaEntrou) {
  PastaTemporaria dados;
  AgenteProcesso agente;
  ASSERT_TRUE(iniciarCom(&agente, "maxConexoesSemLogin=8\n"));
  std::unique_ptr<ClienteVorna> logado = agente.conectarLogado();
  std::vector<std::unique_ptr<ClienteVorna>> calados;
  for (int i = 0; i < 10; ++i) calados.push_back(agente.conectar());
  EXPECT_TRUE(fechadaSemLer(calados[8].get()));
  EXPECT_TRUE(fechadaSemLer(calados[9].get()));
  for (int i = 0; i < 8; ++i) EXPECT_FALSE(calados[i]->aguardarFechamento(100)) << i;

  listarBuscarEGravar(logado.get(), dados);

  calados.clear();
  // The agent frees a slot when it reads the end of a silent connection.
  bool entrou = false;
  for (int tentativa = 0; tentativa < 50 && !entrou; ++tentativa) {
    std::unique_ptr<ClienteVorna> cliente = agente.tentarConectar();
    entrou = cliente && cliente->login("", "") == LOGIN_SUCESSO;
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
  EXPECT_TRUE(fechadaSemLer(sexta.get())) << "the sixth connection is closed at accept";
  EXPECT_EQ(loginDe(&agente, "127.0.0.1", "segredo"), LOGIN_SUCESSO);
  EXPECT_EQ(loginDe(&agente, "127.0.0.6", "errada"), LOGIN_ERRO_SENHA) << "another address";
  EXPECT_TRUE(agente.esperarNoLogProcesso(
      "Endereço 127.0.0.5 penalizado por 30 segundos após 5 logins recusados"));
  EXPECT_TRUE(agente.esperarNoLogProcesso(
      "Conexão de 127.0.0.5 recusada: penalidade por logins recusados"));
}

TEST(AgenteAcesso, semAsChavesCadaLoginErradoEhRespondido) {
  AgenteProcesso agente;
  escreverUsuarios(agente);
  ASSERT_TRUE(iniciarCom(&agente, ""));
  char escuta[32];
  std::snprintf(escuta, sizeof escuta, "00000000:%04X", agente.porta());
  EXPECT_EQ(linhaTcp(agente.porta(), 0).at(1), escuta) << "an IPv4 socket on 0.0.0.0, as always";
  for (int i = 0; i < 20; ++i) {
    ASSERT_EQ(loginDe(&agente, "127.0.0.5", "errada"), LOGIN_ERRO_SENHA) << "login " << i;
  }
  EXPECT_EQ(loginDe(&agente, "127.0.0.5", "segredo"), LOGIN_SUCESSO);
}

TEST(AgenteAcesso, valorRuimImpedeOInicioEListaVaziaNaoAdmiteNinguem) {
  AgenteProcesso ruim;
  ASSERT_TRUE(iniciarCom(&ruim, "enderecoEscuta=localhost\n") || !ruim.vivo());
  int status = ruim.aguardarFim(10000);
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), 1)
      << "a name where an address belongs must not open every address";
  EXPECT_NE(
      ruim.saida().find("Valor inválido para enderecoEscuta em vornaConfig.txt: \"localhost\""),
      std::string::npos)
      << ruim.saida();
  EXPECT_TRUE(ruim.esperarNoLogInicio("Valor inválido para enderecoEscuta", 1));
  for (const char* lista : {"servidoresPermitidos=,\n",
                            "servidoresPermitidos=10.9.9.9\n"
                            "servidoresPermitidos=\n"}) {
    AgenteProcesso agente;
    ASSERT_TRUE(iniciarCom(&agente, lista)) << lista;
    std::unique_ptr<ClienteVorna> cliente = agente.conectar();
    EXPECT_TRUE(fechadaSemLer(cliente.get())) << lista << "admits nobody, not everybody";
  }
}

TEST(AgenteAcesso, umEnderecoNaoSeguraAPortaDosOutros) {
  AgenteProcesso agente;
  ASSERT_TRUE(iniciarCom(&agente, "maxConexoesSemLogin=6\nmaxSemLoginPorEndereco=2\n"));
  std::vector<std::unique_ptr<ClienteVorna>> calados;
  for (int i = 0; i < 4; ++i) calados.push_back(agente.conectar("127.0.0.1", "127.0.0.7"));
  EXPECT_TRUE(fechadaSemLer(calados[2].get()));
  EXPECT_TRUE(fechadaSemLer(calados[3].get()));
  std::unique_ptr<ClienteVorna> servidor = agente.conectar("127.0.0.1", "127.0.0.8");
  EXPECT_EQ(servidor->login("", ""), LOGIN_SUCESSO) << "the real server still gets in";
  EXPECT_TRUE(agente.esperarNoLogProcesso(
      "Conexão de 127.0.0.7 recusada: 2 conexões deste endereço ainda sem login "
      "(maxSemLoginPorEndereco)"));
}

TEST(AgenteAcesso, penalidadeValeParaConexoesJaAbertasELoginRecusadoEhLogado) {
  if (!logsGravaveis()) GTEST_SKIP() << "the agent's log tells what it accepted";
  AgenteProcesso agente;
  escreverUsuarios(agente);
  ASSERT_TRUE(iniciarCom(&agente, "penalidadeLogin=2\n"));
  std::vector<std::unique_ptr<ClienteVorna>> abertas;
  for (int i = 0; i < 10; ++i) abertas.push_back(agente.conectar("127.0.0.1", "127.0.0.9"));
  // Accepted and admitted, not only waiting in the kernel's queue.
  ASSERT_TRUE(esperarAte(
      [&] { return contar(agente.logProcesso(), "Nova Thread iniciada handle ") == 10; }, 10000));
  EXPECT_EQ(abertas[0]->login("backup", "errada"), LOGIN_ERRO_SENHA);
  EXPECT_EQ(abertas[1]->login("intruso\n", "x"), LOGIN_ERRO_USUARIO);
  EXPECT_TRUE(abertas[1]->aguardarFechamento(ESPERA_MS));
  for (size_t i = 2; i < abertas.size(); ++i) {
    EXPECT_EQ(abertas[i]->login("backup", "segredo"), +ClienteVorna::ERRO_CONEXAO)
        << "connection " << i << " opened before the penalty is closed without an answer";
  }
  EXPECT_EQ(loginDe(&agente, "127.0.0.10", "segredo"), LOGIN_SUCESSO);
  EXPECT_TRUE(
      agente.esperarNoLogProcesso("Login recusado de 127.0.0.9: usuário \"backup\", código -2"));
  EXPECT_TRUE(agente.esperarNoLogProcesso(
      "Login recusado de 127.0.0.9: usuário \"intruso\\n\", código -1"));
  EXPECT_TRUE(agente.esperarNoLogProcesso(
      "Login de 127.0.0.9 encerrado sem resposta: penalidade por logins recusados"));
  EXPECT_TRUE(agente.esperarNoLogProcesso(
      "Endereço 127.0.0.9 penalizado por 60 segundos após 2 logins recusados"))
      << "the closed logins still count: the penalty doubles\n"
      << agente.logProcesso();
}

TEST(AgenteAcesso, sobreIPv6ListaBuscaGravaEEntra) {
  if (!temIPv6NaLoopback()) GTEST_SKIP() << SEM_IPV6;
  PastaTemporaria dados;
  AgenteProcesso agente;
  escreverUsuarios(agente);
  ASSERT_TRUE(iniciarCom(&agente, "enderecoEscuta=::\n"));
  EXPECT_EQ(loginDe(&agente, "", "errada", "::1"), LOGIN_ERRO_SENHA);
  std::unique_ptr<ClienteVorna> cliente = agente.conectar("[::1]");
  int porta = portaLocal(cliente->getSocket());
  ASSERT_EQ(cliente->login("backup", "segredo"), LOGIN_SUCESSO);
  listarBuscarEGravar(cliente.get(), dados);
  TResultadoPrograma vornacli = executarPrograma(
      VORNACLI_BIN, {"-H", "::1", "-p", std::to_string(agente.porta()), "-u", "backup", "version"},
      {"VORNA_PASSWORD=segredo"});
  EXPECT_EQ(vornacli.saida, "8\n") << vornacli.erros;
  std::unique_ptr<ClienteVorna> peloNome = agente.conectar("localhost");  // of either family
  EXPECT_EQ(peloNome->login("backup", "segredo"), LOGIN_SUCESSO);
  EXPECT_TRUE(agente.esperarNaSaida("Cliente ip/Host:::1 porta:" + std::to_string(porta) + "\n"))
      << agente.saida();
  EXPECT_TRUE(
      agente.esperarNoLogProcesso(" Cliente ip/host ::1 porta " + std::to_string(porta) + "\n"));
  EXPECT_TRUE(
      agente.esperarNoLogProcesso(" Login recusado de ::1: usuário \"backup\", código -2\n"));
}

TEST(AgenteAcesso, socketDuploGuardaOIPv4ByteAByteEPenalizaOIPv6PorSeu64) {
  if (!temIPv6NaLoopback()) GTEST_SKIP() << SEM_IPV6;
  AgenteProcesso agente;
  escreverUsuarios(agente);
  ASSERT_TRUE(iniciarCom(&agente,
                         "enderecoEscuta=::\nservidoresPermitidos=::/64, 127.0.0.16/30\n"
                         "penalidadeLogin=2\n"));
  std::unique_ptr<ClienteVorna> fora = agente.conectar("127.0.0.1", "127.0.0.20");
  EXPECT_TRUE(fechadaSemLer(fora.get()));
  for (const char* origem : {"127.0.0.17", "::1"}) {
    std::string destino = origem[0] == ':' ? "::1" : "127.0.0.1";
    for (int i = 0; i < 2; ++i) {
      EXPECT_EQ(loginDe(&agente, origem, "errada", destino), LOGIN_ERRO_SENHA) << origem;
    }
    std::unique_ptr<ClienteVorna> terceira = agente.conectar(destino, origem);
    EXPECT_TRUE(fechadaSemLer(terceira.get())) << origem << " is under its penalty";
  }
  std::unique_ptr<ClienteVorna> outro = agente.conectar("127.0.0.1", "127.0.0.18");
  int porta = portaLocal(outro->getSocket());
  EXPECT_EQ(outro->login("backup", "segredo"), LOGIN_SUCESSO) << "other addresses are left alone";
  std::string cliente = "Cliente ip/host 127.0.0.18 porta " + std::to_string(porta) + "\n";
  EXPECT_TRUE(
      agente.esperarNaSaida("Cliente ip/Host:127.0.0.18 porta:" + std::to_string(porta) + "\n"));
  EXPECT_TRUE(agente.esperarNoLogProcesso(" " + cliente));
  for (const char* linha :
       {" Conexão de 127.0.0.20 recusada: endereço fora de servidoresPermitidos\n",
        " Login recusado de 127.0.0.17: usuário \"backup\", código -2\n",
        " Endereço 127.0.0.17 penalizado por 30 segundos após 2 logins recusados\n",
        " Conexão de 127.0.0.17 recusada: penalidade por logins recusados, mais ",
        " Endereço ::/64 penalizado por 30 segundos após 2 logins recusados\n",
        " Conexão de ::1 recusada: penalidade por logins recusados, mais "}) {
    EXPECT_TRUE(agente.esperarNoLogProcesso(linha)) << linha << agente.logProcesso();
  }
  EXPECT_EQ(agente.logProcesso().find("::ffff:"), std::string::npos)
      << "an IPv4 peer is written as IPv4";
  EXPECT_EQ(agente.saida().find("::ffff:"), std::string::npos);
}

TEST(AgenteAcesso, enderecoDeEscutaIPv6SoNele) {
  if (!temIPv6NaLoopback()) GTEST_SKIP() << SEM_IPV6;
  escutarSoEm("::1");
}
