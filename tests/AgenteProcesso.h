#ifndef AGENTEPROCESSO_H
#define AGENTEPROCESSO_H

#include <gtest/gtest.h>
#include <sys/types.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "ClienteVorna.h"
#include "Temporario.h"

// The real agent binary, started by a test in a temporary working directory
// on a free loopback port, with its console captured to files. The object
// ends only the process it started, by its pid, and removes that process's
// own log file afterwards.
class AgenteProcesso {
 public:
  AgenteProcesso();
  ~AgenteProcesso();

  // Starts the agent. argumentos follow the program name; argv0 replaces the
  // program name it sees (the binary run is always the one under test).
  // Without porta arguments, the port comes from a vornaConfig.txt written
  // here. Waits until it listens when esperarEscuta is true.
  bool iniciar(const std::vector<std::string>& argumentos = {}, const std::string& argv0 = "",
               bool esperarEscuta = true);
  // Writes the port to listen on into vornaConfig.txt before the start,
  // followed by the extra lines set before.
  void usarPortaLivre();
  void setConfiguracaoExtra(const std::string& linhas) { configuracaoExtra = linhas; }
  // An environment entry ("TZ=UTC0") for the agent.
  void setAmbiente(const std::string& nomeValor) { ambiente.push_back(nomeValor); }
  // Runs the agent as this unprivileged user (its working directory is
  // handed to it); only a root test process can do this.
  void setUsuario(uid_t uid) { usuario = uid; }
  // Runs the agent as root without the capabilities that let it read and
  // search any folder (CAP_DAC_READ_SEARCH, CAP_DAC_OVERRIDE): a folder of
  // mode 0300 is then one it may write into but not read. Root only.
  void tirarLeituraForcada() { semLeituraForcada = true; }
  // Runs the agent in a mount namespace of its own with an empty /proc, so
  // that it cannot name its unnamed files and stores through named
  // temporary ones. Root only.
  void esconderProc() { semProc = true; }

  const std::string& diretorio() const { return pasta.caminho(); }
  std::string caminho(const std::string& nome) const { return pasta / nome; }
  int porta() const { return portaTcp; }
  void setPorta(int p) { portaTcp = p; }
  pid_t pid() const { return processo; }

  // A connection (not yet logged in) to destino from origem (any local
  // address when empty). When there is none it throws std::runtime_error,
  // which ends the test as a failure that names the address.
  std::unique_ptr<ClienteVorna> conectar(const std::string& destino = "127.0.0.1",
                                         const std::string& origem = "");
  // A connection logged in with the default user file; throws the same when
  // there is none or the login is refused.
  std::unique_ptr<ClienteVorna> conectarLogado();
  // For a test that expects no connection: the same as conectar, or null.
  std::unique_ptr<ClienteVorna> tentarConectar(const std::string& destino = "127.0.0.1",
                                               const std::string& origem = "");

  // Sends sinal and waits for the end. The wait status, or -1 on time-out.
  int parar(int sinal);
  // Waits up to ms for the process to end: its wait status, or -1.
  int aguardarFim(int ms);
  bool vivo();

  std::string saida() const;
  std::string erros() const;
  std::string logProcesso() const;
  // What the shared start-up log received since this agent started.
  std::string logInicio() const;
  // Polls the log until it holds trecho (exactly vezes times when vezes is
  // above 0), for up to 10 s. True at once where logs cannot be written here
  // (logsGravaveis), so that a test checks its log lines wherever there are any.
  bool esperarNoLogProcesso(const std::string& trecho, int vezes = 0) const;
  bool esperarNoLogInicio(const std::string& trecho, int vezes = 0) const;
  // Polls the console until it holds trecho, for up to ms.
  bool esperarNaSaida(const std::string& trecho, int ms = 5000) const;

  static int portaLivre();
  static bool escutando(int porta);

 private:
  bool iniciarUmaVez(const std::vector<std::string>& argumentos, const std::string& argv0,
                     bool esperarEscuta);

