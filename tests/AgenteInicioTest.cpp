// Start-up, configuration, console and log lines, and signals of the real
// agent process.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <sstream>

#include "AgenteProcesso.h"
#include "TCPCliente.h"

namespace {

// Whether texto has linha as a whole line of its own.
bool temLinha(const std::string& texto, const std::string& linha) {
  return ("\n" + texto).find("\n" + linha + "\n") != std::string::npos;
}

// log with the time stamp ("7-12-2026 9:05:03 ") taken off each line; a
// line without one is marked.
std::string semDatas(const std::string& log) {
  std::string resto, linha;
  std::istringstream linhas(log);
  while (std::getline(linhas, linha)) {
    int d, m, a, h, mi, s, n = -1;
    if (std::sscanf(linha.c_str(), "%d-%d-%d %d:%d:%d%n", &d, &m, &a, &h, &mi, &s, &n) != 6 ||
        n < 0 || linha[n] != ' ') {
      resto += "(no time stamp) ";
      n = -1;
    }
    resto += linha.substr(n + 1) + "\n";
  }
  return resto;
}

// Whether log has these messages, each a whole line after its time stamp, in
// this order (other agents may write lines between them).
bool emOrdem(const std::string& log, const std::vector<std::string>& mensagens) {
  std::string linhas = "\n" + semDatas(log);
  size_t p = 0;
  for (const std::string& mensagem : mensagens) {
    p = linhas.find("\n" + mensagem + "\n", p);
    if (p == std::string::npos) return false;
    p += mensagem.size() + 1;
  }
  return true;
}

int statusDeSaida(int status) { return WIFEXITED(status) ? WEXITSTATUS(status) : -1; }

}  // namespace

TEST(AgenteInicio, semConfiguracaoUsaPadroesEAnunciaSeuInicio) {
  if (AgenteProcesso::escutando(9999)) GTEST_SKIP() << "a porta 9999 já está em uso aqui";
  AgenteProcesso agente;
  agente.setPorta(9999);
  ASSERT_TRUE(agente.iniciar());
  EXPECT_EQ(lerArquivo(agente.caminho("vornaConfig.txt")),
            "porta=9999\nquantTentativaDeConexao=10\n");
  std::string esperado = "diretorio " + agente.diretorio() +
                         "\nCaminho do executavel = " + AGENTE_BIN +
                         "\nPorta utilizada 9999\nVersão 8\nAplicação é 64 bits \n" + "PID " +
                         std::to_string(agente.pid()) + "\nouvindo porta \n";
  EXPECT_EQ(agente.saida(), esperado);

  if (!logsGravaveis()) return;
  EXPECT_TRUE(
      emOrdem(agente.logInicio(), {std::string("Caminho do executável ") + AGENTE_BIN,
                                   "Porta utilizada 9999", "Versão 8", "Aplicação é 64 bits "}));
  EXPECT_EQ(semDatas(agente.logProcesso()),
            "PID " + std::to_string(agente.pid()) + "\nIniciando servidor de conexão\n")
      << agente.logProcesso();
}

TEST(AgenteInicio, portaDoArquivoDoArgumentoEDosDezesseisBitsBaixos) {
  {
    AgenteProcesso agente;
    agente.usarPortaLivre();  // the file names one port, the argument another
    int doArgumento = AgenteProcesso::portaLivre();
    agente.setPorta(doArgumento);
    ASSERT_TRUE(agente.iniciar({std::to_string(doArgumento) + "abc"}));
    auto cliente = agente.conectarLogado();
    EXPECT_EQ(cliente->getVersao(), 8);
  }
  {
    AgenteProcesso agente;
    ASSERT_TRUE(agente.iniciar({"xyz"}, "", false));
    EXPECT_TRUE(agente.esperarNaSaida("ouvindo porta "));
    EXPECT_TRUE(temLinha(agente.saida(), "Porta utilizada 0")) << agente.saida();
  }
  if (!AgenteProcesso::escutando(4464)) {
    AgenteProcesso agente;
    agente.setPorta(4464);
    ASSERT_TRUE(agente.iniciar({"70000"}));
    EXPECT_TRUE(temLinha(agente.saida(), "Porta utilizada 70000")) << agente.saida();
    auto cliente = agente.conectarLogado();
    EXPECT_EQ(cliente->getVersao(), 8);
  }
}

TEST(AgenteInicio, portaOcupadaTerminaComStatusUm) {
  int porta = 0;
  int ocupante = escutarNaLoopback(&porta);
  ASSERT_GE(ocupante, 0);
  AgenteProcesso agente;
  ASSERT_TRUE(agente.iniciar({std::to_string(porta)}, "", false));
  int status = agente.aguardarFim(10000);
  close(ocupante);
  EXPECT_EQ(statusDeSaida(status), 1);
  EXPECT_NE(agente.erros().find("Bind Fail(): Address already in use"), std::string::npos)
      << agente.erros();
  EXPECT_TRUE(agente.esperarNoLogProcesso(" Bind Fail\n"));
}

TEST(AgenteInicio, reinicioLogoAposFecharUmaConexaoLigaNaHora) {
  AgenteProcesso primeiro;
  primeiro.usarPortaLivre();
  ASSERT_TRUE(primeiro.iniciar());
  {
    auto cliente = primeiro.conectarLogado();
    // The agent closes first, so its side of the port waits out the close.
    ASSERT_TRUE(cliente->enviarInt(CMD_AGENTE_LINUX_DISCONET));
    ASSERT_TRUE(cliente->aguardarFechamento(5000));
  }
  ASSERT_EQ(statusDeSaida(primeiro.parar(SIGTERM)), SIGTERM);
  AgenteProcesso segundo;
  ASSERT_TRUE(segundo.iniciar({std::to_string(primeiro.porta())}, "", false));
  segundo.setPorta(primeiro.porta());
  EXPECT_TRUE(esperarAte([&] { return AgenteProcesso::escutando(primeiro.porta()); }, 5000))
      << segundo.erros();
  EXPECT_TRUE(segundo.vivo());
}

