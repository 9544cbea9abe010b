// The agent on the wire: login, command loop, framing and hostile peers.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>
#include <vector>

#include "AgenteProcesso.h"
#include "TCPCliente.h"
#include "TFileUser.h"

namespace {

void enviar(ClienteVorna* cliente, const Bytes& dados) {
  ASSERT_TRUE(cliente->enviarBytes(dados.data(), dados.size()));
}

class AgenteProtocolo : public ::testing::Test {
 protected:
  void SetUp() override {
    agente.usarPortaLivre();
    ASSERT_TRUE(agente.iniciar());
  }

  // The agent is still up and serves a new connection.
  void verificarQueSegueServindo() {
    ASSERT_TRUE(agente.vivo());
    auto cliente = agente.conectarLogado();
    EXPECT_TRUE(emPasso(cliente.get()));
  }

  AgenteProcesso agente;
};

// Hostile surroundings: silent peers, peers that vanish. The agent must serve
// everyone else.
class AgenteFalhas : public AgenteProtocolo {
 protected:
  void SetUp() override {
    agente.setAmbiente("VORNA_PRAZO_LOGIN=1");
    AgenteProtocolo::SetUp();
  }
};

const Bytes LOGIN_VAZIO = {0, 0, 0, 8, 0, 0, 0, 0, 0, 0, 0, 0};
const Bytes VERSAO = {0x00, 0x0e, 0xeb, 0x71, 0x00, 0x00, 0x00, 0x08};

}  // namespace

