#ifndef TDESCARGACONJUNTA_H
#define TDESCARGACONJUNTA_H

#include <sys/types.h>

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>

// One flush of a whole file system shared by every connection that asks for
// one while another is under way: the next flush, started once the current
// one ends, serves all who asked meanwhile. A flush covers only the requests
// made before it started, whose data was written before they asked. Any
// thread.
class TDescargaConjunta {
 public:
  // Flushes the file system disco, running descarga (which flushes it and
  // gives 0 or an errno) only when this caller's request is not covered by a
  // flush another caller runs. 0, or the errno of a flush that covered this
  // request or ran alongside it: never 0 unless a flush that started after
  // the request succeeded.
  static int descarregar(dev_t disco, const std::function<int()>& descarga);
  // The same with syncfs through fd, a descriptor of a file on disco that
  // can be flushed (not a path-only one).
  static int descarregar(dev_t disco, int fd);

 private:
  struct TDisco {
    std::mutex trava;
    std::condition_variable pronto;
    uint64_t pedidos = 0;  // requests made
    uint64_t feitos = 0;   // requests a finished flush covered
    bool emCurso = false;
    uint64_t falhas = 0;  // failed flushes
    int erro = 0;         // errno of the last of them
  };
  static TDisco& discoDe(dev_t disco);
};

#endif
