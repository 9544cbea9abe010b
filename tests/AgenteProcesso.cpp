#include "AgenteProcesso.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <netinet/in.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "Logger.h"
#include "Stream.h"
#include "TCPCliente.h"
#include "TFileUser.h"

namespace {

const std::string LOG_INICIO = Logger().caminhoLog(0);

long long tamanhoArquivo(const std::string& caminho) {
  struct stat st {};
  return stat(caminho.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : 0;
}

// The words as an argv for exec; palavras must outlive it.
std::vector<char*> argv(std::vector<std::string>& palavras) {
  std::vector<char*> v;
  for (std::string& p : palavras) v.push_back(&p[0]);
  v.push_back(nullptr);
  return v;
}

// Starts caminho with standard input from /dev/null, output and errors into
// files, and the extra environment entries ahead of the test's own.
pid_t lancar(const std::string& caminho, const std::vector<std::string>& argumentos,
             const std::string& saida, const std::string& erros,
             std::vector<std::string> ambiente) {
  std::vector<std::string> palavras = {caminho};
  palavras.insert(palavras.end(), argumentos.begin(), argumentos.end());
  for (char** e = environ; *e != nullptr; ++e) ambiente.push_back(*e);
  posix_spawn_file_actions_t acoes;
  posix_spawn_file_actions_init(&acoes);
  posix_spawn_file_actions_addopen(&acoes, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&acoes, 1, saida.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addopen(&acoes, 2, erros.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  pid_t pid;
  int r = posix_spawn(&pid, caminho.c_str(), &acoes, nullptr, argv(palavras).data(),
                      argv(ambiente).data());
  posix_spawn_file_actions_destroy(&acoes);
  return r == 0 ? pid : -1;
}

bool esperarNoLog(const std::function<std::string()>& log, const std::string& trecho, int vezes) {
  if (!logsGravaveis()) return true;
  return esperarAte(
      [&] {
        int n = contar(log(), trecho);
        return vezes > 0 ? n == vezes : n > 0;
      },
      10000);
}

// A socket bound to endereco and porta (0: the system picks), or -1.
int ligar(in_addr_t endereco, int porta) {
  int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  struct sockaddr_in local {};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = htonl(endereco);
  local.sin_port = htons(static_cast<uint16_t>(porta));
  if (bind(s, reinterpret_cast<struct sockaddr*>(&local), sizeof local) == 0) return s;
  close(s);
  return -1;
}

}  // namespace

bool esperarAte(const std::function<bool()>& condicao, int ms) {
  auto limite = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  for (;;) {
    if (condicao()) return true;
    if (std::chrono::steady_clock::now() > limite) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

Bytes receber(ClienteVorna* cliente, size_t n) { return receber(cliente->getSocket(), n); }

Bytes receber(int socket, size_t n) {
  Bytes dados(n);
  size_t lido = 0;
  while (lido < n) {
    ssize_t r = recv(socket, dados.data() + lido, n - lido, 0);
    if (r <= 0) break;
    lido += static_cast<size_t>(r);
  }
  dados.resize(lido);
  return dados;
}

Bytes respostaBruta(ClienteVorna* cliente, int codigo, const std::vector<std::string>& textos,
                    bool comPedido) {
  EXPECT_TRUE(cliente->comando(codigo)) << "command " << codigo;
  if (comPedido) {
    MemoryStream pedido;
    for (const std::string& texto : textos) pedido.addString(texto);
    EXPECT_TRUE(cliente->enviarMensagem(pedido));
  }
  Bytes resposta = receber(cliente, 4);
  if (resposta.size() < 4) return resposta;
  Bytes corpo = receber(cliente, static_cast<size_t>(Stream::ConvertToInt32(resposta.data())));
  resposta.insert(resposta.end(), corpo.begin(), corpo.end());
  return resposta;
}

void pedirGravacao(ClienteVorna* cliente, const std::string& caminho, int64_t n, int bloco) {
  ASSERT_TRUE(cliente->comando(CMD_AGENTE_LINUX_PUT_FILE)) << caminho;
  ASSERT_TRUE(cliente->enviarMensagem(ClienteVorna::pedidoDeGravacao(caminho, bloco, n)));
}

Bytes mensagemDeTexto(const std::string& texto) {
  Bytes b(8 + texto.size(), 0);
  b[3] = static_cast<unsigned char>(4 + texto.size());
  b[4] = static_cast<unsigned char>(texto.size());
  std::copy(texto.begin(), texto.end(), b.begin() + 8);
  return b;
}

bool emPasso(ClienteVorna* cliente) { return cliente->getVersao() == 8; }

AgenteProcesso::AgenteProcesso()
    : processo(-1), portaTcp(0), tamanhoLogInicioAntes(0), statusFinal(0), terminou(false) {}

AgenteProcesso::~AgenteProcesso() {
  if (processo > 0 && !terminou) {
    kill(processo, SIGKILL);
    waitpid(processo, nullptr, 0);
  }
  std::string relatado = erros();
  for (const char* erro :
       {"AddressSanitizer", "runtime error", "LeakSanitizer", "ThreadSanitizer"}) {
    if (relatado.find(erro) != std::string::npos) {
      ADD_FAILURE() << "o agente relatou um erro de memória:\n" << relatado;
      break;
    }
  }
  if (processo > 0) unlink(Logger().caminhoLog(processo).c_str());
}

int escutarNaLoopback(int* porta) {
  int escuta = ligar(INADDR_LOOPBACK, 0);
  struct sockaddr_in local {};
  socklen_t tamanho = sizeof local;
  if (escuta < 0 || listen(escuta, 4) != 0 ||
      getsockname(escuta, reinterpret_cast<struct sockaddr*>(&local), &tamanho) != 0) {
    if (escuta >= 0) close(escuta);
    return -1;
  }
  *porta = ntohs(local.sin_port);
  return escuta;
}

int AgenteProcesso::portaLivre() {
  // Below the ephemeral range, so that no client connection of a test running
  // alongside can be holding the port when the agent binds it.
  int baixo = 32768, alto = 60999;
  std::ifstream faixa("/proc/sys/net/ipv4/ip_local_port_range");
  faixa >> baixo >> alto;
  int inicio = baixo > 12000 ? 10000 : 1024, fim = baixo - 1;
  static std::mt19937 aleatorio(static_cast<unsigned>(getpid()) * 2654435761u ^
                                static_cast<unsigned>(time(nullptr)));
  for (int tentativa = 0; tentativa < 1000; ++tentativa) {
    int porta = inicio + static_cast<int>(aleatorio() % static_cast<unsigned>(fim - inicio + 1));
    int s = ligar(INADDR_ANY, porta);
    if (s >= 0) {
      close(s);
      return porta;
    }
  }
  return 0;
}

std::vector<std::string> linhaTcp(int local, int remoto) {
  char esperado[32];
  std::snprintf(esperado, sizeof esperado, ":%04X :%04X", local & 0xffff, remoto & 0xffff);
  for (const char* caminho : {"/proc/net/tcp", "/proc/net/tcp6"}) {
    std::ifstream tabela(caminho);
    std::string linha;
    while (std::getline(tabela, linha)) {
      std::istringstream texto(linha);
      std::vector<std::string> campos;
      for (std::string campo; texto >> campo;) campos.push_back(campo);
      // Each address is hexadecimal digits, a colon and the port.
      auto porta = [&](size_t i) {
        size_t doisPontos = campos[i].find(':');
        return doisPontos == std::string::npos ? std::string() : campos[i].substr(doisPontos);
      };
      std::string portas = campos.size() > 3 ? porta(1) + " " + porta(2) : "";
      if (portas == esperado) return campos;
    }
  }
  return {};
}

int portaLocal(int socket) {
  struct sockaddr_storage local {};
  socklen_t tamanho = sizeof local;
  getsockname(socket, reinterpret_cast<struct sockaddr*>(&local), &tamanho);
  if (local.ss_family == AF_INET6) {
    return ntohs(reinterpret_cast<struct sockaddr_in6*>(&local)->sin6_port);
  }
  return ntohs(reinterpret_cast<struct sockaddr_in*>(&local)->sin_port);
}

bool temIPv6NaLoopback() {
  int s = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
  struct sockaddr_in6 local {};
  local.sin6_family = AF_INET6;
  local.sin6_addr = in6addr_loopback;
  bool ok = s >= 0 && bind(s, reinterpret_cast<struct sockaddr*>(&local), sizeof local) == 0;
  if (s >= 0) close(s);
  return ok;
}

bool AgenteProcesso::escutando(int porta) {
  // Read the kernel's socket table rather than connecting, so that waiting
  // leaves no connection in the agent's logs.
  std::vector<std::string> campos = linhaTcp(porta, 0);
  return !campos.empty() && campos[3] == "0A";
}

void AgenteProcesso::usarPortaLivre() {
  portaDoArquivo = true;
  portaTcp = portaLivre();
  escreverArquivo(
      caminho("vornaConfig.txt"),
      "porta=" + std::to_string(portaTcp) + "\nquantTentativaDeConexao=10\n" + configuracaoExtra);
}

bool AgenteProcesso::iniciar(const std::vector<std::string>& argumentos, const std::string& argv0,
                             bool esperarEscuta) {
  // A port taken between choosing it and binding it: choose another.
  for (int tentativa = 0; tentativa < 3; ++tentativa) {
    bool ok = iniciarUmaVez(argumentos, argv0, esperarEscuta);
    if (ok || !portaDoArquivo || aguardarFim(0) == -1 ||
        erros().find("Bind Fail()") == std::string::npos) {
      return ok;
    }
    unlink(Logger().caminhoLog(processo).c_str());
    terminou = false;
    usarPortaLivre();
  }
  return false;
}

bool AgenteProcesso::iniciarUmaVez(const std::vector<std::string>& argumentos,
                                   const std::string& argv0, bool esperarEscuta) {
  tamanhoLogInicioAntes = tamanhoArquivo(LOG_INICIO);
  std::vector<std::string> palavras = {argv0.empty() ? AGENTE_BIN : argv0};
  palavras.insert(palavras.end(), argumentos.begin(), argumentos.end());
  std::vector<char*> args = argv(palavras);
  std::string dir = diretorio();
  // A test that wrote no configuration has none to hand over.
  if (usuario != 0 &&
      (chown(dir.c_str(), usuario, usuario) != 0 ||
       (chown(caminho("vornaConfig.txt").c_str(), usuario, usuario) != 0 && errno != ENOENT))) {
    return false;
  }
  // Forked rather than spawned: the child changes its folder and its user.
  int nulo = open("/dev/null", O_RDONLY | O_CLOEXEC);
  int out = open(caminho("saida.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  int err = open(caminho("erros.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  processo = fork();
  if (processo == 0) {
    if (chdir(dir.c_str()) != 0 || dup2(nulo, 0) < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0) {
      _exit(126);
    }
    setenv("PWD", dir.c_str(), 1);
    for (const std::string& entrada : ambiente) putenv(const_cast<char*>(entrada.c_str()));
    if (usuario != 0 &&
        (setgroups(0, nullptr) != 0 || setgid(usuario) != 0 || setuid(usuario) != 0)) {
      _exit(125);
    }
    // Root's capabilities after exec are those left in the bounding set.
    if (semLeituraForcada && (prctl(PR_CAPBSET_DROP, CAP_DAC_READ_SEARCH, 0, 0, 0) != 0 ||
                              prctl(PR_CAPBSET_DROP, CAP_DAC_OVERRIDE, 0, 0, 0) != 0)) {
      _exit(124);
    }
    if (semProc && (unshare(CLONE_NEWNS) != 0 ||
                    mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
                    mount("vazio", "/proc", "tmpfs", 0, nullptr) != 0)) {
      _exit(123);
    }
    execv(AGENTE_BIN, args.data());
    _exit(127);
  }
  for (int fd : {nulo, out, err}) close(fd);
  if (processo < 0) return false;
  return !esperarEscuta ||
         (esperarAte([this] { return escutando(portaTcp) || !vivo(); }, 10000) && vivo());
}

std::unique_ptr<ClienteVorna> AgenteProcesso::tentarConectar(const std::string& destino,
                                                             const std::string& origem) {
  std::unique_ptr<ClienteVorna> cliente(new ClienteVorna());
  if (!cliente->conectar(destino, portaTcp, origem)) return nullptr;
  cliente->setTempoLimite(10000);
  return cliente;
}

// Thrown rather than asserted: an assertion would return from here only,
// and the test would go on with a null connection.
std::unique_ptr<ClienteVorna> AgenteProcesso::conectar(const std::string& destino,
                                                       const std::string& origem) {
  std::unique_ptr<ClienteVorna> cliente = tentarConectar(destino, origem);
  if (!cliente) {
    throw std::runtime_error("no connection to " + destino + " port " + std::to_string(portaTcp) +
                             (origem.empty() ? "" : " from " + origem));
  }
  return cliente;
}

std::unique_ptr<ClienteVorna> AgenteProcesso::conectarLogado() {
  std::unique_ptr<ClienteVorna> cliente = conectar();
  int codigo = cliente->login("", "");
  if (codigo != LOGIN_SUCESSO) throw std::runtime_error("login refused: " + std::to_string(codigo));
  return cliente;
}

int AgenteProcesso::aguardarFim(int ms) {
  if (!terminou) {
    esperarAte([this] { return terminou = waitpid(processo, &statusFinal, WNOHANG) == processo; },
               ms);
  }
  return terminou ? statusFinal : -1;
}

int AgenteProcesso::parar(int sinal) {
  if (!terminou) kill(processo, sinal);
  return aguardarFim(10000);
}

bool AgenteProcesso::vivo() { return aguardarFim(0) == -1; }

std::string AgenteProcesso::saida() const { return lerArquivo(pasta / "saida.txt"); }

std::string AgenteProcesso::erros() const { return lerArquivo(pasta / "erros.txt"); }

std::string AgenteProcesso::logProcesso() const {
  std::string tudo = lerArquivo(Logger().caminhoLog(processo));
  // An agent that ran earlier with the same pid may have left its lines
  // there: this one's start with the line that names its pid.
  size_t inicio = tudo.rfind(" PID " + std::to_string(processo) + "\n");
  size_t linha = inicio == std::string::npos ? std::string::npos : tudo.rfind('\n', inicio);
  return linha == std::string::npos ? tudo : tudo.substr(linha + 1);
}

std::string AgenteProcesso::logInicio() const {
  std::string tudo = lerArquivo(LOG_INICIO);
  return static_cast<long long>(tudo.size()) > tamanhoLogInicioAntes
             ? tudo.substr(static_cast<size_t>(tamanhoLogInicioAntes))
             : std::string();
}

bool AgenteProcesso::esperarNoLogProcesso(const std::string& trecho, int vezes) const {
  return esperarNoLog([this] { return logProcesso(); }, trecho, vezes);
}

bool AgenteProcesso::esperarNoLogInicio(const std::string& trecho, int vezes) const {
  return esperarNoLog([this] { return logInicio(); }, trecho, vezes);
}

bool AgenteProcesso::esperarNaSaida(const std::string& trecho, int ms) const {
  return esperarAte([&] { return saida().find(trecho) != std::string::npos; }, ms);
}

TResultadoPrograma TesteComAgente::cli(std::vector<std::string> argumentos,
                                       std::vector<std::string> ambiente) {
  argumentos.insert(argumentos.begin(), {"-p", std::to_string(agente.porta())});
  ambiente.push_back("TZ=UTC0");
  return executarPrograma(VORNACLI_BIN, argumentos, ambiente);
}

void TesteComAgente::mesmaArvore(const std::string& a, const std::string& b,
                                 const std::string& soEmA) {
  TResultadoPrograma diff = executarPrograma("/usr/bin/diff", {"-r", "--no-dereference", a, b});
  EXPECT_EQ(diff.saida, soEmA.empty() ? "" : "Only in " + a + ": " + soEmA + "\n");
  EXPECT_EQ(diff.status, soEmA.empty() ? 0 : 1) << diff.erros;
  EXPECT_EQ(estado(b).st_mtime, estado(a).st_mtime) << b;
  for (const auto& entrada : std::filesystem::recursive_directory_iterator(a)) {
    if (entrada.is_symlink() || !(entrada.is_regular_file() || entrada.is_directory())) continue;
    std::string outro = b + "/" + std::filesystem::relative(entrada.path(), a).string();
    EXPECT_EQ(estado(outro).st_mtime, estado(entrada.path()).st_mtime) << outro;
  }
}

pid_t iniciarPrograma(const std::string& caminho, const std::vector<std::string>& argumentos,
                      const std::string& saida, const std::string& erros) {
  return lancar(caminho, argumentos, saida, erros, {});
}

TResultadoPrograma aguardarPrograma(pid_t pid, const std::string& saida, const std::string& erros,
                                    int ms) {
  TResultadoPrograma resultado;
  int status = 0;
  if (!esperarAte([&] { return waitpid(pid, &status, WNOHANG) == pid; }, ms)) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
  } else if (WIFEXITED(status)) {
    resultado.status = WEXITSTATUS(status);
  }
  resultado.saida = lerArquivo(saida);
  resultado.erros = lerArquivo(erros);
  return resultado;
}

TResultadoPrograma executarPrograma(const std::string& caminho,
                                    const std::vector<std::string>& argumentos,
                                    const std::vector<std::string>& ambiente, int ms) {
  PastaTemporaria pasta;
  pid_t pid = lancar(caminho, argumentos, pasta / "saida", pasta / "erros", ambiente);
  if (pid < 0) return TResultadoPrograma();
  return aguardarPrograma(pid, pasta / "saida", pasta / "erros", ms);
}
