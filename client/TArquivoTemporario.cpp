#include "TArquivoTemporario.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "TUtils.h"

namespace {

bool soZeros(const char* dados, size_t n) {
  return n == 0 || (dados[0] == 0 && std::memcmp(dados, dados + 1, n - 1) == 0);
}

bool gravarEm(int fd, const char* dados, size_t n, int64_t onde) {
  while (n > 0) {
    ssize_t feitos = pwrite(fd, dados, n, onde);
    if (feitos < 0 && errno == EINTR) continue;
    if (feitos <= 0) return false;
    dados += feitos;
    n -= static_cast<size_t>(feitos);
    onde += feitos;
  }
  return true;
}

}  // namespace

TArquivoTemporario::~TArquivoTemporario() {
  fd.fechar();
  if (!temporario.empty() && !colocado) unlinkat(pasta.get(), temporario.c_str(), 0);
}

bool TArquivoTemporario::criar(int pastaFd, const std::string& nomeFinal) {
  nome = nomeFinal;
  pasta = TDescritor(fcntl(pastaFd, F_DUPFD_CLOEXEC, 0));
  if (!pasta.valido()) return false;
  // Private, since the protocol does not say who may read the original.
  for (int tentativa = 0; tentativa < 100; ++tentativa) {
    std::string candidato = nomeTemporarioPara(nome, ".vornacli");
    fd = TDescritor(openat(pasta.get(), candidato.c_str(),
                           O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (fd.valido()) temporario = candidato;
    if (fd.valido() || errno != EEXIST) break;
  }
  struct stat st {};
  if (!fd.valido()) return false;
  // A hole is only worth it in whole blocks of the file system.
  if (fstat(fd.get(), &st) == 0 && st.st_blksize >= 512 && st.st_blksize <= (1 << 20)) {
    bloco = static_cast<size_t>(st.st_blksize);
  }
  return true;
}

bool TArquivoTemporario::escrever(const char* dados, size_t n) {
  if (!pendente.empty()) {
    size_t k = std::min(n, bloco - pendente.size());
    pendente.insert(pendente.end(), dados, dados + k);
    dados += k;
    n -= k;
    if (pendente.size() < bloco) return true;
    if (!gravarBlocos(pendente.data(), bloco)) return false;
    pendente.clear();
  }
  size_t inteiros = n - n % bloco;
  if (inteiros > 0 && !gravarBlocos(dados, inteiros)) return false;
  pendente.assign(dados + inteiros, dados + n);
  return true;
}

bool TArquivoTemporario::gravarBlocos(const char* dados, size_t n) {
  // Each block looked at once; a run of blocks with data is written at once.
  size_t inicio = 0;
  for (size_t i = 0; i <= n; i += bloco) {
    if (i < n && !soZeros(dados + i, bloco)) continue;
    if (i > inicio) {
      if (!gravarEm(fd.get(), dados + inicio, i - inicio, posicao + static_cast<int64_t>(inicio))) {
        return false;
      }
      fimEscrito = posicao + static_cast<int64_t>(i);
    }
    inicio = i + bloco;
  }
  posicao += static_cast<int64_t>(n);
  return true;
}

bool TArquivoTemporario::completar() {
  if (!soZeros(pendente.data(), pendente.size())) {
    if (!gravarEm(fd.get(), pendente.data(), pendente.size(), posicao)) return false;
    fimEscrito = posicao + static_cast<int64_t>(pendente.size());
  }
  posicao += static_cast<int64_t>(pendente.size());
  pendente.clear();
  return fimEscrito == posicao || ftruncate(fd.get(), posicao) == 0;
}

bool TArquivoTemporario::colocar(bool temData, time_t quando, bool duravel, std::string* motivo) {
  colocado = fecharEColocar(temData, quando, duravel);
  if (!colocado) *motivo = textoDoErro(errno);
  return colocado;
}

bool TArquivoTemporario::fecharEColocar(bool temData, time_t quando, bool duravel) {
  if (!completar()) return false;
  struct timespec tempos[2] = {{0, UTIME_OMIT}, {quando, 0}};
  if (temData && futimens(fd.get(), tempos) != 0) return false;
  if (duravel && fsync(fd.get()) != 0) return false;
  if (fd.fechar() != 0) return false;
  return renameat(pasta.get(), temporario.c_str(), pasta.get(), nome.c_str()) == 0;
}
