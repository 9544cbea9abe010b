#ifndef TRESOLVEDORCAMINHO_H
#define TRESOLVEDORCAMINHO_H

#include <sys/types.h>

#include <string>
#include <vector>

// How the agent opens a path a peer named when it hands content over or
// changes the machine (fetch, store, time change, folder creation): one
// component at a time, following a symbolic link only when root (or the
// agent's own user) owns it, as the kernel's protected_symlinks does in
// sticky folders, here everywhere. Links an administrator made (/var/run, a
// /home moved to another disk) keep working; a link a user planted, or
// swapped in after a listing, is refused. A path without links costs one
// openat2. Made on the stack by a connection thread for one request; it
// logs each refusal to the log of process pidLog.
class TResolvedorCaminho {
 public:
  // Symbolic links followed for one path at most, as the kernel allows.
  static const int MAXIMO_LIGACOES = 40;

  explicit TResolvedorCaminho(int pidLog);
  virtual ~TResolvedorCaminho();

  // Opens caminho with flags (open's, without O_CREAT; O_CLOEXEC is added).
  // -1 with errno when it cannot: ELOOP for a link that is not followed
  // (logged as a refused request of the kind pedido names: "busca"...).
  int abrir(const std::string& caminho, int flags, const char* pedido);
  // The folder that holds caminho's last component, open for reading (or
  // path-only when it cannot be read), and that component in *nome, which
  // is not itself followed: what is there is replaced or made. -1 as abrir.
  int abrirPasta(const std::string& caminho, std::string* nome, const char* pedido);

  // Whether a link with this status may be followed: root's or the agent's
  // own, and no hard link to one (a user could put one of those anywhere).
  static bool ligacaoConfiavel(const struct stat& st);

 private:
  int resolver(const std::string& caminho, int flags);
  // Walks componentes from the folder pasta (taken over), the last one
  // opened with flags; every link followed only when trusted.
  int caminhar(int pasta, std::vector<std::string> componentes, int flags);
  // The link nome in pasta, trusted, read into *alvo: false otherwise (errno
  // set, the refusal logged).
  bool lerLigacao(int pasta, const std::string& nome, std::string* alvo);
  int abrirRaizDe(const std::string& caminho);
  void recusar(const std::string& onde, uid_t dono);

  int pidLog;
  std::string caminhoPedido;
  const char* pedido;
  int ligacoes;
};

#endif
