// One flush of a file system shared by the callers that ask at the same
// time, on its own: a fake flush that takes its time and fails on request,
// and one clock for every event, to check what each flush covered.
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
};

}  // namespace

TEST(TDescargaConjunta, cadaPedidoEhCobertoPorUmaDescargaQueComecouDepoisDele) {
  const int THREADS = 8, PEDIDOS = 30;
  const dev_t DISCO = makedev(0, 0xffffe);  // no file system of this process
  std::atomic<int> relogio{0};
  std::mutex trava;
  std::vector<TEvento> descargas, pedidos;  // a request: asked, returned, its result
  auto descarga = [&] {
    int inicio = ++relogio;
    std::this_thread::sleep_for(std::chrono::microseconds(500));
    std::lock_guard<std::mutex> guarda(trava);
    int erro = descargas.size() % 4 == 3 ? EIO : 0;
    descargas.push_back({inicio, ++relogio, erro});
    return erro;
  };
  std::vector<std::thread> threads;
  for (int t = 0; t < THREADS; ++t) {
    threads.emplace_back([&] {
      for (int p = 0; p < PEDIDOS; ++p) {
        int pedido = ++relogio;
        int erro = TDescargaConjunta::descarregar(DISCO, descarga);
        std::lock_guard<std::mutex> guarda(trava);
        pedidos.push_back({pedido, ++relogio, erro});
      }
    });
  }
  for (std::thread& t : threads) t.join();
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
    if (cobre->erro != 0) {
      EXPECT_EQ(pedido.erro, EIO) << "a failed flush passed for a good one";
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
