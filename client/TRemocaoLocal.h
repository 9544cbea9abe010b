#ifndef TREMOCAOLOCAL_H
#define TREMOCAOLOCAL_H

#include <string>
#include <unordered_map>
#include <vector>

class TContagemCopia;
class TFiltroCopia;
class TRelatorioSimulacao;

// What a backup with --delete removes from its copy: the entries of one
// local folder that the agent's listing of that folder no longer has, whole
// trees included, always through descriptors of the folders themselves, so
// never through a symbolic link and never outside the copy. What the copy's
// filter leaves out stays, and so does a folder holding it. A dry run
// removes nothing and reports what it would remove. Used by the thread that
// reads the folder's listing; the counts, the filter and the report must
// outlive it.
class TRemocaoLocal {
 public:
  // The names the agent listed in one folder, true for its folders.
  typedef std::unordered_map<std::string, bool> TListados;

  // What is removed, or fails to be, is counted in contagem. filtro and
  // simulacao may be null: nothing left out, a real run.
  TRemocaoLocal(TContagemCopia* contagem, const TFiltroCopia* filtro,
                TRelatorioSimulacao* simulacao)
      : contagem(contagem), filtro(filtro), simulacao(simulacao) {}

  // Removes from the folder pastaFd (relativo below the copy's root) every
  // entry that is not in listados, or is there as the other kind (a real
  // folder here for a file there, anything else here for a folder there).
  void podar(int pastaFd, const std::string& relativo, const TListados& listados);
  // Whether the folder pastaFd holds anything (true when it cannot be read).
  static bool temEntradas(int pastaFd);

 private:
  struct TEntrada {
    std::string nome;
    bool pasta;  // a real folder, not a link to one
  };
  // What became of an entry: gone, kept (left out by the filter, or a
  // folder holding such), or not removed (reported).
  enum TFim { REMOVIDA, MANTIDA, FALHOU };

  // The entries of pastaFd; false with errno.
  static bool lerEntradas(int pastaFd, std::vector<TEntrada>* entradas);
  TFim remover(int paiFd, const TEntrada& entrada, const std::string& relativo);
  TFim removerPasta(int paiFd, const std::string& nome, const std::string& relativo);
  // The entry nome of paiFd unlinked (flags of unlinkat), or reported by a dry run.
  TFim apagar(int paiFd, const std::string& nome, int flags, const std::string& relativo);

  TContagemCopia* contagem;
  const TFiltroCopia* filtro;
  TRelatorioSimulacao* simulacao;
};

#endif