  PastaTemporaria pasta;
  std::vector<std::string> ambiente;
  std::string configuracaoExtra;
  uid_t usuario = 0;
  bool semLeituraForcada = false;
  bool semProc = false;
  bool portaDoArquivo = false;
  pid_t processo;
  int portaTcp;
  long long tamanhoLogInicioAntes;
  int statusFinal;
  bool terminou;
};

// What a finished program printed and how it ended.
struct TResultadoPrograma {
  int status = -1;  // exit status, or -1 when it did not exit normally in time
  std::string saida;
  std::string erros;
};

// A test with its own agent, in UTC on a free loopback port, and an empty
// folder base in the agent's working directory.
class TesteComAgente : public ::testing::Test {
 protected:
  void SetUp() override {
    agente.setAmbiente("TZ=UTC0");
    agente.usarPortaLivre();
    ASSERT_TRUE(agente.iniciar());
    base = agente.caminho("t");
    std::filesystem::create_directories(base);
  }

  // vornacli run to its end against this agent (its port comes first), in
  // UTC and with the extra environment entries.
  TResultadoPrograma cli(std::vector<std::string> argumentos,
                         std::vector<std::string> ambiente = {});
  // b holds what a holds, byte for byte, but for soEmA (a link at a's top,
  // which a copy skips), and each of its folders and files has the
  // modification second of a's.
  void mesmaArvore(const std::string& a, const std::string& b, const std::string& soEmA = "");

  AgenteProcesso agente;
  std::string base;
};

// The same with a connection logged in.
class TesteComConexao : public TesteComAgente {
 protected:
  void SetUp() override {
    TesteComAgente::SetUp();
    if (!HasFatalFailure()) cliente = agente.conectarLogado();
  }

  std::unique_ptr<ClienteVorna> cliente;
};

// Runs caminho with argumentos (the program name is added) and the extra
// environment entries, waiting at most ms; a program still running then is
// killed by its pid.
TResultadoPrograma executarPrograma(const std::string& caminho,
                                    const std::vector<std::string>& argumentos,
                                    const std::vector<std::string>& ambiente = {}, int ms = 60000);

// Waits until pid ends, at most ms (then kills it by its pid), and reads the
// files its output and errors went to.
TResultadoPrograma aguardarPrograma(pid_t pid, const std::string& saida, const std::string& erros,
                                    int ms = 60000);

// Polls condicao until it holds, for up to ms: whether it did.
bool esperarAte(const std::function<bool()>& condicao, int ms);

// The fields of the first line of the kernel's TCP tables (IPv4, then IPv6)
// whose local port is local and remote port remoto (0 for a listening
// socket); empty when there is none.
std::vector<std::string> linhaTcp(int local, int remoto);

// Whether ::1 can be bound here (false on a machine without IPv6).
bool temIPv6NaLoopback();
// The local port of a connected socket of either family.
int portaLocal(int socket);

// A socket listening on loopback at a port the system picks (in *porta),
// for a fake agent; -1 when it cannot.
int escutarNaLoopback(int* porta);

// Starts caminho with argumentos (the program name is added), its standard
// output and error into the files saida and erros, without waiting: the
// pid, or -1. Safe while other threads of the test run (no fork).
pid_t iniciarPrograma(const std::string& caminho, const std::vector<std::string>& argumentos,
                      const std::string& saida, const std::string& erros);

typedef std::vector<unsigned char> Bytes;
// The next n bytes from the agent (fewer when the connection ends first).
Bytes receber(ClienteVorna* cliente, size_t n);
// The same from any connected socket.
Bytes receber(int socket, size_t n);
// Sends a command code and, when comPedido, a request of the given strings;
// returns the agent's whole reply message, its length included, after the
// acknowledgement (checked).
Bytes respostaBruta(ClienteVorna* cliente, int codigo, const std::vector<std::string>& textos,
                    bool comPedido = true);
// Asks for a store (command 2) of n bytes at caminho in chunks of bloco,
// the acknowledgement checked; the caller sends the data.
void pedirGravacao(ClienteVorna* cliente, const std::string& caminho, int64_t n, int bloco = 4096);
// The bytes of a message holding only the string texto.
Bytes mensagemDeTexto(const std::string& texto);
// The same connection still answers in step: the version reply comes next.
bool emPasso(ClienteVorna* cliente);

#endif
