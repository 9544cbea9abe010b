#include "TResolvedorCaminho.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>

#include "Logger.h"
#include "TUtils.h"

namespace {

// Cleared once the kernel (or a system-call filter) turns openat2 down:
// every path is then walked.
std::atomic<bool> openat2Disponivel{true};

// Refusals a connection thread logs in a burst, and one more every so many
// seconds: a peer cannot fill the disk with them.
const int RECUSAS_EM_RAJADA = 20;
const int SEGUNDOS_POR_RECUSA = 5;

std::vector<std::string> dividirComponentes(const std::string& caminho) {
  std::vector<std::string> partes;
  size_t inicio = 0;
  while (inicio <= caminho.size()) {
    size_t fim = caminho.find('/', inicio);
    if (fim == std::string::npos) fim = caminho.size();
    if (fim > inicio && caminho.compare(inicio, fim - inicio, ".") != 0) {
      partes.push_back(caminho.substr(inicio, fim - inicio));
    }
    inicio = fim + 1;
  }
  return partes;
}

// openat2, or -1 with errno; ENOSYS when the kernel or a filter refuses it.
int abrirComRegras(int pasta, const std::string& caminho, int flags, uint64_t regras) {
  if (!openat2Disponivel.load(std::memory_order_relaxed)) {
    errno = ENOSYS;
    return -1;
  }
  struct open_how como {};
  como.flags = static_cast<uint64_t>(flags | O_CLOEXEC);
  como.resolve = regras;
  long fd =
      syscall(SYS_openat2, pasta, caminho.empty() ? "." : caminho.c_str(), &como, sizeof como);
  if (fd < 0 && (errno == ENOSYS || errno == EPERM || errno == E2BIG)) {
    openat2Disponivel = false;
    errno = ENOSYS;
  }
  return static_cast<int>(fd);
}

// Whether b, reached from the folder a, lies on another mount (a bind mount
// of the same file system included, where the kernel tells mounts apart).
bool outraMontagem(int a, int b) {
  struct statx sa {
  }, sb{};
  if (statx(a, "", AT_EMPTY_PATH, STATX_MNT_ID, &sa) != 0 ||
      statx(b, "", AT_EMPTY_PATH, STATX_MNT_ID, &sb) != 0) {
    return true;  // cannot tell: stay in
  }
  if ((sa.stx_mask & sb.stx_mask & STATX_MNT_ID) != 0) return sa.stx_mnt_id != sb.stx_mnt_id;
  return sa.stx_dev_major != sb.stx_dev_major || sa.stx_dev_minor != sb.stx_dev_minor;
}

// The folders a walk went through, closed when it ends but for the one it
// hands back.
struct TPilhaDePastas {
  std::vector<int> fds;
  ~TPilhaDePastas() {
    int erro = errno;
    for (int fd : fds) close(fd);
    errno = erro;
  }
  int topo() const { return fds.back(); }
  void trocarTopo(int fd) {
    close(fds.back());
    fds.back() = fd;
  }
  void reiniciar(int fd) {
    for (int f : fds) close(f);
    fds.assign(1, fd);
  }
};

}  // namespace

TResolvedorCaminho::TResolvedorCaminho(int pidLog, TAcessoCaminho acesso,
                                       const TPastasPermitidas* pastas)
    : pidLog(pidLog), acesso(acesso), pastas(pastas), pedido(""), ligacoes(0) {}

TResolvedorCaminho::~TResolvedorCaminho() {}

bool TResolvedorCaminho::ligacaoConfiavel(const struct stat& st) {
  return S_ISLNK(st.st_mode) && (st.st_uid == 0 || st.st_uid == geteuid()) && st.st_nlink == 1;
}

int TResolvedorCaminho::abrir(const std::string& caminho, int flags, const char* pedido) {
  caminhoPedido = caminho;
  this->pedido = pedido;
  return abrirPermitido(caminho, flags);
}

int TResolvedorCaminho::abrirPermitido(const std::string& caminho, int flags) {
  recusa.clear();
  if (pastas != nullptr) {
    std::string vedado = pastas->vedado(acesso);
    if (!vedado.empty()) {
      recusa = vedado;
      registrarRecusa(vedado);
      errno = EACCES;
      return -1;
    }
    if (!pastas->livre(acesso)) return resolverNasPastas(caminho, flags);
  }
  return resolver(caminho, flags);
}

