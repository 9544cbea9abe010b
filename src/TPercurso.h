#ifndef TPERCURSO_H
#define TPERCURSO_H

#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#include "FileManager.h"
#include "InfoObjectLinux.h"
#include "TConversorHora.h"

// What a walk does with what it meets.
enum TModoPercurso {
  LISTAR_NIVEL,       // one level: folders unloaded, files loaded
  PASTAS_DO_NIVEL,    // one level: folders only
  ARQUIVOS_DA_ARVORE, // whole tree: files only
  SOMAR_ARVORE,       // whole tree: sum of file sizes
};

struct TEntrada {
  std::string nome;
  unsigned char tipo;  // d_type: DT_UNKNOWN when the file system does not say
};

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

// Hands a walk's file records to its receiver, reusing one path and one
// record for every file: no allocation per file once they have grown.
struct TEmissorArquivo {
  void emitir(const std::string& pasta, const std::string& nome, int64_t tamanho, time_t mtime,
              const TReceptorInfoObjectLinux& receptor);

  std::string caminho;
  InfoObjectLinux registro;
  TConversorHora conversorHora;
};

// One plain walk on the calling thread, iterative so that no tree is too
// deep for the thread's stack. Each directory is read once, and each entry's
// status is queried once, relative to its open directory. Made for one walk
// by FileManager; records go to the receiver in walk order.
class TPercurso {
 public:
  TPercurso(const FileManager& fileManager, TModoPercurso modo,
            const TReceptorInfoObjectLinux* receptor)
      : fileManager(fileManager), modo(modo), receptor(receptor) {}

  // Only files modified strictly after quando.
  void filtrarDesde(time_t quando);
  int64_t getSoma() const { return soma; }

  // Walks dirname (nothing for a blocked, missing or unreadable folder).
  void executar(const std::string& dirname);
  // Walks the folder open at fd (taken over), known by caminho; the file
  // system is checked when verificarSistema (a root or a mount point).
  void executarEm(int fd, const std::string& caminho, bool verificarSistema);

  // Whether the agent could open the file for reading, asked without
  // opening it: the same answer the kernel would give, one call cheaper.
  static bool legivel(int dirfd, const char* nome);
  // A proc or selinux file system (or one that cannot be told): never walked.
  static bool sistemaDeArquivosBloqueado(int fd);
  // Appends the entries of the open folder fd but "." and "..", reading
  // through bloco. False when it could not be read at all.
  static bool lerEntradas(int fd, std::vector<char>* bloco, std::vector<TEntrada>* entradas);
  // The folder open at fd, to be walked: its status into *st and its
  // entries, unless it holds a blocked file system (asked when
  // verificarSistema). False when it must not or cannot be walked.
  static bool lerDiretorio(int fd, bool verificarSistema, std::vector<char>* bloco,
                           std::vector<TEntrada>* entradas, struct stat* st);
  // The folder nome of dirfd, a mount point, holds a blocked file system.
  static bool montagemBloqueada(int dirfd, const char* nome);
  // The type a folder size prints for the special entry nome: a link's
  // target's, when there is one.
  static mode_t tipoEspecial(int dirfd, const char* nome, mode_t modoLink);

 private:
  static const size_t DESCRITORES_ABERTOS = 128;

  // Takes fd over: reads the directory's entries into quadro. False when
  // the directory must not or cannot be walked.
  bool prepararQuadro(int fd, TQuadro* quadro, bool verificarSistema);


  void visitar(size_t indice, const TEntrada& entrada);

  void escreverTipoEspecial(int dirfd, const char* nome, mode_t modoLink);

  void arquivo(const TQuadro& quadro, const TEntrada& entrada, const struct stat& st);

  void pasta(size_t indice, const TEntrada& entrada, const struct stat& st);


  void sairDoQuadro();

  bool mesmoDiretorio(int fd, const TQuadro& quadro);

  // A parent closed to spare descriptors, found again through "..": the
  // cheap way, which needs search permission on the child.
  bool reabrirPeloFilho(size_t pai);

  // Otherwise down again by name from the nearest ancestor still open,
  // through folders the walk has already searched.
  void reabrirPeloAncestral(size_t pai);

  const FileManager& fileManager;
  TModoPercurso modo;
  const TReceptorInfoObjectLinux* receptor;
  bool filtrarData = false;
  time_t desde = 0;
  int64_t soma = 0;
  std::vector<TQuadro> pilha;
  std::vector<char> bloco;
  TEmissorArquivo emissor;
};

#endif
