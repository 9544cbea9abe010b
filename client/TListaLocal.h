#ifndef TLISTALOCAL_H
#define TLISTALOCAL_H

#include <sys/types.h>

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

class TContagemCopia;
class TFiltroCopia;

// What a restore copies: the folders and regular files below a local
// folder, folders before what they hold, each link or special file skipped
// and counted; what the copy's filter leaves out is neither listed nor, a
// folder, entered. Filled by the thread that runs the restore, before any
// channel runs.
class TListaLocal {
 public:
  // A local folder and what became of it on the agent.
  struct TPasta {
    std::string relativo;
    time_t quando;
    size_t filhas = 0, fimFilhas = 0;  // its sub-folders: [filhas, fimFilhas) of the list
    bool pronta = false;               // a real folder on the agent: what it holds may go there
  };
  struct TArquivo {
    std::string origem;
    std::string destino;  // on the agent
    int64_t tamanho;
    int pasta;             // in the list of folders
    time_t modificacao;    // the second, as the agent's records tell it
    bool ausente = false;  // not among the agent's files when the run began
  };

  // What cannot be read, and what is skipped, is counted in contagem,
  // which must outlive this. filtro may be null (nothing left out); it
  // must outlive this otherwise.
  TListaLocal(TContagemCopia* contagem, const std::string& local, const std::string& remoto,
              const TFiltroCopia* filtro);

  // Walks local; the root is the first folder.
  void listar();

  std::vector<TPasta> pastas;
  std::vector<TArquivo> arquivos;

 private:
  void lerPasta(int indice);
  void acolherEntrada(int indice, int pastaFd, const std::string& relativo, const char* nome);
  void ignorar(const std::string& caminho, mode_t modo);

  TContagemCopia* contagem;
  std::string local, remoto;
  const TFiltroCopia* filtro;
};

#endif
