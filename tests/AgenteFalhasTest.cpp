// Hostile and failing surroundings: silent peers, peers that vanish, a full
// file system, unreadable files. The agent must serve everyone else.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "AgenteProcesso.h"
#include "TCPCliente.h"
#include "TFileUser.h"

namespace {

namespace fs = std::filesystem;

class AgenteFalhas : public ::testing::Test {
 protected:
  void SetUp() override {
    agente.setAmbiente("VORNA_PRAZO_LOGIN=1");
    agente.usarPortaLivre();
    ASSERT_TRUE(agente.iniciar());
  }

  void segueServindo() {
    auto cliente = agente.conectarLogado();
    ASSERT_TRUE(cliente);
    EXPECT_EQ(cliente->getVersao(), 8);
  }

  AgenteProcesso agente;
};

int portaLocal(int socket) {
  struct sockaddr_in local {};
  socklen_t tamanho = sizeof local;
  getsockname(socket, reinterpret_cast<struct sockaddr*>(&local), &tamanho);
  return ntohs(local.sin_port);
}

// The timer field ("tr") of the agent's side of a connection in the kernel's
// table: 2 when keep-alive probes are scheduled.
std::string temporizadorDoAgente(int portaAgente, int portaCliente) {
  char local[16], remoto[16];
  std::snprintf(local, sizeof local, ":%04X", portaAgente);
  std::snprintf(remoto, sizeof remoto, ":%04X", portaCliente);
  std::ifstream tabela("/proc/net/tcp");
  std::string linha;
  while (std::getline(tabela, linha)) {
    std::istringstream campos(linha);
    std::string sl, l, r, estado, filas, temporizador;
    campos >> sl >> l >> r >> estado >> filas >> temporizador;
    if (l.size() > 5 && r.size() > 5 && l.substr(l.size() - 5) == local &&
        r.substr(r.size() - 5) == remoto) {
      return temporizador.substr(0, 2);
    }
  }
  return "";
}

}  // namespace

TEST_F(AgenteFalhas, loginQueNaoChegaNoPrazoEncerraAConexao) {
  auto calado = agente.conectar();
  auto metade = agente.conectar();
  ASSERT_TRUE(calado && metade);
  ASSERT_TRUE(metade->enviarBytes("\0\0\0\x08\0\0", 6));
  // Someone else logs in meanwhile, and stays idle longer than the deadline:
  // after the login there is no time-out.
  auto ativo = agente.conectarLogado();
  ASSERT_TRUE(ativo);
  EXPECT_TRUE(calado->aguardarFechamento(5000));
  EXPECT_TRUE(metade->aguardarFechamento(5000));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(ativo->getVersao(), 8);
  if (AgenteProcesso::logsGravaveis()) {
    EXPECT_EQ(contar(agente.logProcesso(), " Login não concluído em 1 segundos, conexão "), 2);
  }
}

TEST_F(AgenteFalhas, conexoesTemKeepAlive) {
  auto cliente = agente.conectarLogado();
  ASSERT_TRUE(cliente);
  EXPECT_EQ(temporizadorDoAgente(agente.porta(), portaLocal(cliente->getSocket())), "02");
}

TEST_F(AgenteFalhas, mensagemPelaMetadeNaoAtrapalhaOsOutros) {
  std::string pasta = agente.caminho("p");
  fs::create_directories(pasta);
  escreverArquivo(pasta + "/a", "a");
  auto parado = agente.conectarLogado();
  ASSERT_TRUE(parado);
  ASSERT_TRUE(parado->comando(CMD_AGENTE_LINUX_LIST_ALL_FILES));
  ASSERT_TRUE(parado->enviarBytes("\0\0\0\x64\x05\0\0\0/tmp", 12));
  auto outro = agente.conectarLogado();
  ASSERT_TRUE(outro);
  TListaInfoObjectLinux lista;
  ASSERT_TRUE(outro->listar(CMD_AGENTE_LINUX_LIST_ALL_FILES, pasta, &lista));
  EXPECT_EQ(lista.size(), 1u);
  EXPECT_EQ(outro->getVersao(), 8);
}

