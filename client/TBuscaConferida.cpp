#include "TBuscaConferida.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "InfoObjectLinux.h"
#include "TUtils.h"

TBuscaConferida::TBuscaConferida(int64_t tamanho, const std::string& data, bool temData,
                                 time_t quando)
    : tamanho(tamanho), data(data), temData(temData), quando(quando) {}

TBuscaConferida::~TBuscaConferida() {
  if (fd >= 0) close(fd);
  if (!temporario.empty() && !renomeado) unlinkat(pastaFd, temporario.c_str(), 0);
  if (pastaFd >= 0) close(pastaFd);
}

int TBuscaConferida::criarTemporario(int pastaFd, const std::string& nome,
                                     std::string* temporario) {
  // Private, since the protocol does not say who may read the original.
  for (int tentativa = 0; tentativa < 100; ++tentativa) {
    *temporario = nomeTemporarioPara(nome, ".vornacli");
    int fd = openat(pastaFd, temporario->c_str(),
                    O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  return -1;
}

bool TBuscaConferida::criar(int pasta, const std::string& nomeFinal) {
  nome = nomeFinal;
  pastaFd = fcntl(pasta, F_DUPFD_CLOEXEC, 0);
  if (pastaFd < 0) return false;
  fd = criarTemporario(pastaFd, nome, &temporario);
  if (fd < 0) temporario.clear();
  return fd >= 0;
}

TBuscaConferida::TVeredito TBuscaConferida::julgar(const InfoObjectLinux& depois) const {
  if (anunciado < 0) return SUMIU;
  // The agent reads the file after its record was taken and stops at the
  // size it announced: only a new record shows what changed meanwhile.
  bool igual = depois.getTipo() == ARQUIVO && depois.getTamanho() == tamanho &&
               depois.getDataUltimaModificacao() == data && anunciado == tamanho && !excesso;
  if (igual) return leituraFalhou ? NAO_LIDA : INTEIRA;
  if (leituraFalhou && depois.getTamanho() < anunciado) return ENCOLHEU;
  return MUDOU;
}

bool TBuscaConferida::concluir(std::string* razao) {
  struct timespec tempos[2] = {{0, UTIME_OMIT}, {quando, 0}};
  bool ok = !temData || futimens(fd, tempos) == 0;
  int erro = errno;
  int r = close(fd);
  fd = -1;
  if (ok && r != 0) {
    ok = false;
    erro = errno;
  }
  // No fsync here: the whole copy is made durable once, at its end.
  if (ok && renameat(pastaFd, temporario.c_str(), pastaFd, nome.c_str()) != 0) {
    ok = false;
    erro = errno;
  }
  if (!ok) *razao = textoDoErro(erro);
  renomeado = ok;
  return ok;
}
