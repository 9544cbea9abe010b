#ifndef TFILTROCOPIA_H
#define TFILTROCOPIA_H

#include <string>
#include <vector>

// What a backup or restore leaves out: the --exclude, --include and
// --exclude-from rules in the order given, read as rsync reads them. '*'
// matches within a name, '**' across folders; a pattern with a '/' is
// matched against the path below the copy's root (anchored there when it
// starts with '/', else against its last parts), one without against the
// name alone; a trailing '/' matches folders only; the first matching rule
// wins, and what none matches is kept. Filled by the main thread before the
// copy, then only read (any thread).
class TFiltroCopia {
 public:
  // Adds a rule; false when the pattern is empty.
  bool acrescentar(bool incluir, const std::string& padrao);
  // The rules of a file, one a line: "+ PATTERN" includes, "- PATTERN" or a
  // plain pattern excludes; blank lines and lines starting with '#' or ';'
  // are ignored. False with the reason in *erro.
  bool lerArquivo(const std::string& caminho, std::string* erro);

  bool vazio() const { return regras.empty(); }
  // relativo (below the copy's root, without a leading '/') is left out by
  // the first rule that matches it.
  bool excluido(const std::string& relativo, bool pasta) const;
  // The same for an entry of a whole-tree listing: left out as well when a
  // folder above it is (a walk would not have entered it).
  bool excluidoComPais(const std::string& relativo, bool pasta) const;

 private:
  struct TRegra {
    bool incluir;
    bool soPastas;                    // a trailing '/'
    bool ancorada;                    // a leading '/'
    bool soNome;                      // neither '/' nor "**": the last part only
    bool temDuplo;                    // a "**", which crosses folders
    int barras;                       // the '/' left in the pattern
    std::vector<std::string> partes;  // the pattern split at each "**"
  };
  bool casa(const TRegra& regra, const std::string& relativo) const;
  // texto matched whole by the parts of regra from parte on, with anything
  // (slashes too) between them.
  static bool casarPartes(const std::vector<std::string>& partes, size_t parte,
                          const std::string& texto);

  std::vector<TRegra> regras;
};

#endif