int TResolvedorCaminho::abrirPasta(const std::string& caminho, std::string* nome,
                                   const char* pedido) {
  std::vector<std::string> componentes = dividirComponentes(caminho);
  *nome = componentes.empty() ? "." : componentes.back();
  if (!componentes.empty()) componentes.pop_back();
  std::string pasta;
  for (const std::string& parte : componentes) pasta += "/" + parte;
  if (pasta.empty()) pasta = "/";
  if (!caminho.empty() && caminho[0] != '/') pasta = "." + pasta;
  caminhoPedido = caminho;
  this->pedido = pedido;
  int fd = abrirPermitido(pasta, O_RDONLY | O_DIRECTORY);
  // A folder the agent may write but not read is still a place to store in.
  if (fd < 0 && errno == EACCES && recusa.empty()) fd = abrirPermitido(pasta, O_PATH | O_DIRECTORY);
  return fd;
}

int TResolvedorCaminho::resolver(const std::string& caminho, int flags) {
  ligacoes = 0;
  if (caminho.empty()) {
    errno = ENOENT;
    return -1;
  }
  // The common case, no link on the way: one call.
  int fd = abrirComRegras(AT_FDCWD, caminho, flags, RESOLVE_NO_SYMLINKS);
  if (fd >= 0 || (errno != ELOOP && errno != ENOSYS)) return fd;
  int raiz = abrirRaizDe(caminho);
  if (raiz < 0) return -1;
  return caminhar(raiz, dividirComponentes(caminho), flags, false);
}

int TResolvedorCaminho::resolverAbaixo(int base, const std::string& relativo, int flags) {
  ligacoes = 0;
  int fd = abrirComRegras(base, relativo, flags,
                          RESOLVE_BENEATH | RESOLVE_NO_XDEV | RESOLVE_NO_SYMLINKS);
  if (fd >= 0 || (errno != ELOOP && errno != ENOSYS)) {
    int erro = errno;
    close(base);
    errno = erro;
    return fd;
  }
  return caminhar(base, dividirComponentes(relativo), flags, true);
}

int TResolvedorCaminho::resolverNasPastas(const std::string& caminho, int flags) {
  for (const auto& candidata : pastas->candidatas(caminho, acesso)) {
    // The folder itself is reached as any path is: a link root made to it works.
    int base = resolver(candidata.first, O_PATH | O_DIRECTORY);
    if (base < 0) continue;  // not there (yet): the operator may make it later
    int fd = resolverAbaixo(base, candidata.second, flags);
    if (fd >= 0 || errno != EXDEV) return fd;  // in this folder, or refused in it
  }
  recusa = std::string("fora de ") + TPastasPermitidas::chave(acesso);
  registrarRecusa(recusa);
  errno = EACCES;
  return -1;
}

int TResolvedorCaminho::abrirRaizDe(const std::string& caminho) {
  return open(caminho[0] == '/' ? "/" : ".", O_PATH | O_DIRECTORY | O_CLOEXEC);
}

int TResolvedorCaminho::caminhar(int inicio, const std::vector<std::string>& componentes, int flags,
                                 bool abaixo) {
  // The folders from the start down to where the walk is, so that ".." goes
  // back the way it came, and below a base never past it. The components
  // still to go are kept last first, so that a link's target can be put in
  // front of them.
  TPilhaDePastas pilha;
  pilha.fds.push_back(inicio);
  std::vector<std::string> restantes(componentes.rbegin(), componentes.rend());
  if (restantes.empty()) restantes.push_back(".");
  while (!restantes.empty()) {
    std::string nome = std::move(restantes.back());
    restantes.pop_back();
    bool ultimo = restantes.empty();
    if (nome == ".." && pilha.fds.size() > 1) {
      close(pilha.topo());
      pilha.fds.pop_back();
      nome = ".";
    } else if (nome == ".." && abaixo) {
      errno = EXDEV;
      return -1;
    }
    int fd = openat(pilha.topo(), nome.c_str(),
                    (ultimo ? flags : O_PATH | O_DIRECTORY) | O_NOFOLLOW | O_CLOEXEC);
    struct stat st {};
    bool talvezLigacao =
        fd < 0 ? (errno == ELOOP || errno == ENOTDIR)
               : ((flags & O_PATH) && ultimo && fstat(fd, &st) == 0 && S_ISLNK(st.st_mode));
    if (fd >= 0 && !talvezLigacao) {
      if (abaixo && nome != "." && outraMontagem(pilha.topo(), fd)) {
        close(fd);
        errno = EXDEV;
        return -1;
      }
      if (ultimo) return fd;
      if (nome == "." || nome == "..") {
        pilha.trocarTopo(fd);  // ".." at the start, outside a base: the kernel's own
      } else {
        pilha.fds.push_back(fd);
      }
      continue;
    }
    if (fd >= 0) close(fd);
    std::string alvo;
    if (!talvezLigacao || !lerLigacao(pilha.topo(), nome, &alvo)) return -1;
    if (alvo[0] == '/') {
      // Below a base an absolute link would start again from the top.
      if (abaixo) {
        errno = EXDEV;
        return -1;
      }
      int raiz = abrirRaizDe(alvo);
      if (raiz < 0) return -1;
      pilha.reiniciar(raiz);
    }
    std::vector<std::string> doAlvo = dividirComponentes(alvo);
    restantes.insert(restantes.end(), doAlvo.rbegin(), doAlvo.rend());
    if (restantes.empty()) restantes.push_back(".");  // a link to "/"
  }
  return -1;  // not reached: the last component returns
}

