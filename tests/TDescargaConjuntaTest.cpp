// One commit of a file system shared by the connections that ask at the same
// time, on its own: a fake flush that takes its time and fails on request,
// and one clock for every event, to check what each flush covered and
// through which file.
#include <gtest/gtest.h>
#include <sys/sysmacros.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "TDescargaConjunta.h"

namespace {

struct TEvento {
  int inicio, fim, erro;  // a flush: started, ended, its result
  uint64_t numero;        // the number of the name whose file it flushed
};

}  // namespace

TEST(TDescargaConjunta, cadaPedidoEhCobertoPorUmaDescargaQueComecouDepoisDeleEPassaPeloUltimoNome) {
  const int THREADS = 8, PEDIDOS = 30;
  const dev_t DISCO = makedev(0, 0xffffe);  // no file system of this process
  std::atomic<int> relogio{0};
  std::mutex trava;
  // A request: asked, returned, its result, its name's number.
  std::vector<TEvento> descargas, pedidos;
  std::vector<uint64_t> numeroDoDescritor(THREADS + 1);  // by the fake fd, 1 to THREADS
  auto descarga = [&](int fd) {
    int inicio = ++relogio;
    std::this_thread::sleep_for(std::chrono::microseconds(500));
    std::lock_guard<std::mutex> guarda(trava);
    int erro = descargas.size() % 4 == 3 ? EIO : 0;
    descargas.push_back({inicio, ++relogio, erro, numeroDoDescritor.at(static_cast<size_t>(fd))});
    return erro;
  };
  // A connection that asked once and went quiet without saying so: flushes
  // wait for it only briefly, never for good.
  int ociosa = 0;
  uint64_t numeroOcioso = 0;
  ASSERT_TRUE(TDescargaConjunta::nomear([] { return true; }, &numeroOcioso));
  EXPECT_EQ(TDescargaConjunta::confirmar(DISCO, &ociosa, numeroOcioso, 0, [](int) { return 0; }), 0);
  std::vector<std::thread> threads;
  for (int t = 1; t <= THREADS; ++t) {
    threads.emplace_back([&, t] {
      for (int p = 0; p < PEDIDOS; ++p) {
        uint64_t numero = 0;
        ASSERT_TRUE(TDescargaConjunta::nomear([] { return true; }, &numero));
        {
          std::lock_guard<std::mutex> guarda(trava);
          numeroDoDescritor[static_cast<size_t>(t)] = numero;
        }
        int pedido = ++relogio;
        int erro = TDescargaConjunta::confirmar(DISCO, &numeroDoDescritor[static_cast<size_t>(t)],
                                                numero, t, descarga);
        std::lock_guard<std::mutex> guarda(trava);
        pedidos.push_back({pedido, ++relogio, erro, numero});
      }
      TDescargaConjunta::sair(DISCO, &numeroDoDescritor[static_cast<size_t>(t)]);
    });
  }
  for (std::thread& t : threads) t.join();
  TDescargaConjunta::sair(DISCO, &ociosa);
  EXPECT_LT(descargas.size(), static_cast<size_t>(THREADS * PEDIDOS) / 2) << "flushes are shared";
  for (size_t i = 1; i < descargas.size(); ++i) {
    ASSERT_GT(descargas[i].inicio, descargas[i - 1].fim) << "one flush at a time";
  }
  for (const TEvento& pedido : pedidos) {
    // The flush that covered it: the first one started after it was made.
    const TEvento* cobre = nullptr;
    for (const TEvento& d : descargas) {
      if (d.inicio > pedido.inicio) {
        cobre = &d;
        break;
      }
    }
    ASSERT_NE(cobre, nullptr);
    EXPECT_LT(cobre->fim, pedido.fim) << "returned before a flush that started after it ended";
    // One of the flushes between its asking and its return went through a
    // file named after it, whose commit holds its name; one through an
    // earlier name's file would leave it out.
    bool porNomePosterior = false;
    for (const TEvento& d : descargas) {
      porNomePosterior |= d.inicio > pedido.inicio && d.fim < pedido.fim && d.numero >= pedido.numero;
    }
    EXPECT_TRUE(porNomePosterior) << "no flush through a name as late as number " << pedido.numero;
    if (pedido.erro == 0) {
      // A flush that started after its asking may still have begun before
      // it was counted: the one that served it is among those in its window.
      bool descargaBoa = false;
      for (const TEvento& d : descargas) {
        descargaBoa |= d.erro == 0 && d.inicio > pedido.inicio && d.fim < pedido.fim;
      }
      EXPECT_TRUE(descargaBoa) << "a failed flush passed for a good one";
    }
    if (pedido.erro != 0) {
      bool falhaPorPerto = false;
      for (const TEvento& d : descargas) {
        falhaPorPerto |= d.erro != 0 && d.fim > pedido.inicio && d.fim < pedido.fim;
      }
      EXPECT_TRUE(falhaPorPerto) << "a failure no flush of its time had";
    }
  }
}
