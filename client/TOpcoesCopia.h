#ifndef TOPCOESCOPIA_H
#define TOPCOESCOPIA_H

#include <cstdint>

class TFiltroCopia;
class TRelatorioSimulacao;

// How one backup or restore runs: given to its coordinator (TCopiaArvore)
// when it is made, which hands each part the settings it needs when it
// makes that part. Read only once the copy is made.
struct TOpcoesCopia {
  TOpcoesCopia(int conexoes, int bloco) : conexoes(conexoes), bloco(bloco) {}

  int conexoes;  // logged-in connections at once (at least one is used)
  int bloco;     // bytes of a chunk of a fetch or a store
  // Names on standard error each entry skipped, refused or removed.
  bool verboso = false;
  // A backup also removes from its copy what is gone from the agent.
  bool apagar = false;
  // A restore sends a store only once the one before it is acknowledged, as
  // a server that waits for each reply does: the agent commits each alone.
  bool umaGravacaoPorVez = false;
  // What the copy leaves out (null: nothing); it must outlive the copy.
  const TFiltroCopia* filtro = nullptr;
  // A dry run: nothing changes on either side, and each file that would be
  // fetched, stored or removed goes to this report (null: a real run),
  // which must outlive the copy.
  TRelatorioSimulacao* simulacao = nullptr;
  // The cap of the connections' bandwidth, shown on the progress line (0: none).
  int64_t limiteBanda = 0;
};

#endif
