#ifndef TCANAIS_H
#define TCANAIS_H

#include <cstddef>
#include <functional>
#include <memory>
#include <vector>

#include "TCanal.h"

class ClienteVorna;

// The channels of one copy, one a logged-in connection, and the run of a
// producer on every one of them at once. Owned by the copy's coordinator
// (TCopiaArvore), which opens and closes them on its thread; the parts that
// run the copy are given them when they are made, and use each channel as
// TCanal says.
class TCanais {
 public:
  // The producer for the channel of index i.
  typedef std::function<TCanal::TProdutor(size_t)> TFabrica;

  TCanais();
  ~TCanais();

  TCanais(const TCanais&) = delete;
  TCanais& operator=(const TCanais&) = delete;

  // conexoes channels (at least one): primeira, already logged in, and the
  // others made by conector, which each channel keeps to connect again.
  // False when one could not be made; the quantos() made stay open.
  bool abrir(std::unique_ptr<ClienteVorna> primeira, const TCanal::TConector& conector,
             int conexoes);
  // Runs on every channel at once the producer that fabrica gives for its
  // index, each on a thread of its own (the first on the caller's); false
  // when any connection was lost.
  bool executarTodos(const TFabrica& fabrica);
  TCanal* canal(size_t i) { return canais[i].get(); }
  size_t quantos() const { return canais.size(); }
  // Every channel closed, with the requests it still held.
  void fechar() { canais.clear(); }

 private:
  std::vector<std::unique_ptr<TCanal>> canais;
};

#endif
