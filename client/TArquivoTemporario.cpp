#include "TArquivoTemporario.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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
    if (fd.valido() || errno != EEXIST) return fd.valido();
  }
  return false;
}

bool TArquivoTemporario::colocar(bool temData, time_t quando, bool duravel, std::string* motivo) {
  colocado = fecharEColocar(temData, quando, duravel);
  if (!colocado) *motivo = textoDoErro(errno);
  return colocado;
}

bool TArquivoTemporario::fecharEColocar(bool temData, time_t quando, bool duravel) {
  struct timespec tempos[2] = {{0, UTIME_OMIT}, {quando, 0}};
  if (temData && futimens(fd.get(), tempos) != 0) return false;
  if (duravel && fsync(fd.get()) != 0) return false;
  if (fd.fechar() != 0) return false;
  return renameat(pasta.get(), temporario.c_str(), pasta.get(), nome.c_str()) == 0;
}