bool TResolvedorCaminho::lerLigacao(int pasta, const std::string& nome, std::string* alvo) {
  int fd = openat(pasta, nome.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
  struct stat st {};
  if (fd < 0 || fstat(fd, &st) != 0 || !S_ISLNK(st.st_mode)) {
    // Not a link after all: not a folder where one was needed.
    if (fd >= 0) close(fd);
    errno = ENOTDIR;
    return false;
  }
  if (!ligacaoConfiavel(st) || ++ligacoes > MAXIMO_LIGACOES) {
    close(fd);
    if (ligacoes <= MAXIMO_LIGACOES) {
      registrarRecusa("ligação simbólica \"" + nome + "\" do usuário " +
                      IntToStr(static_cast<long long>(st.st_uid)) + " não é seguida");
    }
    errno = ELOOP;
    return false;
  }
  // The very link whose owner was checked is read: swapping it meanwhile
  // changes nothing.
  char texto[4096];
  ssize_t n = readlinkat(fd, "", texto, sizeof texto);
  int erro = errno;
  close(fd);
  if (n <= 0 || static_cast<size_t>(n) >= sizeof texto) {
    errno = n < 0 ? erro : ENAMETOOLONG;
    return false;
  }
  alvo->assign(texto, static_cast<size_t>(n));
  return true;
}

void TResolvedorCaminho::registrarRecusa(const std::string& motivo) {
  // Each connection has its own thread: this is its allowance.
  thread_local double fichas = RECUSAS_EM_RAJADA;
  thread_local std::chrono::steady_clock::time_point ultima = std::chrono::steady_clock::now();
  thread_local long long omitidas = 0;
  auto agora = std::chrono::steady_clock::now();
  std::chrono::duration<double> passou = agora - ultima;
  ultima = agora;
  fichas = std::min<double>(RECUSAS_EM_RAJADA, fichas + passou.count() / SEGUNDOS_POR_RECUSA);
  if (fichas < 1) {
    ++omitidas;
    return;
  }
  fichas -= 1;
  Logger log;
  if (omitidas > 0) {
    log.WriteLog(IntToStr(omitidas) + " pedidos recusados não registrados no log", pidLog, false);
    omitidas = 0;
  }
  log.WriteLog(std::string("Pedido de ") + pedido + " recusado para " + caminhoPedido +
                   " - Motivo:" + motivo,
               pidLog, false);
}

int TResolvedorCaminho::abrirSubpastaSemSair(int dirfd, const char* nome, TAcessoCaminho acesso,
                                             const TPastasPermitidas* pastas) {
  const int FLAGS = O_RDONLY | O_DIRECTORY | O_NOFOLLOW;
  int fd = abrirComRegras(dirfd, nome, FLAGS, RESOLVE_NO_XDEV | RESOLVE_NO_SYMLINKS);
  if (fd < 0 && errno == ENOSYS) {
    fd = openat(dirfd, nome, FLAGS | O_CLOEXEC);
    if (fd >= 0 && outraMontagem(dirfd, fd)) {
      close(fd);
      fd = -1;
      errno = EXDEV;
    }
  }
  if (fd >= 0 || errno != EXDEV) return fd;
  // A mount: entered only when it is one of the allowed folders itself.
  struct stat st {};
  if (fstatat(dirfd, nome, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISDIR(st.st_mode) ||
      !pastas->ehPastaPermitida(st.st_dev, st.st_ino, acesso)) {
    return -1;
  }
  return openat(dirfd, nome, FLAGS | O_CLOEXEC);
}