TEST(AgenteInicio, avisaOSystemdQuandoEstaProntoOQueFazEQuandoPara) {
  PastaTemporaria pasta;
  std::string caminho = pasta / "notificar";
  int escuta = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  struct sockaddr_un endereco {};
  endereco.sun_family = AF_UNIX;
  std::snprintf(endereco.sun_path, sizeof endereco.sun_path, "%s", caminho.c_str());
  ASSERT_EQ(bind(escuta, reinterpret_cast<struct sockaddr*>(&endereco), sizeof endereco), 0);
  struct timeval espera = {10, 0};
  setsockopt(escuta, SOL_SOCKET, SO_RCVTIMEO, &espera, sizeof espera);
  // The next datagram that holds trecho, or empty after ten seconds of none.
  auto aviso = [&](const std::string& trecho) {
    char texto[512];
    for (ssize_t n; (n = recv(escuta, texto, sizeof texto, 0)) > 0;) {
      std::string recebido(texto, static_cast<size_t>(n));
      if (recebido.find(trecho) != std::string::npos) return recebido;
    }
    return std::string();
  };
  AgenteProcesso agente;
  agente.setAmbiente("NOTIFY_SOCKET=" + caminho);
  agente.usarPortaLivre();
  ASSERT_TRUE(agente.iniciar());
  EXPECT_EQ(aviso("READY=1"),
            "READY=1\nSTATUS=0 conexões abertas, 0 com login; 0 bytes enviados, 0 recebidos");
  auto cliente = agente.conectarLogado();
  ASSERT_EQ(cliente->getVersao(), 8);
  // The login (8 + 4 bytes) and the version request (4) in; 4 + 4 + 4 out.
  EXPECT_EQ(aviso("STATUS=1 "),
            "STATUS=1 conexões abertas, 1 com login; 12 bytes enviados, 16 recebidos");
  ASSERT_EQ(statusDeSaida(agente.parar(SIGTERM)), SIGTERM);
  EXPECT_EQ(aviso("STOPPING=1"), "STOPPING=1");
  close(escuta);
}

TEST(AgenteInicio, caminhoENomeDoExecutavelVemDaPrimeiraPalavra) {
  struct Caso {
    std::string argv0;
    std::string caminho;  // relative to the working directory when it starts with "/"
  };
  const Caso casos[] = {
      {"./AgenteLinuxVorna", "@/AgenteLinuxVorna"},
      {"@/AgenteLinuxVorna", "@/AgenteLinuxVorna"},
      {"AgenteLinuxVorna", "AgenteLinuxVorna"},
      {"/usr@/agente", "@/usr/agente"},
      {"/opt/outro/agente", "/opt/outro/agente"},
      {"/opt/a\n1-1-2000 0:0:0 FORJADA\x1b"
       "b",
       "/opt/a\\n1-1-2000 0:0:0 FORJADA\\x1bb"},
  };
  for (const Caso& caso : casos) {
    AgenteProcesso agente;
    auto trocar = [&](std::string texto) {
      size_t p = texto.find('@');
      if (p != std::string::npos) texto.replace(p, 1, agente.diretorio());
      return texto;
    };
    agente.usarPortaLivre();
    ASSERT_TRUE(agente.iniciar({}, trocar(caso.argv0)));
    EXPECT_TRUE(temLinha(agente.saida(), "diretorio " + agente.diretorio())) << agente.saida();
    EXPECT_TRUE(temLinha(agente.saida(), "Caminho do executavel = " + trocar(caso.caminho)))
        << caso.argv0 << ": " << agente.saida();
  }
}

TEST(AgenteSinais, cadaSinalTerminaComSeuNumeroOuSegue) {
  // Handled signals end the agent with their number as the status, after
  // their lines; SIGUSR1 keeps its default action.
  for (int sinal : {SIGTERM, SIGCONT, SIGINT, SIGUSR1}) {
    AgenteProcesso agente;
    agente.usarPortaLivre();
    ASSERT_TRUE(agente.iniciar());
    int status = agente.parar(sinal);
    ASSERT_NE(status, -1) << sinal;
    if (sinal == SIGUSR1) {
      EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGUSR1);
      continue;
    }
    EXPECT_EQ(statusDeSaida(status), sinal);
    EXPECT_NE(agente.saida().find("\nSignal number " + std::to_string(sinal) + "\n"),
              std::string::npos);
    if (logsGravaveis()) {
      EXPECT_TRUE(emOrdem(agente.logInicio(),
                          {"Signal chamando " + std::to_string(sinal), "Saindo do programa"}));
    }
  }
}

TEST(AgenteSinais, sigpipeESigsegvEnviadosNaoTerminam) {
  AgenteProcesso agente;
  agente.usarPortaLivre();
  ASSERT_TRUE(agente.iniciar());
  kill(agente.pid(), SIGPIPE);
  EXPECT_TRUE(agente.esperarNaSaida("Signal number 13\n"));
  kill(agente.pid(), SIGSEGV);
  EXPECT_TRUE(agente.esperarNaSaida("Signal number 11\n"));
  auto cliente = agente.conectarLogado();
  EXPECT_TRUE(emPasso(cliente.get()));
  EXPECT_TRUE(agente.esperarNoLogInicio("Signal chamando 13\n"));
  EXPECT_TRUE(agente.esperarNoLogInicio("Signal chamando 11\n"));
}
