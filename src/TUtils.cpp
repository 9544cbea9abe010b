#include "TUtils.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

std::string IntToStr(long long valor) { return std::to_string(valor); }

namespace {
// Set once standard output has gone (a closed pipe). Without it every console
// line would raise SIGPIPE, whose own console line would raise it again.
std::atomic<bool> consoleFechado{false};
}  // namespace

std::string escaparControles(const std::string& texto) {
  auto controle = [](unsigned char c) { return c < 0x20 || c == 0x7f; };
  if (std::none_of(texto.begin(), texto.end(), controle)) return texto;
  static const char HEX[] = "0123456789abcdef";
  std::string escapado;
  escapado.reserve(texto.size() + 16);
  for (unsigned char c : texto) {
    if (!controle(c)) {
      escapado += static_cast<char>(c);
    } else if (c == '\n') {
      escapado += "\\n";
    } else if (c == '\r') {
      escapado += "\\r";
    } else if (c == '\t') {
      escapado += "\\t";
    } else {
      escapado += {'\\', 'x', HEX[c >> 4], HEX[c & 0xf]};
    }
  }
  return escapado;
}

void escreverConsole(const std::string& texto) {
  if (consoleFechado.load(std::memory_order_relaxed)) return;
  // A path from a peer must not start a line of its own.
  std::string linha = escaparControles(texto);
  flockfile(stdout);
  fwrite(linha.data(), 1, linha.size(), stdout);
  fputc('\n', stdout);
  if (fflush(stdout) != 0 && errno == EPIPE) consoleFechado = true;
  clearerr(stdout);
  funlockfile(stdout);
}

namespace {

// Moves past feito bytes already written and past any empty parts after them.
void avancar(struct iovec** partes, int* quantas, size_t feito) {
  while (*quantas > 0 && feito >= (*partes)->iov_len) {
    feito -= (*partes)->iov_len;
    ++*partes;
    --*quantas;
  }
  if (*quantas > 0 && feito > 0) {
    (*partes)->iov_base = static_cast<char*>((*partes)->iov_base) + feito;
    (*partes)->iov_len -= feito;
  }
}

// One write of what is left. Falls back to writev for what is not a socket,
// and drops flags a socket does not support, for this call and the next.
ssize_t escreverUmaVez(int fd, struct iovec* partes, int quantas, int* flags, bool* socket) {
  for (;;) {
    if (!*socket) return writev(fd, partes, quantas);
    struct msghdr mensagem {};
    mensagem.msg_iov = partes;
    mensagem.msg_iovlen = static_cast<size_t>(quantas);
    ssize_t r = sendmsg(fd, &mensagem, *flags | MSG_NOSIGNAL);
    if (r < 0 && errno == ENOTSOCK) {
      *socket = false;  // a pipe, say
    } else if (r < 0 && errno == EOPNOTSUPP && *flags != 0) {
      *flags = 0;  // a socket without MSG_MORE
    } else {
      return r;
    }
  }
}

ssize_t escreverPartes(int fd, struct iovec* partes, int quantas, int flags, bool socket) {
  int errnoAntes = errno;  // a success leaves errno as the caller had it
  size_t total = 0;
  avancar(&partes, &quantas, 0);
  while (quantas > 0) {
    ssize_t r = escreverUmaVez(fd, partes, quantas, &flags, &socket);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return -1;
    total += static_cast<size_t>(r);
    avancar(&partes, &quantas, static_cast<size_t>(r));
  }
  errno = errnoAntes;
  return static_cast<ssize_t>(total);
}

}  // namespace

ssize_t escreverTudo(int fd, const void* dados, size_t n) {
  struct iovec parte = {const_cast<void*>(dados), n};
  return escreverPartes(fd, &parte, 1, 0, false);
}

bool soZeros(const void* dados, size_t n) {
  const unsigned char* p = static_cast<const unsigned char*>(dados);
  return n == 0 || (p[0] == 0 && std::memcmp(p, p + 1, n - 1) == 0);
}

namespace {

// All n bytes at offset onde, going on after short writes.
bool escreverEm(int fd, const unsigned char* dados, size_t n, int64_t onde) {
  while (n > 0) {
    ssize_t r = pwrite(fd, dados, n, static_cast<off_t>(onde));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    dados += r;
    n -= static_cast<size_t>(r);
    onde += r;
  }
  return true;
}

}  // namespace

