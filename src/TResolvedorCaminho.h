#ifndef TRESOLVEDORCAMINHO_H
#define TRESOLVEDORCAMINHO_H

#include <sys/types.h>

#include <string>
#include <vector>

#include "TPastasPermitidas.h"

// How the agent opens a path a peer named when it hands content over or
// changes the machine (fetch, store, time change, folder creation), and,
// where folders are configured, when it answers what a path holds: one
// component at a time, following a symbolic link only when root (or the
// agent's own user) owns it, as the kernel's protected_symlinks does in
// sticky folders, here everywhere. Links an administrator made (/var/run, a
// /home moved to another disk) keep working; a link a user planted, or
// swapped in after a listing, is refused. Where TPastasPermitidas limits
// the access, the path must also resolve below one of its folders, from
// that folder's own descriptor: "..", links and mounts (bind mounts
// included) do not lead out. A path without links costs one openat2 (two
// more with folders: the folder's). Made on the stack by a connection
// thread for one request; refusals go to the log of process pidLog, at a
// rate each connection thread is held to.
class TResolvedorCaminho {
 public:
  // Symbolic links followed for one path at most, as the kernel allows.
  static const int MAXIMO_LIGACOES = 40;

  // pastas null: every path allowed for acesso, links by the rule above.
  TResolvedorCaminho(int pidLog, TAcessoCaminho acesso = ACESSO_CONTEUDO,
                     const TPastasPermitidas* pastas = TPastasPermitidas::global());
  virtual ~TResolvedorCaminho();

  // Opens caminho with flags (open's, without O_CREAT; O_CLOEXEC is added).
  // -1 with errno when it cannot: ELOOP for a link that is not followed,
  // EACCES for a path outside the allowed folders; both logged as a refused
  // request of the kind pedido names ("busca", "gravação"...).
  int abrir(const std::string& caminho, int flags, const char* pedido);
  // The folder that holds caminho's last component, open for reading (or
  // path-only when it cannot be read), and that component in *nome, which
  // is not itself followed: what is there is replaced or made. -1 as abrir.
  int abrirPasta(const std::string& caminho, std::string* nome, const char* pedido);
  // Why the last call refused the path for the allowed folders or the
  // backup-only mode; empty when it did not.
  const std::string& motivoRecusa() const { return recusa; }

  // Whether a link with this status may be followed: root's or the agent's
  // own, and no hard link to one (a user could put one of those anywhere).
  static bool ligacaoConfiavel(const struct stat& st);
  // The folder nome of dirfd, open for reading, when a walk limited to
  // acesso's folders may enter it: no link, and no mount (a bind mount
  // included) but onto an allowed folder. -1 otherwise.
  static int abrirSubpastaSemSair(int dirfd, const char* nome, TAcessoCaminho acesso,
                                  const TPastasPermitidas* pastas);

 private:
  // abrir's work, for the request already named.
  int abrirPermitido(const std::string& caminho, int flags);
  int resolver(const std::string& caminho, int flags);
  // The same below the allowed folder base (taken over): EXDEV when the
  // path would lead out of it.
  int resolverAbaixo(int base, const std::string& relativo, int flags);
  // Tries caminho below each allowed folder that may hold it.
  int resolverNasPastas(const std::string& caminho, int flags);
  // Walks componentes from the folder inicio (taken over), the last one
  // opened with flags; every link followed only when trusted. With abaixo,
  // nothing above inicio, no other mount and no absolute link is reached.
  int caminhar(int inicio, const std::vector<std::string>& componentes, int flags, bool abaixo);
  // The link nome in pasta, trusted, read into *alvo: false otherwise (errno
  // set, the refusal logged).
  bool lerLigacao(int pasta, const std::string& nome, std::string* alvo);
  int abrirRaizDe(const std::string& caminho);
  void registrarRecusa(const std::string& motivo);

  int pidLog;
  TAcessoCaminho acesso;
  const TPastasPermitidas* pastas;
  std::string caminhoPedido;
  const char* pedido;
  std::string recusa;
  int ligacoes;
};

#endif
