#ifndef TSAIDAVORNACLI_H
#define TSAIDAVORNACLI_H

#include <cstdint>
#include <string>

class InfoObjectLinux;
struct TResumoCopia;

// How vornacli prints to standard output: records one a line, and a copy's
// summary, each plain or as one JSON object a line. Holds no state.
class TSaidaVornacli {
 public:
  // texto as a JSON string, quotes included.
  static std::string json(const std::string& texto);
  static void imprimirRegistro(const InfoObjectLinux& r, bool emJson);
  // The summary of a backup or restore named nome; parada says why a copy
  // that did not end (ok false) stopped.
  static void imprimirResumo(const char* nome, bool ok, const char* parada, const TResumoCopia& r,
                             bool emJson);
  // One line of a dry run: what would be done (acao: "fetch", "store",
  // "remove") to caminho, of bytes bytes (-1: not said).
  static void imprimirAcao(const char* acao, const std::string& caminho, int64_t bytes,
                           bool emJson);

 private:
  static const char* nomeDoTipo(int tipo);
};

#endif
