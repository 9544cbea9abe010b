// Timed exchanges with an agent, and the plain loopback pair they are
// measured against. Each mode prints the seconds it took on one line.
//
//   vornabench list PORT DIR            every file below DIR (command 5)
//   vornabench list-raw PORT DIR [OUT]  the same reply taken as bytes, not parsed
//                                       into records (written to OUT if given)
//   vornabench du PORT DIR              DIR's total size (command 4)
//   vornabench get PORT FILE CHUNK      fetch FILE into /dev/null (command 1)
//   vornabench put PORT LOCAL REMOTE CHUNK   store LOCAL as REMOTE (command 2)
//   vornabench many PORT DIR N          N connections at once, each listing DIR
//   vornabench logins PORT N            N connections one after the other, each
//                                       logging in, asking the version and closing
//   vornabench seq PORT DIR N           one connection listing DIR N times
//   vornabench pair-get FILE BUF        FILE over loopback TCP into /dev/null
//   vornabench pair-put FILE OUT BUF    FILE over loopback TCP into OUT, fsync'd
//   vornabench load PORT DIR FILE N     N connections at once, half listing DIR,
//                                       half fetching FILE; every reply checked
//   vornabench stall PORT FILE CHUNK N  N connections each asking to fetch FILE in
//                                       chunks of CHUNK and never reading; prints
//                                       "ready" and holds them until a signal ends it
//   vornabench run CMD [ARGS...]        CMD with its output thrown away
//   vornabench free-port                a loopback port nobody listens on now
//   vornabench wait PORT                until an agent answers there (10 s at most)
//
// The agent is reached at 127.0.0.1, or at VORNA_BENCH_HOST when set (::1).
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "ClienteVorna.h"
#include "TCPCliente.h"
#include "TFileUser.h"
#include "TTransferenciaArquivo.h"
#include "TUtils.h"

