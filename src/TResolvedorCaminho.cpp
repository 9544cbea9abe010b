#include "TResolvedorCaminho.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

#include "Logger.h"
#include "TUtils.h"

namespace {

// Cleared once the kernel (or a system-call filter) turns openat2 down:
// every path is then walked.
std::atomic<bool> openat2Disponivel{true};

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

// Closes *fd, keeping errno as it was.
void fecharGuardandoErro(int* fd) {
  int erro = errno;
  fecharUmaVez(fd);
  errno = erro;
}

}  // namespace

TResolvedorCaminho::TResolvedorCaminho(int pidLog) : pidLog(pidLog), pedido(""), ligacoes(0) {}

TResolvedorCaminho::~TResolvedorCaminho() {}

bool TResolvedorCaminho::ligacaoConfiavel(const struct stat& st) {
  return S_ISLNK(st.st_mode) && (st.st_uid == 0 || st.st_uid == geteuid()) && st.st_nlink == 1;
}

int TResolvedorCaminho::abrir(const std::string& caminho, int flags, const char* pedido) {
  caminhoPedido = caminho;
  this->pedido = pedido;
  return resolver(caminho, flags);
}

int TResolvedorCaminho::resolver(const std::string& caminho, int flags) {
  ligacoes = 0;
  flags |= O_CLOEXEC;
  if (caminho.empty()) {
    errno = ENOENT;
    return -1;
  }
  if (openat2Disponivel.load(std::memory_order_relaxed)) {
    // The common case, no link on the way: one call.
    struct open_how como {};
    como.flags = static_cast<uint64_t>(flags);
    como.resolve = RESOLVE_NO_SYMLINKS;
    long fd = syscall(SYS_openat2, AT_FDCWD, caminho.c_str(), &como, sizeof como);
    if (fd >= 0) return static_cast<int>(fd);
    if (errno == ENOSYS || errno == EPERM || errno == E2BIG) {
      openat2Disponivel = false;
    } else if (errno != ELOOP) {
      return -1;  // missing, unreadable: no link would change that
    }
  }
  int raiz = abrirRaizDe(caminho);
  if (raiz < 0) return -1;
  return caminhar(raiz, dividirComponentes(caminho), flags);
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
  int fd = resolver(pasta, O_RDONLY | O_DIRECTORY);
  // A folder the agent may write but not read is still a place to store in.
  if (fd < 0 && errno == EACCES) fd = resolver(pasta, O_PATH | O_DIRECTORY);
  return fd;
}

int TResolvedorCaminho::abrirRaizDe(const std::string& caminho) {
  return open(caminho[0] == '/' ? "/" : ".", O_PATH | O_DIRECTORY | O_CLOEXEC);
}

int TResolvedorCaminho::caminhar(int pasta, std::vector<std::string> componentes, int flags) {
  // The components still to go, last first, so that a link's target can be
  // put in front of them.
  std::vector<std::string> restantes(componentes.rbegin(), componentes.rend());
  if (restantes.empty()) {
    int fd = openat(pasta, ".", flags);
    fecharGuardandoErro(&pasta);
    return fd;
  }
  while (!restantes.empty()) {
    std::string nome = std::move(restantes.back());
    restantes.pop_back();
    bool ultimo = restantes.empty();
    int fd = openat(pasta, nome.c_str(),
                    (ultimo ? flags : O_PATH | O_DIRECTORY) | O_NOFOLLOW | O_CLOEXEC);
    struct stat st {};
    bool talvezLigacao =
        fd < 0 ? (errno == ELOOP || errno == ENOTDIR)
               : ((flags & O_PATH) && ultimo && fstat(fd, &st) == 0 && S_ISLNK(st.st_mode));
    if (fd >= 0 && !talvezLigacao) {
      fecharUmaVez(&pasta);
      if (ultimo) return fd;
      pasta = fd;
      continue;
    }
    if (fd >= 0) fecharUmaVez(&fd);
    if (!talvezLigacao) {
      fecharGuardandoErro(&pasta);
      return -1;
    }
    std::string alvo;
    if (!lerLigacao(pasta, nome, &alvo)) {
      fecharGuardandoErro(&pasta);
      return -1;
    }
    std::vector<std::string> doAlvo = dividirComponentes(alvo);
    restantes.insert(restantes.end(), doAlvo.rbegin(), doAlvo.rend());
    if (alvo[0] == '/') {
      fecharUmaVez(&pasta);
      pasta = abrirRaizDe(alvo);
      if (pasta < 0) return -1;
    }
    if (restantes.empty()) restantes.push_back(".");  // a link to "/"
  }
  return -1;  // not reached: the last component returns
}

bool TResolvedorCaminho::lerLigacao(int pasta, const std::string& nome, std::string* alvo) {
  int fd = openat(pasta, nome.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
  struct stat st {};
  if (fd < 0 || fstat(fd, &st) != 0 || !S_ISLNK(st.st_mode)) {
    // Not a link after all: not a folder where one was needed.
    if (fd >= 0) fecharUmaVez(&fd);
    errno = ENOTDIR;
    return false;
  }
  if (!ligacaoConfiavel(st) || ++ligacoes > MAXIMO_LIGACOES) {
    fecharUmaVez(&fd);
    if (ligacoes <= MAXIMO_LIGACOES) recusar(nome, st.st_uid);
    errno = ELOOP;
    return false;
  }
  // The very link whose owner was checked is read: swapping it meanwhile
  // changes nothing.
  char texto[4096];
  ssize_t n = readlinkat(fd, "", texto, sizeof texto);
  fecharGuardandoErro(&fd);
  if (n <= 0 || static_cast<size_t>(n) >= sizeof texto) {
    if (n >= 0) errno = ENAMETOOLONG;
    return false;
  }
  alvo->assign(texto, static_cast<size_t>(n));
  return true;
}

void TResolvedorCaminho::recusar(const std::string& onde, uid_t dono) {
  Logger log;
  log.WriteLog(std::string("Pedido de ") + pedido + " recusado para " + caminhoPedido +
                   " - Motivo:ligação simbólica \"" + onde + "\" do usuário " +
                   IntToStr(static_cast<long long>(dono)) + " não é seguida",
               pidLog, false);
}
