#ifndef TPASTASPERMITIDAS_H
#define TPASTASPERMITIDAS_H

#include <sys/types.h>

#include <string>
#include <utility>
#include <vector>

// What a request does with a path, for the folders that allow it.
enum TAcessoCaminho {
  ACESSO_CONTEUDO,  // a fetch hands the content over
  ACESSO_CONSULTA,  // listings, sizes, records: what is there, not what it holds
  ACESSO_ESCRITA,   // a store, a time change, a folder creation
};

// The folders the backup server may read and write, and the backup-only
// mode: somenteLeitura refuses every change; pastasLeitura limits fetches
// and, with the write folders, listings and queries; pastasEscrita limits
// changes. A folder holds a path when the path resolves below it (see
// TResolvedorCaminho); "/" holds everything. Made by main at start-up
// (global() then answers for every connection) and read-only afterwards.
class TPastasPermitidas {
 public:
  // restringirLeitura false: every path may be read (leitura is ignored),
  // and the same for escrita. An empty list allows nothing.
  TPastasPermitidas(bool somenteLeitura, bool restringirLeitura, std::vector<std::string> leitura,
                    bool restringirEscrita, std::vector<std::string> escrita);
  virtual ~TPastasPermitidas();

  // Every path allowed for acesso, as without any key.
  bool livre(TAcessoCaminho acesso) const;
  // The reason no path at all is allowed for acesso (backup-only mode), or
  // empty.
  std::string vedado(TAcessoCaminho acesso) const;
  // The allowed folders for acesso whose text begins caminho, the longest
  // first, each with the rest of caminho below it: where to try resolving
  // it. Empty when caminho is in none (or not absolute).
  std::vector<std::pair<std::string, std::string>> candidatas(const std::string& caminho,
                                                              TAcessoCaminho acesso) const;
  // Whether the folder (dev, ino) is one of the allowed folders for acesso:
  // a file system mounted there may be walked into.
  bool ehPastaPermitida(dev_t dev, ino_t ino, TAcessoCaminho acesso) const;
  // The key whose folders apply to acesso, for log lines.
  static const char* chave(TAcessoCaminho acesso);

  // The process's folders, set once by main before the first connection;
  // null (everything allowed) until then.
  static void definirGlobal(const TPastasPermitidas* pastas);
  static const TPastasPermitidas* global();

 private:
  const std::vector<std::string>& pastasDe(TAcessoCaminho acesso) const;

  bool somenteLeitura;
  bool leituraLivre, consultaLivre, escritaLivre;
  std::vector<std::string> leitura, consulta, escrita;
};

#endif
