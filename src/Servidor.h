#ifndef SERVIDOR_H
#define SERVIDOR_H

#include <cstdint>
#include <string>

#include "Logger.h"

class TControleAcesso;

// The agent's listening IPv4 TCP socket. Made once by main, used only by the
// main thread, closed when destroyed.
class Servidor {
 public:
  // _endereco empty listens on every local address; only the low 16 bits of
  // _porta are used. pidPrincipal names the log the listener writes to.
  Servidor(int _porta, const std::string& _endereco, int pidPrincipal);
  virtual ~Servidor();

  Servidor(const Servidor&) = delete;
  Servidor& operator=(const Servidor&) = delete;

  // Creates, binds and listens. False when the address, bind or listen fails
  // (already logged and reported on standard error). A socket that cannot be
  // created at all ends the process with status 1.
  bool iniciar();
  // Waits for the next peer: its socket, or a negative value when the accept
  // failed (errno tells why). With a controle set, peers it refuses are
  // closed unread and the wait goes on. *enderecoCliente, when given, gets
  // the peer's IPv4 address in host order.
  int conectar(uint32_t* enderecoCliente = nullptr);
  // Who may connect; null (the default) admits everyone. Kept, not owned.
  void setControleAcesso(TControleAcesso* controle) { controleAcesso = controle; }
  void desconectar();

 private:
  int aceitar(struct sockaddr_in* cliente);
  void descreverCliente(const void* enderecoCliente);

  int socketHandle;
  int porta;
  std::string endereco;
  Logger log;
  int PID;
  TControleAcesso* controleAcesso;
};

#endif