TEST_F(AgenteProtocolo, versaoECancelamentoByteAByteEmVariosSegmentos) {
  EXPECT_NE(access(agente.caminho(TFileUser::ARQUIVO_CONFIG).c_str(), F_OK), 0);
  auto cliente = agente.conectar();
  // The login a byte at a time, a command code in two segments.
  for (unsigned char byte : LOGIN_VAZIO) {
    enviar(cliente.get(), {byte});
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_EQ(receber(cliente.get(), 4), (Bytes{0, 0, 0, 0}));
  // The default user file, written at the first connection.
  std::string usuarios = lerArquivo(agente.caminho(TFileUser::ARQUIVO_CONFIG));
  EXPECT_EQ(usuarios.size(), 1162u);
  EXPECT_EQ(usuarios.rfind(std::string(60, '#') + "\n", 0), 0u);
  EXPECT_NE(usuarios.find("\n#um usuário  seguido de \" = \", que é o delimitador de      #\n"),
            std::string::npos);
  std::string fim = "############\n[AUTHENTICATION]\nNone\n[USER]\n#tarvel = \n";
  EXPECT_EQ(usuarios.substr(usuarios.size() - fim.size()), fim);
  enviar(cliente.get(), {0, 0});
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  enviar(cliente.get(), {0, 3});
  EXPECT_EQ(receber(cliente.get(), 8), VERSAO);
  enviar(cliente.get(), {0, 0, 0, 9});
  EXPECT_EQ(receber(cliente.get(), 4), (Bytes{0x00, 0x0e, 0xeb, 0x71}));
  // Nothing else followed the cancel: the next reply is the version's.
  enviar(cliente.get(), {0, 0, 0, 3});
  EXPECT_EQ(receber(cliente.get(), 8), VERSAO);

  EXPECT_TRUE(agente.esperarNoLogProcesso(" CMD_AGENTE_LINUX_GET_VERSION\n"));
  EXPECT_TRUE(agente.esperarNoLogInicio(" CMD_AGENTE_LINUX_CANCELAR_TRANFERENCIA_ARQUIVO\n"));
  EXPECT_EQ(agente.logProcesso().find("CANCELAR"), std::string::npos);
}

TEST_F(AgenteProtocolo, codigoNaoServidoEncerraSemResposta) {
  // -1 and the codes no command serves.
  for (int codigo : {-1, 17, 19, 21, -2, 1000, 977777}) {
    auto cliente = agente.conectarLogado();
    ASSERT_TRUE(cliente->enviarInt(codigo));
    EXPECT_TRUE(cliente->aguardarFechamento(5000)) << codigo;
  }
  // A server that closes between commands ends the same way.
  {
    auto cliente = agente.conectarLogado();
    cliente->encerrarEnvio();
    EXPECT_TRUE(cliente->aguardarFechamento(5000));
  }
  EXPECT_TRUE(agente.esperarNaSaida("comando default\n"));
  EXPECT_EQ(contar(agente.saida(), "comando default\n"), 8);
  if (logsGravaveis()) {
    ASSERT_TRUE(agente.esperarNoLogProcesso("Finalizando uma conexão "));
    std::string log = agente.logProcesso();
    size_t nenhum = log.find(" nenhum comando valído\n");
    ASSERT_NE(nenhum, std::string::npos);
    EXPECT_NE(log.find(" Finalizando uma conexão ", nenhum), std::string::npos);
    EXPECT_EQ(contar(log, " nenhum comando valído\n"), 8);
  }
  verificarQueSegueServindo();
}

TEST_F(AgenteProtocolo, loginComSenhaRecusaEEncerra) {
  escreverArquivo(agente.caminho(TFileUser::ARQUIVO_CONFIG),
                  "[AUTHENTICATION]\nPassword\n[USER]\ntarvel = Tarvel\n");
  {
    auto cliente = agente.conectar();
    EXPECT_EQ(cliente->login("tarvel", "Tarvel"), LOGIN_SUCESSO);
    EXPECT_TRUE(emPasso(cliente.get()));
  }
  struct Recusa {
    std::string usuario;
    std::string senha;
    Bytes resposta;
  };
  using namespace std::string_literals;
  for (const Recusa& recusa : {Recusa{"tarvel", "errada", {0xff, 0xff, 0xff, 0xfe}},
                               Recusa{"outro", "Tarvel", {0xff, 0xff, 0xff, 0xff}},
                               Recusa{"", "", {0xff, 0xff, 0xff, 0xff}},
                               // Cut at the zero byte each would pass for the right one.
                               Recusa{"tarvel\0x"s, "Tarvel", {0xff, 0xff, 0xff, 0xff}},
                               Recusa{"tarvel", "Tarvel\0x"s, {0xff, 0xff, 0xff, 0xff}}}) {
    auto cliente = agente.conectar();
    MemoryStream mensagem;
    mensagem.addString(recusa.usuario);
    mensagem.addString(recusa.senha);
    ASSERT_TRUE(cliente->enviarMensagem(mensagem));
    EXPECT_EQ(receber(cliente.get(), 4), recusa.resposta) << recusa.usuario;
    // No command is read: the version request goes unanswered and the
    // connection ends.
    cliente->enviarInt(CMD_AGENTE_LINUX_GET_VERSION);
    EXPECT_TRUE(cliente->aguardarFechamento(5000));
  }
  // Only the admitted connection ever reached the command loop.
  EXPECT_TRUE(agente.esperarNaSaida("comando default"));
  EXPECT_EQ(contar(agente.saida(), "comando default"), 1);
}

TEST_F(AgenteProtocolo, mensagensDeLoginMalformadasNaoDerrubamOAgente) {
  const std::vector<Bytes> ataques = {
      {0xff, 0xff, 0xff, 0xff},                                // negative length
      {0x80, 0x00, 0x00, 0x00},                                // most negative length
      {0x7f, 0xff, 0xff, 0xff, 1, 2, 3},                       // 2 GiB announced
      {0x01, 0x00, 0x00, 0x01},                                // 16 MiB + 1
      {0x00, 0x01, 0x00, 0x01, 0, 0, 0, 0},                    // 64 KiB + 1: too long for a login
      {0x00, 0x00, 0x00, 0x64, 0, 0, 0, 0, 1},                 // body cut short
      {0x00, 0x00, 0x00, 0x08, 0xe8, 0x03, 0, 0, 1, 2, 3, 4},  // string past the body
      {0x00, 0x00, 0x00, 0x08, 0xff, 0xff, 0xff, 0xff, 1, 2, 3, 4},  // negative string
      {0x00, 0x00, 0x00, 0x04, 0, 0, 0, 0},                          // no password field
      {0x00, 0x00},                                                  // length cut short
      {},                                                            // connect and close at once
  };
  for (const Bytes& ataque : ataques) {
    auto cliente = agente.conectar();
    if (!ataque.empty()) enviar(cliente.get(), ataque);
    cliente->encerrarEnvio();
    EXPECT_TRUE(cliente->aguardarFechamento(5000));
  }
  verificarQueSegueServindo();
  if (logsGravaveis()) {
    EXPECT_TRUE(agente.esperarNoLogProcesso("Cliente ip/host 127.0.0.1 porta "));
    EXPECT_GE(contar(agente.logProcesso(), " Nova Thread iniciada handle "), 12);
  }
}

TEST_F(AgenteProtocolo, cinquentaConexoesListandoAoMesmoTempoNoFusoDoSistema) {
  // The machine's own time zone (a zone file, unlike the tests' TZ=UTC0) and
  // files an hour apart each: many connections converting times at once.
  std::string arvore = agente.caminho("arvore");
  std::filesystem::create_directories(arvore);
  for (int i = 0; i < 400; ++i) {
    escreverArquivo(arvore + "/f" + std::to_string(i), "x");
    tocar(arvore + "/f" + std::to_string(i), 1600000000 + i * 3600L);
  }
  const int QUANTAS = 50;
  std::vector<std::unique_ptr<ClienteVorna>> clientes;
  for (int i = 0; i < QUANTAS; ++i) clientes.push_back(agente.conectar());
  // All connected before any logs in: each must have its own thread.
  std::atomic<int> certas{0};
  std::vector<std::thread> threads;
  for (auto& cliente : clientes) {
    threads.emplace_back([&certas, c = cliente.get(), arvore] {
      if (c->login("", "") != LOGIN_SUCESSO) return;
      for (int vez = 0; vez < 5; ++vez) {
        TListaInfoObjectLinux lista;
        if (!c->listar(CMD_AGENTE_LINUX_LIST_ALL_FILES, arvore, &lista) || lista.size() != 400) {
          return;
        }
      }
      if (emPasso(c)) ++certas;
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(certas.load(), QUANTAS);
  EXPECT_TRUE(agente.esperarNoLogProcesso(" Nova Thread iniciada handle ", QUANTAS));
}

TEST_F(AgenteFalhas, loginQueNaoChegaNoPrazoEncerraAConexao) {
  auto calado = agente.conectar();
  auto metade = agente.conectar();
  ASSERT_TRUE(metade->enviarBytes("\0\0\0\x08\0\0", 6));
  // Someone else logs in meanwhile, and stays idle longer than the deadline:
  // after the login there is no time-out.
  auto ativo = agente.conectarLogado();
  EXPECT_TRUE(calado->aguardarFechamento(5000));
  EXPECT_TRUE(metade->aguardarFechamento(5000));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(ativo->getVersao(), 8);
  EXPECT_TRUE(agente.esperarNoLogProcesso(" Login não concluído em 1 segundos, conexão ", 2));
}

TEST_F(AgenteFalhas, mensagemPelaMetadeNaoAtrapalhaOsOutrosEHaKeepAlive) {
  std::string pasta = agente.caminho("p");
  std::filesystem::create_directories(pasta);
  escreverArquivo(pasta + "/a", "a");
  auto parado = agente.conectarLogado();
  // The timer field ("tr") of the agent's side: 2 when keep-alive probes are scheduled.
  std::vector<std::string> lado = linhaTcp(agente.porta(), portaLocal(parado->getSocket()));
  ASSERT_GT(lado.size(), 5u);
  EXPECT_EQ(lado[5].substr(0, 2), "02");
  ASSERT_TRUE(parado->comando(CMD_AGENTE_LINUX_LIST_ALL_FILES));
  ASSERT_TRUE(parado->enviarBytes("\0\0\0\x64\x05\0\0\0/tmp", 12));
  auto outro = agente.conectarLogado();
  TListaInfoObjectLinux lista;
  ASSERT_TRUE(outro->listar(CMD_AGENTE_LINUX_LIST_ALL_FILES, pasta, &lista));
  EXPECT_EQ(lista.size(), 1u);
  EXPECT_TRUE(emPasso(outro.get()));
}

TEST_F(AgenteFalhas, pedidoAcimaDoLimiteEncerraUmaVezSemSigpipe) {
  // Code 8 answers its failures itself; code 5 leaves them to the loop.
  for (int codigo : {8, 5}) {
    auto cliente = agente.conectarLogado();
    ASSERT_TRUE(cliente->comando(codigo));
    enviar(cliente.get(), {0x7f, 0xff, 0xff, 0xff, 1, 2, 3});
    EXPECT_TRUE(cliente->aguardarFechamento(5000)) << codigo;
  }
  verificarQueSegueServindo();
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(agente.saida().find("Signal number"), std::string::npos) << agente.saida();
  // Once the healthy connection's end is in, so are the refusals' lines: each once.
  EXPECT_TRUE(agente.esperarNoLogProcesso(" nenhum comando valído\n", 1))
      << "only the last, healthy connection";
  for (const char* linha : {" ExistsFileOrFolder - Motivo:", " Pedido recusado - Motivo:"}) {
    EXPECT_TRUE(agente.esperarNoLogProcesso(
        linha + std::string("tamanho de mensagem inválido: 2147483647\n"), 1));
  }
}

TEST_F(AgenteFalhas, respostasDePedidosAdiantadosChegamTodasAntesDoFim) {
  // Replies of requests sent ahead go out gathered: none may be left behind
  // when the connection ends right after them, stopped by a refused request
  // or by the end of the peer's writing.
  const int PEDIDOS = 20000;  // more than the agent reads at once
  Bytes pedidos, esperado;
  for (int i = 0; i < PEDIDOS; ++i) {
    pedidos.insert(pedidos.end(), {0, 0, 0, 3});
    esperado.insert(esperado.end(), VERSAO.begin(), VERSAO.end());
  }
  for (bool recusado : {true, false}) {
    auto cliente = agente.conectarLogado();
    Bytes b = pedidos, respostas = esperado;
    if (recusado) {
      // Code 5 is acknowledged before its request is read.
      b.insert(b.end(), {0, 0, 0, 5, 0x7f, 0xff, 0xff, 0xff});
      respostas.insert(respostas.end(), VERSAO.begin(), VERSAO.begin() + 4);
    }
    enviar(cliente.get(), b);
    if (!recusado) {
      ASSERT_EQ(shutdown(cliente->getSocket(), SHUT_WR), 0);
    }
    EXPECT_EQ(receber(cliente.get(), respostas.size()), respostas) << recusado;
    EXPECT_TRUE(cliente->aguardarFechamento(5000)) << recusado;
  }
}

TEST_F(AgenteFalhas, parQueSomeNoMeioDaRespostaOuDaBuscaNaoDerrubaOAgente) {
  std::string arquivo = agente.caminho("grande");
  escreverArquivo(arquivo, std::string(64 * 1024 * 1024, 'g'));
  // Many requests, or a fetch begun, then a reset: the agent's replies hit a dead socket.
  for (int rodada = 0; rodada < 8; ++rodada) {
    auto cliente = agente.conectarLogado();
    if (rodada < 5) {
      Bytes pedidos;
      for (int i = 0; i < 20000; ++i) pedidos.insert(pedidos.end(), {0, 0, 0, 3});
      enviar(cliente.get(), pedidos);
    } else {
      ASSERT_GT(cliente->iniciarBusca(arquivo, 4096), 0);
      int contagem;
      std::vector<unsigned char> dados;
      ASSERT_TRUE(cliente->lerBloco(&contagem, &dados));
    }
    struct linger abrupto = {1, 0};
    setsockopt(cliente->getSocket(), SOL_SOCKET, SO_LINGER, &abrupto, sizeof abrupto);
    cliente->fechar();
  }
  // Each of the eight ended, before anyone else connected: given a minute,
  // as a traced agent logs its 100,000 version lines slowly.
  EXPECT_TRUE(esperarAte(
      [&] { return agente.esperarNoLogProcesso(" Finalizando uma conexão ", 8); }, 60000));
  verificarQueSegueServindo();
}
