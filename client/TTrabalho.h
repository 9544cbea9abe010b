#ifndef TTRABALHO_H
#define TTRABALHO_H

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

#include "TLote.h"

// A copy's work list, shared by its connections: each file's size and
// folder in the order they go, large files first, and the cursor of what is
// taken. Made by the part that runs the copy from its files, before the
// channels run; tomarLote from any thread.
class TTrabalho {
 public:
  // Files from this size on go first, largest first, each alone, so that a
  // large one never starts last and holds the end of the run back.
  static const int64_t LIMIAR_GRANDE = 1 << 20;
  // What one connection takes from a list at a time: files of one folder
  // only, since connections creating files in the same folder wait for each
  // other on its lock, here and on the agent.
  static const size_t LOTE_ARQUIVOS = 128;
  static const int64_t LOTE_BYTES = 4 << 20;

  // Orders arquivos (of a type with tamanho and pasta) large first, and
  // lists them in that order.
  template <typename T>
  explicit TTrabalho(std::vector<T>* arquivos);

  TTrabalho(const TTrabalho&) = delete;
  TTrabalho& operator=(const TTrabalho&) = delete;

  // The next lot into *lote. False when the list is used up.
  bool tomarLote(TLote* lote);
  // The bytes of every file of the list.
  int64_t getBytes() const;

 private:
  std::vector<int64_t> tamanhos;
  std::vector<int> pastas;
  std::mutex trava;  // the cursor
  size_t cursor = 0;
};

template <typename T>
TTrabalho::TTrabalho(std::vector<T>* arquivos) {
  auto grandes = std::stable_partition(arquivos->begin(), arquivos->end(),
                                       [](const T& a) { return a.tamanho >= LIMIAR_GRANDE; });
  std::stable_sort(arquivos->begin(), grandes,
                   [](const T& a, const T& b) { return a.tamanho > b.tamanho; });
  tamanhos.reserve(arquivos->size());
  pastas.reserve(arquivos->size());
  for (const T& a : *arquivos) {
    tamanhos.push_back(a.tamanho);
    pastas.push_back(a.pasta);
  }
}

#endif