namespace {

double agora() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

[[noreturn]] void falhar(const std::string& motivo) {
  std::fprintf(stderr, "vornabench: %s\n", motivo.c_str());
  std::exit(1);
}

std::string hostDoAgente() {
  const char* host = std::getenv("VORNA_BENCH_HOST");
  return host != nullptr && *host != '\0' ? host : "127.0.0.1";
}

void conectar(ClienteVorna* cliente, int porta) {
  if (!cliente->conectar(hostDoAgente(), porta)) falhar("cannot connect");
  cliente->setTempoLimite(600000);
  if (cliente->login("", "") != LOGIN_SUCESSO) falhar("login refused");
}

long listar(ClienteVorna* cliente, const std::string& pasta) {
  TListaInfoObjectLinux lista;
  if (!cliente->listar(CMD_AGENTE_LINUX_LIST_ALL_FILES, pasta, &lista)) falhar("listing failed");
  return static_cast<long>(lista.size());
}

// The plain pair: one process reads the file and writes the socket, the
// other reads the socket and writes the destination.
double par(const std::string& origem, const std::string& destino, size_t tamanhoBuffer,
           bool sincronizar) {
  int escuta = socket(AF_INET, SOCK_STREAM, 0);
  struct sockaddr_in local;
  std::memset(&local, 0, sizeof local);
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t tamanho = sizeof local;
  if (bind(escuta, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
      listen(escuta, 1) != 0) {
    falhar("pair: cannot listen");
  }
  getsockname(escuta, reinterpret_cast<sockaddr*>(&local), &tamanho);
  double inicio = agora();
  // The sender is a process of its own, as the agent is.
  pid_t remetente = fork();
  if (remetente == 0) {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    if (connect(s, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) _exit(1);
    int fd = open(origem.c_str(), O_RDONLY);
    // Page-aligned, as the agent's: the pair must not be handicapped.
    TAreaAlinhada buffer = alocarAlinhado(tamanhoBuffer);
    for (ssize_t n; (n = read(fd, buffer.get(), tamanhoBuffer)) > 0;) {
      if (enviarTudo(s, buffer.get(), static_cast<size_t>(n)) < 0) _exit(1);
    }
    _exit(0);
  }
  int s = accept(escuta, nullptr, nullptr);
  int fd = open(destino.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  TAreaAlinhada buffer = alocarAlinhado(tamanhoBuffer);
  for (ssize_t n; (n = read(s, buffer.get(), tamanhoBuffer)) > 0;) {
    if (write(fd, buffer.get(), static_cast<size_t>(n)) != n) falhar("pair: file write");
  }
  if (sincronizar) fsync(fd);
  close(fd);
  close(s);
  int status = 0;
  waitpid(remetente, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) falhar("pair: the sender failed");
  close(escuta);
  return agora() - inicio;
}

}  // namespace

int main(int argc, char* argv[]) {
  if (argc < 2) falhar("see the source for the modes");
  std::string modo = argv[1];
  if (modo == "run") {
    double inicio = agora();
    pid_t filho = fork();
    if (filho == 0) {
      int nulo = open("/dev/null", O_WRONLY);
      dup2(nulo, 1);
      execvp(argv[2], argv + 2);
      _exit(127);
    }
    int status = 0;
    waitpid(filho, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) falhar(std::string(argv[2]) + " failed");
    std::printf("%.6f\n", agora() - inicio);
    return 0;
  }
  if (modo == "free-port") {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in local;
    std::memset(&local, 0, sizeof local);
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t tamanho = sizeof local;
    bind(s, reinterpret_cast<sockaddr*>(&local), sizeof local);
    getsockname(s, reinterpret_cast<sockaddr*>(&local), &tamanho);
    std::printf("%d\n", ntohs(local.sin_port));
    close(s);
    return 0;
  }
  auto arg = [&](int i) -> std::string {
    if (i >= argc) falhar("missing argument for " + modo);
    return argv[i];
  };
  if (modo == "pair-get") {
    std::printf("%.6f\n", par(arg(2), "/dev/null", std::stoul(arg(3)), false));
    return 0;
  }
  if (modo == "pair-put") {
    std::printf("%.6f\n", par(arg(2), arg(3), std::stoul(arg(4)), true));
    return 0;
  }
  int porta = std::atoi(arg(2).c_str());
  if (modo == "wait") {
    for (int i = 0; i < 1000; ++i) {
      ClienteVorna cliente;
      if (cliente.conectar(hostDoAgente(), porta) && cliente.login("", "") == LOGIN_SUCESSO &&
          cliente.getVersao() == 8) {
        return 0;
      }
      usleep(10000);
    }
    falhar("no agent answered");
  }
  if (modo == "list-raw") {
    ClienteVorna cliente;
    conectar(&cliente, porta);
    double inicio = agora();
    MemoryStream resposta;
    if (!cliente.consultar(CMD_AGENTE_LINUX_LIST_ALL_FILES, {arg(3)}, &resposta) ||
        resposta.readIntFromMemoryStream() < 0) {
      falhar("listing failed");
    }
    double segundos = agora() - inicio;
    if (argc > 4) {
      FILE* saida = std::fopen(argv[4], "wb");
      if (saida == nullptr || std::fwrite(resposta.getBuffer(), 1, resposta.getSize(), saida) !=
                                  static_cast<size_t>(resposta.getSize())) {
        falhar("cannot write the reply");
      }
      std::fclose(saida);
    }
    std::printf("%.6f\n", segundos);
    return 0;
  }
  if (modo == "list" || modo == "du") {
    ClienteVorna cliente;
    conectar(&cliente, porta);
    double inicio = agora();
    if (modo == "list") {
      listar(&cliente, arg(3));
    } else {
      int64_t total;
      if (!cliente.perguntarTamanho(CMD_AGENTE_LINUX_GET_SIZE_DIR, arg(3), &total)) falhar("du");
    }
    std::printf("%.6f\n", agora() - inicio);
  } else if (modo == "get" || modo == "put") {
    ClienteVorna cliente;
    conectar(&cliente, porta);
    std::string erro;
    int64_t tamanho;
    double inicio = agora();
    if (modo == "get") {
      int nulo = open("/dev/null", O_WRONLY);
      if (!TTransferenciaArquivo(&cliente).buscarParaDescritor(arg(3), std::atoi(arg(4).c_str()),
                                                               nulo, &tamanho, nullptr, &erro)) {
        falhar("get: " + erro);
      }
      close(nulo);
    } else {
      int fd = open(arg(3).c_str(), O_RDONLY);
      struct stat st {};
      fstat(fd, &st);
      if (!TTransferenciaArquivo(&cliente).gravarDeDescritor(arg(4), std::atoi(arg(5).c_str()), fd,
                                                             st.st_size, nullptr, &erro)) {
        falhar("put: " + erro);
      }
      close(fd);
    }
    std::printf("%.6f\n", agora() - inicio);
  } else if (modo == "load") {
    std::string pasta = arg(3), arquivo = arg(4);
    int n = std::atoi(arg(5).c_str());
    struct rlimit limite {};
    getrlimit(RLIMIT_NOFILE, &limite);
    limite.rlim_cur = limite.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limite);
    ClienteVorna referencia;
    conectar(&referencia, porta);
    long esperado = listar(&referencia, pasta);
    std::string conteudo;
    // A first fetch in one large chunk: its buffer is the largest the agent frees.
    if (!referencia.buscar(arquivo, 4 << 20, &conteudo)) falhar("load: reference fetch");
    std::vector<std::unique_ptr<ClienteVorna>> clientes;
    for (int i = 0; i < n; ++i) {
      clientes.emplace_back(new ClienteVorna());
      conectar(clientes.back().get(), porta);
    }
    std::atomic<int> listas{0}, buscas{0};
    double inicio = agora();
    std::vector<std::thread> threads;
    for (int i = 0; i < n; ++i) {
      threads.emplace_back([&, i, c = clientes[i].get()] {
        if (i % 2 == 0) {
          listas += listar(c, pasta) == esperado;
        } else {
          std::string recebido;
          buscas += c->buscar(arquivo, 65536, &recebido) && recebido == conteudo;
        }
      });
    }
    for (auto& t : threads) t.join();
    double tempo = agora() - inicio;
    std::printf("%d connections: %d/%d listings and %d/%d fetches right in %.3f s\n", n,
                listas.load(), (n + 1) / 2, buscas.load(), n / 2, tempo);
    if (listas + buscas != n) return 1;
  } else if (modo == "stall") {
    int bloco = std::atoi(arg(4).c_str()), n = std::atoi(arg(5).c_str());
    std::vector<std::unique_ptr<ClienteVorna>> clientes;
    for (int i = 0; i < n; ++i) {
      clientes.emplace_back(new ClienteVorna());
      conectar(clientes.back().get(), porta);
      if (clientes.back()->iniciarBusca(arg(3), bloco) <= 0) falhar("stall: no file to fetch");
    }
    std::printf("ready\n");
    std::fflush(stdout);
    for (;;) pause();  // until a signal ends it
  } else if (modo == "logins") {
    int n = std::atoi(arg(3).c_str());
    double inicio = agora();
    for (int i = 0; i < n; ++i) {
      ClienteVorna cliente;
      conectar(&cliente, porta);
      if (cliente.getVersao() != 8) falhar("logins: no version");
    }
    std::printf("%.6f\n", agora() - inicio);
  } else if (modo == "many" || modo == "seq") {
    std::string pasta = arg(3);
    int n = std::atoi(arg(4).c_str());
    ClienteVorna referencia;
    conectar(&referencia, porta);
    long esperado = listar(&referencia, pasta);
    std::atomic<int> certos{0};
    double inicio = agora();
    if (modo == "seq") {
      for (int i = 0; i < n; ++i) certos += listar(&referencia, pasta) == esperado;
    } else {
      std::vector<std::unique_ptr<ClienteVorna>> clientes;
      for (int i = 0; i < n; ++i) {
        clientes.emplace_back(new ClienteVorna());
        conectar(clientes.back().get(), porta);
      }
      std::vector<std::thread> threads;
      for (auto& c : clientes) {
        threads.emplace_back([&, c = c.get()] { certos += listar(c, pasta) == esperado; });
      }
      for (auto& t : threads) t.join();
    }
    double tempo = agora() - inicio;
    if (certos != n) falhar("only " + std::to_string(certos.load()) + " replies were right");
    std::printf("%.6f\n", tempo);
  } else {
    falhar("unknown mode " + modo);
  }
  return 0;
}
