#ifndef TEMPORARIO_H
#define TEMPORARIO_H

#include <sys/stat.h>

#include <ctime>
#include <string>

#include "TEnderecoIP.h"

// A fresh folder under the system's temporary directory, removed with
// everything in it when the object goes.
class PastaTemporaria {
 public:
  PastaTemporaria();
  ~PastaTemporaria();
  PastaTemporaria(const PastaTemporaria&) = delete;
  PastaTemporaria& operator=(const PastaTemporaria&) = delete;

  const std::string& caminho() const { return pasta; }
  std::string operator/(const std::string& nome) const { return pasta + "/" + nome; }

 private:
  std::string pasta;
};

// Runs a test body inside a fresh temporary working directory and returns to
// the previous one afterwards.
class DiretorioDeTrabalho {
 public:
  DiretorioDeTrabalho();
  ~DiretorioDeTrabalho();
  const std::string& caminho() const { return pasta.caminho(); }

 private:
  PastaTemporaria pasta;
  std::string anterior;
};

void escreverArquivo(const std::string& caminho, const std::string& conteudo);
std::string lerArquivo(const std::string& caminho);
// Sets a path's access and modification times to the second quando; fails
// the test when it cannot.
void tocar(const std::string& caminho, time_t quando);
// The status of caminho (links followed); fails the test when there is none.
struct stat estado(const std::string& caminho);
// raiz and every entry below it (links not followed), one a line in path
// order: kind, size, inode, modification and change times to the
// nanosecond, and what a file or link holds. Equal before and after means
// nothing was made, removed, written or given a time.
std::string retratoDaArvore(const std::string& raiz);

// Whether this user may write the agent's logs (in /var/log). Where it may
// not, a test passes over what only a log would show.
bool logsGravaveis();

// The log of a process number no agent of this test uses, for a piece that
// logs under it; removed before and after.
class LogDoTeste {
 public:
  LogDoTeste();
  ~LogDoTeste();
  LogDoTeste(const LogDoTeste&) = delete;
  LogDoTeste& operator=(const LogDoTeste&) = delete;
  std::string ler() const;

  const int pid;
  const std::string caminho;
};

// The address written texto; fails the test when it is none.
TEnderecoIP enderecoDe(const std::string& texto);

// The mask of this process's new files' modes.
mode_t umaskAtual();

// Counts non-overlapping occurrences of trecho in texto.
int contar(const std::string& texto, const std::string& trecho);

#endif
