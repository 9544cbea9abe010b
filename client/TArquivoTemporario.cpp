#include "TArquivoTemporario.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "TUtils.h"

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
  if (!escreverEsparso(fd.get(), dados, n, posicao, bloco, &buraco)) return false;
  posicao += static_cast<int64_t>(n);
  return true;
}

bool TArquivoTemporario::completar() {
  // The end of the last block: left out when it is zeros too.
  if (soZeros(pendente.data(), pendente.size())) {
    buraco = buraco || !pendente.empty();
  } else if (!escreverEsparso(fd.get(), pendente.data(), pendente.size(), posicao, bloco,
                              &buraco)) {
    return false;
  }
  posicao += static_cast<int64_t>(pendente.size());
  pendente.clear();
  // A hole at the very end leaves the file short of its length.
  return !buraco || ftruncate(fd.get(), posicao) == 0;
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
