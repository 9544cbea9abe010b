#ifndef TDESCARGACONJUNTA_H
#define TDESCARGACONJUNTA_H

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <vector>

// One journal commit shared by every connection that asks for one while
// another is under way, on file systems where a commit holds every name
// given before it (TRegraDescarga::UMA_CONFIRMACAO). Names are given one at
// a time and numbered in that order (nomear); a commit is asked for with the
// number of the caller's latest name (confirmar). The next flush, started
// once the current one ends, serves all who asked meanwhile: it is an fsync
// of the file with the highest number among them, which was named after
// every other name it covers, so its commit holds them all. A flush covers
// only the requests made before it started. Any thread.
class TDescargaConjunta {
 public:
  // Runs dar, which names a stored file, and numbers the name after every
  // name given before it. False, with no number, when dar fails.
  static bool nomear(const std::function<bool()>& dar, uint64_t* numero);

  // Makes the names numbered up to numero on disco durable, for the
  // connection conexao: fd is the file named numero, open until this
  // returns. descarga flushes a file and gives 0 or an errno (fsync). 0, or
  // the errno of a flush that covered this request or ran alongside it:
  // never 0 unless a flush that started after the request succeeded.
  // A flush about to start waits, no longer than half a flush takes, for
  // the connections that asked for one of the last two flushes and have not
  // asked yet: those that each wait for their reply come back together, and
  // one flush for all of them costs less than one of their own after it.
  static int confirmar(dev_t disco, const void* conexao, uint64_t numero, int fd,
                       const std::function<int(int)>& descarga = sincronizar);
  // The connection conexao asks no more on disco (it ended, or turned to
  // other commands): no flush waits for it.
  static void sair(dev_t disco, const void* conexao);

  static int sincronizar(int fd);

 private:
  struct TPedido {
    uint64_t pedido, numero;
    int fd;
  };
  struct TDisco {
    std::mutex trava;
    std::condition_variable pronto;   // a flush ended
    std::condition_variable chegou;   // a request was made
    uint64_t pedidos = 0;  // requests made
    uint64_t feitos = 0;   // requests a finished flush covered
    bool emCurso = false;
    uint64_t falhas = 0;  // failed flushes
    int erro = 0;         // errno of the last of them
    std::vector<TPedido> aguardando;  // requests not yet covered
    uint64_t descargas = 0;           // flushes started
    // The connections that asked, each with the count of flushes started
    // when it last did.
    std::map<const void*, uint64_t> conexoes;
    std::chrono::microseconds duracao{0};  // how long a flush takes, averaged
  };
  static TDisco& discoDe(dev_t disco);
  // Waits, holding the flush, for the connections likely on their way.
  static void esperarConexoes(TDisco& d, std::unique_lock<std::mutex>& guarda);
};

#endif