TEST_F(AgenteFalhas, servidorQueSomeNoMeioDaBusca) {
  std::string arquivo = agente.caminho("grande");
  escreverArquivo(arquivo, std::string(64 * 1024 * 1024, 'g'));
  for (int vez = 0; vez < 3; ++vez) {
    auto cliente = agente.conectarLogado();
    ASSERT_TRUE(cliente);
    ASSERT_GT(cliente->iniciarBusca(arquivo, 4096), 0);
    int contagem;
    std::vector<unsigned char> dados;
    ASSERT_TRUE(cliente->lerBloco(&contagem, &dados));
    struct linger abrupto = {1, 0};
    setsockopt(cliente->getSocket(), SOL_SOCKET, SO_LINGER, &abrupto, sizeof abrupto);
    cliente->fechar();
  }
  segueServindo();
  if (AgenteProcesso::logsGravaveis()) {
    EXPECT_TRUE(agente.esperarNoLogProcesso("Finalizando uma conexão "));
  }
}

TEST_F(AgenteFalhas, gravarNumDiscoCheioMantemOAntigo) {
  if (geteuid() != 0) GTEST_SKIP() << "mounting a small file system needs root";
  std::string pequeno = agente.caminho("pequeno");
  fs::create_directories(pequeno);
  if (mount("tmpfs", pequeno.c_str(), "tmpfs", 0, "size=1m") != 0) {
    GTEST_SKIP() << "cannot mount a tmpfs here";
  }
  escreverArquivo(pequeno + "/antigo", "o que havia");
  std::string grande(3 * 1024 * 1024, 'n');
  auto cliente = agente.conectarLogado();
  ASSERT_TRUE(cliente);
  EXPECT_TRUE(cliente->gravar(pequeno + "/antigo", 65536, grande.data(), grande.size()));
  EXPECT_EQ(cliente->getVersao(), 8) << "the stream stays in step";
  EXPECT_EQ(lerArquivo(pequeno + "/antigo"), "o que havia");
  EXPECT_EQ(std::distance(fs::directory_iterator(pequeno), fs::directory_iterator()), 1);
  if (AgenteProcesso::logsGravaveis()) {
    EXPECT_TRUE(agente.esperarNoLogProcesso("Falha ao gravar o arquivo " + pequeno +
                                            "/antigo - Motivo:No space left on device"));
  }
  umount2(pequeno.c_str(), MNT_DETACH);
}

TEST(AgenteArquivosIlegiveis, configuracaoEUsuariosQueNaoSeLeem) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to start the agent as another user";
  {
    // A folder where the configuration should be: the defaults, nothing breaks.
    AgenteProcesso agente;
    fs::create_directories(agente.caminho("vornaConfig.txt"));
    int porta = AgenteProcesso::portaLivre();
    agente.setPorta(porta);
    ASSERT_TRUE(agente.iniciar({std::to_string(porta)}));
    auto cliente = agente.conectarLogado();
    ASSERT_TRUE(cliente);
    EXPECT_EQ(cliente->getVersao(), 8);
  }
  {
    // Files the agent's user may not read: the port of the file is not seen,
    // and nobody may log in.
    AgenteProcesso agente;
    escreverArquivo(agente.caminho("vornaConfig.txt"), "porta=1\n");
    chmod(agente.caminho("vornaConfig.txt").c_str(), 0600);
    escreverArquivo(agente.caminho(TFileUser::ARQUIVO_CONFIG), TFileUser::conteudoPadrao());
    chmod(agente.caminho(TFileUser::ARQUIVO_CONFIG).c_str(), 0600);
    int porta = AgenteProcesso::portaLivre();
    agente.setPorta(porta);
    agente.setUsuario(65534);
    ASSERT_TRUE(agente.iniciar({std::to_string(porta)}));
    auto cliente = agente.conectar();
    ASSERT_TRUE(cliente);
    EXPECT_EQ(cliente->login("", ""), LOGIN_ERRO_USUARIO);
    EXPECT_TRUE(cliente->aguardarFechamento(5000));
  }
}
