#ifndef TREGRASPERCURSO_H
#define TREGRASPERCURSO_H

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <ctime>
#include <functional>
#include <string>
#include <thread>

#include "InfoObjectLinux.h"
#include "TConversorHora.h"
#include "TPastasPermitidas.h"

// System directories no walk lists, enters or sizes: these paths themselves
// and everything beneath them, however many "/" separate their parts.
const char* const origensBloqueadas[] = {"/proc", "/selinux"};
const int quanidadeDeOrigemBloqueadas = 2;

// Receives the records of a walk one at a time, in walk order.
typedef std::function<void(InfoObjectLinux&)> TReceptorInfoObjectLinux;

// What a walk does with what it meets.
enum TModoPercurso {
  LISTAR_NIVEL,        // one level: folders unloaded, files loaded
  PASTAS_DO_NIVEL,     // one level: folders only
  ARQUIVOS_DA_ARVORE,  // whole tree: files only
  SOMAR_ARVORE,        // whole tree: sum of file sizes
};

struct TEntrada {
  std::string nome;
  unsigned char tipo;  // d_type: DT_UNKNOWN when the file system does not say
};

// What becomes of one entry.
enum TDestino : unsigned char {
  ENTRADA_IGNORADA,
  ENTRADA_ARQUIVO,   // reported, or added to the sum
  ENTRADA_PASTA,     // reported as an unloaded record
  ENTRADA_DESCER,    // walked into
  ENTRADA_ESPECIAL,  // its type printed (folder sizes)
};

// What the rules made of one entry, from its status.
struct TDadosEntrada {
  TDestino destino = ENTRADA_IGNORADA;
  bool legivel = false;          // files: the agent may open it for reading
  bool pontoDeMontagem = false;  // folders: on another file system than its parent
  mode_t modo = 0;               // special entries: the type to print
  int64_t tamanho = 0;
  time_t mtime = 0;
};

// The rules every walk applies, written once: which folders may be walked,
// what each entry is and becomes, and how its record is made and handed to
// the receiver, which it must keep alive. Made on the stack for one walk by
// its caller; classificar may run on any thread at once, everything that
// hands over or sums (consumir) only on the thread that made it.
class TRegrasPercurso {
 public:
  // Where pastas limits what may be looked at, the walk stays inside its
  // folders; refusals go to the log of process pidLog.
  TRegrasPercurso(TModoPercurso modo, const TReceptorInfoObjectLinux* receptor, int pidLog = 0,
                  const TPastasPermitidas* pastas = TPastasPermitidas::global());
  virtual ~TRegrasPercurso();

  TRegrasPercurso(const TRegrasPercurso&) = delete;
  TRegrasPercurso& operator=(const TRegrasPercurso&) = delete;

  // Only files modified strictly after quando are reported (a sum takes
  // them all); called before the walk starts.
  void filtrarDesde(time_t quando);
  int64_t getSoma() const { return soma; }

  // Entry of the folder pasta, open at dirfd on device dev. The path of a
  // folder to walk into goes to *caminho.
  void classificar(int dirfd, dev_t dev, const std::string& pasta, const TEntrada& entrada,
                   TDadosEntrada* dados, std::string* caminho) const;
  // Hands over or sums what classificar found; true when the walk must go
  // into the folder.
  bool consumir(const std::string& pasta, const TEntrada& entrada, const TDadosEntrada& dados);

  // The folder dirname open to be walked; -1 when blocked, unreadable or
  // outside the folders that may be looked at.
  int abrirOrigem(const std::string& dirname) const;
  // The sub-folder nome of dirfd open to be walked, never through a link
  // (nor, where folders are limited, into a mount that is not one of them).
  int abrirSubpasta(int dirfd, const char* nome) const;
  // A proc or selinux file system (or one that cannot be told): never walked.
  static bool sistemaDeArquivosBloqueado(int fd);
  // The folder nome of dirfd, a mount point, holds a blocked file system.
  static bool montagemBloqueada(int dirfd, const char* nome);
  // Whether the agent could open the file for reading, asked without
  // opening it: the same answer the kernel would give, one call cheaper.
  static bool legivel(int dirfd, const char* nome);
  // The type a folder size prints for the special entry nome: a link's
  // target's, when there is one.
  static mode_t tipoEspecial(int dirfd, const char* nome, mode_t modoLink);

  // True for /proc, /selinux and every path beneath them.
  static bool estaNaOrigensBloqueadas(const std::string& value);
  // The path of entry nome read from directory dirname, into *caminho.
  static void montarCaminho(const std::string& dirname, const std::string& nome,
                            std::string* caminho);
  static std::string montarCaminho(const std::string& dirname, const std::string& nome);
  // Prints the file type of modo on standard output.
  static void writeType(mode_t modo);

 private:
  void classificarArquivo(int dirfd, const char* nome, const struct stat& st,
                          TDadosEntrada* dados) const;
  void classificarPasta(int dirfd, dev_t dev, const std::string& pasta, const TEntrada& entrada,
                        const struct stat& st, TDadosEntrada* dados, std::string* caminho) const;
  void classificarEspecial(int dirfd, const char* nome, mode_t modoLink,
                           TDadosEntrada* dados) const;
  void consumirArquivo(const std::string& pasta, const TEntrada& entrada,
                       const TDadosEntrada& dados);
  bool umNivel() const { return modo == LISTAR_NIVEL || modo == PASTAS_DO_NIVEL; }
  // Hands one record over, reusing one path and one record for every entry:
  // no allocation per entry once they have grown.
  void entregar(const std::string& pasta, const std::string& nome, TipoObjetoLinux tipo,
                int64_t tamanho, const char* data, size_t n);

  // Walks limited to the folders that may be looked at.
  bool restrito() const;

  TModoPercurso modo;
  const TReceptorInfoObjectLinux* receptor;
  int pidLog;
  const TPastasPermitidas* pastas;
  bool filtrarData = false;
  time_t desde = 0;
  int64_t soma = 0;
  std::thread::id dono;
  std::string caminho;
  InfoObjectLinux registro;
  TConversorHora conversorHora;
};

#endif