bool escreverEsparso(int fd, const void* dados, size_t n, int64_t onde, size_t bloco,
                     bool* buraco) {
  const unsigned char* p = static_cast<const unsigned char*>(dados);
  size_t inicioTrecho = 0, i = 0;
  while (i < n) {
    size_t fim = std::min(
        n, i + bloco -
               static_cast<size_t>((onde + static_cast<int64_t>(i)) % static_cast<int64_t>(bloco)));
    if (fim - i == bloco && soZeros(p + i, bloco)) {
      if (!escreverEm(fd, p + inicioTrecho, i - inicioTrecho,
                      onde + static_cast<int64_t>(inicioTrecho))) {
        return false;
      }
      inicioTrecho = fim;
      *buraco = true;
    }
    i = fim;
  }
  return escreverEm(fd, p + inicioTrecho, n - inicioTrecho,
                    onde + static_cast<int64_t>(inicioTrecho));
}

ssize_t enviarTudo(int socket, struct iovec* partes, int quantas, int flags) {
  return escreverPartes(socket, partes, quantas, flags, true);
}

ssize_t enviarTudo(int socket, const void* dados, size_t n) {
  struct iovec parte = {const_cast<void*>(dados), n};
  return escreverPartes(socket, &parte, 1, 0, true);
}

TAreaAlinhada alocarAlinhado(size_t n) {
  const size_t PAGINA = 4096;
  size_t bytes = (std::max<size_t>(n, 1) + PAGINA - 1) / PAGINA * PAGINA;
  void* area = std::aligned_alloc(PAGINA, bytes);
  if (area == nullptr) throw std::bad_alloc();
  return TAreaAlinhada(static_cast<unsigned char*>(area), std::free);
}

std::string nomeTemporarioPara(const std::string& nome, const std::string& marca) {
  static std::atomic<unsigned> contador{0};
  static const pid_t pid = getpid();  // neither program forks
  // Short enough that the temporary name fits wherever nome does.
  return "." + nome.substr(0, 128) + marca + "-" + IntToStr(pid) + "-" +
         IntToStr(contador.fetch_add(1));
}

std::string textoDoErro(int erro) {
  char texto[256];
  // The GNU strerror_r returns the text, not always in our buffer.
  return strerror_r(erro, texto, sizeof texto);
}

bool lerArquivoTexto(const std::string& caminho, std::string* conteudo, std::string* erro) {
  conteudo->clear();
  int fd = open(caminho.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    *erro = textoDoErro(errno);
    return false;
  }
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    *erro = S_ISDIR(st.st_mode) ? textoDoErro(EISDIR) : "não é um arquivo comum";
    close(fd);
    return false;
  }
  char bloco[8192];
  for (;;) {
    ssize_t r = read(fd, bloco, sizeof bloco);
    if (r < 0) {
      if (errno == EINTR) continue;
      *erro = textoDoErro(errno);
      close(fd);
      return false;
    }
    if (r == 0) break;
    conteudo->append(bloco, static_cast<size_t>(r));
  }
  close(fd);
  return true;
}

std::vector<std::string> dividirLinhas(const std::string& texto) {
  std::vector<std::string> linhas;
  size_t inicio = 0;
  for (;;) {
    size_t fim = texto.find('\n', inicio);
    if (fim == std::string::npos) {
      linhas.push_back(texto.substr(inicio));
      break;
    }
    linhas.push_back(texto.substr(inicio, fim - inicio));
    inicio = fim + 1;
  }
  return linhas;
}

static bool temParteRelativa(const std::string& caminho) {
  for (size_t i = 0; i < caminho.size();) {
    size_t fim = caminho.find('/', i);
    if (fim == std::string::npos) fim = caminho.size();
    std::string parte = caminho.substr(i, fim - i);
    if (parte == "." || parte == "..") return true;
    i = fim + 1;
  }
  return false;
}

std::string obterDiretorioCorrente() {
  const char* pwd = std::getenv("PWD");
  if (pwd != nullptr && pwd[0] == '/' && !temParteRelativa(pwd)) {
    struct stat logico {
    }, fisico{};
    if (stat(pwd, &logico) == 0 && stat(".", &fisico) == 0 && logico.st_dev == fisico.st_dev &&
        logico.st_ino == fisico.st_ino) {
      return pwd;
    }
  }
  char* caminho = getcwd(nullptr, 0);
  if (caminho == nullptr) return std::string();
  std::string resultado(caminho);
  std::free(caminho);
  return resultado;
}

int64_t tamanhoAoLer(int fd) {
  struct stat st {};
  // A folder reads nothing: what seeking its end gives depends on its file
  // system (a hash's end on ext4), never a size.
  if (fstat(fd, &st) != 0 || S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode) || S_ISDIR(st.st_mode)) {
    return -1;
  }
  if (S_ISREG(st.st_mode)) return st.st_size;
  off_t fim = lseek(fd, 0, SEEK_END);  // a device: as far as reading would go
  if (fim < 0 || lseek(fd, 0, SEEK_SET) != 0) return -1;
  return fim;
}

bool fecharUmaVez(int* fd) {
  if (*fd < 0) return false;
  int r = close(*fd);
  *fd = -1;
  return r == 0;
}
