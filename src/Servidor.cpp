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

bool Servidor::iniciar() {
  socketHandle = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
  if (socketHandle < 0) {
    log.WriteLog("Socket Fail", PID, false);
    perror("Socket Fail()");
    exit(1);
  }
  // A restart binds at once, while connections of the run before still wait
  // out their closing on this port.
  int reutilizar = 1;
  setsockopt(socketHandle, SOL_SOCKET, SO_REUSEADDR, &reutilizar, sizeof reutilizar);
  struct sockaddr_in local;
  std::memset(&local, 0, sizeof local);
  local.sin_family = AF_INET;
  local.sin_port = htons(static_cast<uint16_t>(porta));
  local.sin_addr.s_addr = htonl(INADDR_ANY);
  if (!endereco.empty() && inet_pton(AF_INET, endereco.c_str(), &local.sin_addr) != 1) {
    log.WriteLog("inet_pton Fail", PID, false);
    perror("inet_pton Fail()");
    return false;
  }
  if (bind(socketHandle, reinterpret_cast<struct sockaddr*>(&local), sizeof local) < 0) {
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

int Servidor::aceitar(struct sockaddr_in* cliente) {
  for (;;) {
    std::memset(cliente, 0, sizeof *cliente);
    socklen_t tamanho = sizeof *cliente;
    int handle =
        accept4(socketHandle, reinterpret_cast<struct sockaddr*>(cliente), &tamanho, SOCK_CLOEXEC);
    if (handle < 0 && errno == EINTR) continue;
    if (handle < 0 || controleAcesso == nullptr ||
        controleAcesso->admitir(ntohl(cliente->sin_addr.s_addr))) {
      return handle;
    }
    // Refused: not a byte is read, and the refusal was logged within its rate.
    close(handle);
  }
}

int Servidor::conectar(uint32_t* enderecoCliente) {
  struct sockaddr_in cliente;
  int handle = aceitar(&cliente);
  if (handle < 0) {
    int erro = errno;
    log.WriteLog("Accept Fail", PID, false);
    escreverConsole("accept Fail()");
    errno = erro;
    return handle;
  }
  if (enderecoCliente != nullptr) *enderecoCliente = ntohl(cliente.sin_addr.s_addr);
  try {
    descreverCliente(&cliente);
  } catch (const std::exception& e) {
    escreverConsole(std::string("Erro ao conectar ") + e.what());
    log.WriteLog(std::string("Erro ao conectar ") + e.what(), PID, false);
  }
  return handle;
}

void Servidor::descreverCliente(const void* enderecoCliente) {
  const struct sockaddr_in* cliente = static_cast<const struct sockaddr_in*>(enderecoCliente);
  try {
    char texto[255];
    if (inet_ntop(AF_INET, &cliente->sin_addr, texto, sizeof texto) != nullptr) {
      std::string porta = IntToStr(ntohs(cliente->sin_port));
      escreverConsole(std::string("Cliente ip/Host:") + texto + " porta:" + porta);
      log.WriteLog(std::string("Cliente ip/host ") + texto + " porta " + porta, PID, false);
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
