#ifndef TPERCURSO_H
#define TPERCURSO_H

#include <sys/types.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "TRegrasPercurso.h"

// One directory being walked. Owns its descriptor.
struct TQuadro {
  TQuadro() = default;
  TQuadro(TQuadro&& outro) noexcept
      : fd(outro.fd),
        dev(outro.dev),
        ino(outro.ino),
        nome(std::move(outro.nome)),
        caminho(std::move(outro.caminho)),
        entradas(std::move(outro.entradas)),
        proxima(outro.proxima) {
    outro.fd = -1;
  }
  TQuadro& operator=(TQuadro&&) = delete;
  ~TQuadro() { fechar(); }
  void fechar() {
    if (fd >= 0) close(fd);
    fd = -1;
  }

  int fd = -1;  // -1 while closed to spare descriptors in very deep trees
  dev_t dev = 0;
  ino_t ino = 0;
  std::string nome;  // its name in the directory below it on the stack
  std::string caminho;
  std::vector<TEntrada> entradas;
  size_t proxima = 0;
};

// One plain walk on the calling thread, iterative so that no tree is too
// deep for the thread's stack. Each directory is read once, and each entry's
// status is queried once, relative to its open directory; what becomes of
// an entry is the rules' decision, and records and the sum go to them in
// walk order. Made for one walk on the thread that made regras, which it
// must keep alive.
class TPercurso {
 public:
  explicit TPercurso(TRegrasPercurso* regras) : regras(regras) {}

  // Walks dirname (nothing for a blocked, missing or unreadable folder).
  void executar(const std::string& dirname);
  // Walks the folder open at fd (taken over), known by caminho; the file
  // system is checked when verificarSistema (a root or a mount point).
  void executarEm(int fd, const std::string& caminho, bool verificarSistema);

  // Appends the entries of the open folder fd but "." and "..", reading
  // through bloco. False when it could not be read at all.
  static bool lerEntradas(int fd, std::vector<char>* bloco, std::vector<TEntrada>* entradas);
  // The folder open at fd, to be walked: its status into *st and its
  // entries, unless it holds a blocked file system (asked when
  // verificarSistema). False when it must not or cannot be walked.
  static bool lerDiretorio(int fd, bool verificarSistema, std::vector<char>* bloco,
                           std::vector<TEntrada>* entradas, struct stat* st);

 private:
  static const size_t DESCRITORES_ABERTOS = 128;

  // Takes fd over: reads the directory's entries into quadro. False when
  // the directory must not or cannot be walked.
  bool prepararQuadro(int fd, TQuadro* quadro, bool verificarSistema);
  // Entry of the folder at pilha[indice], through the rules; a folder to
  // walk goes on the stack.
  void visitar(size_t indice, const TEntrada& entrada);
  void descer(size_t indice, const TEntrada& entrada, std::string caminho, bool pontoDeMontagem);
  void sairDoQuadro();

  bool mesmoDiretorio(int fd, const TQuadro& quadro);

  // A parent closed to spare descriptors, found again through "..": the
  // cheap way, which needs search permission on the child.
  bool reabrirPeloFilho(size_t pai);

  // Otherwise down again by name from the nearest ancestor still open,
  // through folders the walk has already searched.
  void reabrirPeloAncestral(size_t pai);

  TRegrasPercurso* regras;
  std::vector<TQuadro> pilha;
  std::vector<char> bloco;
};

#endif
