// Walks that run out of memory part way must say so, never pass a shorter
// result for the whole one. The test program's allocator fails on request.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <new>
#include <string>

#include "FalhaDeMemoria.h"
#include "FileManager.h"
#include "Temporario.h"

std::atomic<long> alocacoesAteFalhar{-1};

void* operator new(std::size_t n) {
  long restantes = alocacoesAteFalhar.load(std::memory_order_relaxed);
  while (restantes >= 0 && !alocacoesAteFalhar.compare_exchange_weak(restantes, restantes - 1)) {
  }
  if (restantes == 0) throw std::bad_alloc();
  void* p = std::malloc(n == 0 ? 1 : n);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}

// The compiler cannot see that these frees match the malloc above.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
#pragma GCC diagnostic pop

TEST(FalhaDeMemoria, percursoSemMemoriaFalhaInteiroNuncaPelaMetade) {
  PastaTemporaria raiz;
  const int PASTAS = 20, ARQUIVOS = 10;
  for (int p = 0; p < PASTAS; ++p) {
    std::string pasta = raiz / ("p" + std::to_string(p));
    std::filesystem::create_directories(pasta + "/fundo");
    for (int a = 0; a < ARQUIVOS; ++a) escreverArquivo(pasta + "/f" + std::to_string(a), "12");
    escreverArquivo(pasta + "/fundo/g", "1");
  }
  const long TOTAL = PASTAS * (ARQUIVOS + 1), BYTES = PASTAS * (ARQUIVOS * 2 + 1);
  FileManager fileManager;
  int falhas = 0;
  bool completou = false;
  for (long depois = 0; !completou; depois += 7) {
    long recebidos = 0;
    int64_t soma = -1;
    bool listou = false;
    alocacoesAteFalhar = depois;
    try {
      fileManager.getTodosArquivosDentroDoDiretorio(raiz.caminho(),
                                                    [&](InfoObjectLinux&) { ++recebidos; });
      listou = true;
      soma = fileManager.GetSizeDir(raiz.caminho());
      completou = true;
    } catch (const std::bad_alloc&) {
      ++falhas;
    }
    alocacoesAteFalhar = -1;
    if (listou) {
      EXPECT_EQ(recebidos, TOTAL) << "a listing that returned after " << depois;
    }
    if (completou) {
      EXPECT_EQ(soma, BYTES) << "a size that returned after " << depois;
    }
  }
  EXPECT_GT(falhas, 10) << "the allocator must have failed walks at many points";
}
