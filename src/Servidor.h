#ifndef SERVIDOR_H
#define SERVIDOR_H

#include <string>

#include "Logger.h"

class TControleAcesso;
class TEnderecoIP;
struct sockaddr_storage;

// The agent's listening TCP socket: IPv4, or IPv6 when its address is one.
// Made once by main, used only by the main thread, closed when destroyed.
class Servidor {
 public:
  // _endereco empty listens on every local IPv4 address (0.0.0.0); "::" on
  // every address of both families, through one dual-stack socket; any other
  // IPv4 or IPv6 address on that address only. Only the low 16 bits of
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
  // the peer's address (IPv4 for a peer that came over IPv4).
  int conectar(TEnderecoIP* enderecoCliente = nullptr);
  // Who may connect; null (the default) admits everyone. Kept, not owned.
  void setControleAcesso(TControleAcesso* controle) { controleAcesso = controle; }
  void desconectar();

 private:
  // The socket of the given family, with its options; false when an
  // option cannot be set (logged).
  bool criarSocket(int familia, bool soIPv6);
  int aceitar(struct sockaddr_storage* cliente, TEnderecoIP* endereco);
  void descreverCliente(const struct sockaddr_storage& cliente);

  int socketHandle;
  int porta;
  std::string endereco;
  Logger log;
  int PID;
  TControleAcesso* controleAcesso;
};

#endif
