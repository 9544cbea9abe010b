#include "Servidor.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "TControleAcesso.h"
#include "TEnderecoIP.h"
#include "TUtils.h"

Servidor::Servidor(int _porta, const std::string& _endereco, int pidPrincipal)
    : socketHandle(-1),
      porta(_porta),
      endereco(_endereco),
      PID(pidPrincipal),
      controleAcesso(nullptr) {
  log.WriteLog("Iniciando servidor de conexão", PID, false);
}

Servidor::~Servidor() { desconectar(); }

namespace {

int portaDe(const struct sockaddr_storage& endereco) {
  if (endereco.ss_family == AF_INET6) {
    return ntohs(reinterpret_cast<const struct sockaddr_in6*>(&endereco)->sin6_port);
  }
  return ntohs(reinterpret_cast<const struct sockaddr_in*>(&endereco)->sin_port);
}

}  // namespace

bool Servidor::iniciar() {
  // Empty: 0.0.0.0, the IPv4 socket the agent always had.
  TEnderecoIP local;
  if (!endereco.empty() && !TEnderecoIP::lerEndereco(endereco, &local)) {
    log.WriteLog("inet_pton Fail", PID, false);
    perror("inet_pton Fail()");
    return false;
  }
  bool ipv4 = local.ehIPv4();
  // "::" takes IPv4 peers too: one socket, one accept loop, and the peers
  // of both families in the order they came.
  bool todosIPv6 = !ipv4 && std::memcmp(local.bytes(), &in6addr_any, 16) == 0;
  if (!criarSocket(ipv4 ? AF_INET : AF_INET6, !todosIPv6)) return false;
  struct sockaddr_storage escuta;
  socklen_t tamanho = local.paraSocket(porta, &escuta);
  if (bind(socketHandle, reinterpret_cast<struct sockaddr*>(&escuta), tamanho) < 0) {
    log.WriteLog("Bind Fail", PID, false);
    perror("Bind Fail()");
    return false;
  }
  // A queue of only a few pending connections makes a burst of backup servers
  // wait seconds for retransmitted handshakes; let the kernel's limit apply.
  if (listen(socketHandle, SOMAXCONN) < 0) {
    log.WriteLog("Listen Fail", PID, false);
    perror("Listen Fail()");
    return false;
  }
  return true;
}

bool Servidor::criarSocket(int familia, bool soIPv6) {
  socketHandle = socket(familia, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
  if (socketHandle < 0) {
    log.WriteLog("Socket Fail", PID, false);
    perror("Socket Fail()");
    exit(1);
  }
  // A restart binds at once, while connections of the run before still wait
  // out their closing on this port.
  int reutilizar = 1;
  setsockopt(socketHandle, SOL_SOCKET, SO_REUSEADDR, &reutilizar, sizeof reutilizar);
  if (familia != AF_INET6) return true;
  // Said either way, whatever the system's default (net.ipv6.bindv6only).
  int valor = soIPv6 ? 1 : 0;
  if (setsockopt(socketHandle, IPPROTO_IPV6, IPV6_V6ONLY, &valor, sizeof valor) != 0) {
    log.WriteLog("IPV6_V6ONLY Fail", PID, false);
    perror("IPV6_V6ONLY Fail()");
    return false;
  }
  return true;
}

int Servidor::aceitar(struct sockaddr_storage* cliente, TEnderecoIP* endereco) {
  for (;;) {
    std::memset(cliente, 0, sizeof *cliente);
    socklen_t tamanho = sizeof *cliente;
    int handle =
        accept4(socketHandle, reinterpret_cast<struct sockaddr*>(cliente), &tamanho, SOCK_CLOEXEC);
    if (handle < 0 && errno == EINTR) continue;
    if (handle < 0) return handle;
    // An IPv4 peer on the dual-stack socket comes as ::ffff:a.b.c.d and is
    // read as the IPv4 address a.b.c.d.
    bool lido = TEnderecoIP::lerSocket(reinterpret_cast<struct sockaddr*>(cliente), endereco);
    if (controleAcesso == nullptr || (lido && controleAcesso->admitir(*endereco))) return handle;
    // Refused: not a byte is read, and the refusal was logged within its rate.
    close(handle);
  }
}

int Servidor::conectar(TEnderecoIP* enderecoCliente) {
  struct sockaddr_storage cliente;
  TEnderecoIP endereco;
  int handle = aceitar(&cliente, &endereco);
  if (handle < 0) {
    int erro = errno;
    log.WriteLog("Accept Fail", PID, false);
    escreverConsole("accept Fail()");
    errno = erro;
    return handle;
  }
  if (enderecoCliente != nullptr) *enderecoCliente = endereco;
  try {
    descreverCliente(cliente);
  } catch (const std::exception& e) {
    escreverConsole(std::string("Erro ao conectar ") + e.what());
    log.WriteLog(std::string("Erro ao conectar ") + e.what(), PID, false);
  }
  return handle;
}

void Servidor::descreverCliente(const struct sockaddr_storage& cliente) {
  try {
    TEnderecoIP endereco;
    if (TEnderecoIP::lerSocket(reinterpret_cast<const struct sockaddr*>(&cliente), &endereco)) {
      std::string texto = endereco.texto();
      std::string porta = IntToStr(portaDe(cliente));
      escreverConsole("Cliente ip/Host:" + texto + " porta:" + porta);
      log.WriteLog("Cliente ip/host " + texto + " porta " + porta, PID, false);
    } else {
      escreverConsole("Não foi possivel obter o cliente que esta conectando");
      log.WriteLog("Não foi possivel obter o cliente que está conectando", PID, false);
    }
  } catch (const std::exception& e) {
    escreverConsole("Não foi possível obter o cliente que está conectando");
    log.WriteLog(
        std::string(
            "Não foi possível obter o cliente que está conectando por causa da exception ") +
            e.what(),
        PID, false);
  }
}

void Servidor::desconectar() {
  if (socketHandle != -1) {
    close(socketHandle);
    log.WriteLog("Desconectar do socket", PID, false);
    socketHandle = -1;
  }
}
