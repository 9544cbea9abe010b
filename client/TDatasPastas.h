#ifndef TDATASPASTAS_H
#define TDATASPASTAS_H

#include <ctime>
#include <string>
#include <vector>

class TCanal;
class TContagemCopia;

// The modification times of a copy's folders, given once every file is in
// place (a new file moves its folder's time), deepest first: a backup's
// local folders get the agent's times (command 10), a restore's folders on
// the agent get the local ones (command 12); a time that cannot be given is
// a warning of the copy's counts. Owned by one part of a copy; filled by
// one thread at a time, its times read while one channel runs.
class TDatasPastas {
 public:
  // contagem must outlive this.
  explicit TDatasPastas(TContagemCopia* contagem) : contagem(contagem) {}

  // relativo is below the copy's roots ("" is the root itself).
  void acrescentar(const std::string& relativo);
  void acrescentar(const std::string& relativo, time_t quando);

  // Backup: the agent's time of every folder below remoto, over canal.
  // False when the connection was lost.
  bool lerDoAgente(TCanal* canal, const std::string& remoto);
  // Backup: each folder below raiz (a local descriptor) gets its time.
  void aplicarLocais(int raiz) const;
  // Restore: each folder below remoto on the agent gets its time. False
  // when the connection was lost.
  bool aplicarNoAgente(TCanal* canal, const std::string& remoto) const;

 private:
  struct TPasta {
    std::string relativo;
    bool temData = false;
    time_t quando = 0;
  };

  // Indices into pastas, the deepest first.
  std::vector<size_t> maisFundasPrimeiro() const;
  bool lerData(TCanal* canal, size_t indice);

  TContagemCopia* contagem;
  std::vector<TPasta> pastas;
};

#endif
