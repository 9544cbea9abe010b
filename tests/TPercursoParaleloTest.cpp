#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "MemoryStream.h"
#include "TPercursoParalelo.h"
#include "TPoolLeitura.h"
#include "Temporario.h"

namespace {

// Every kind of entry, a folder of several blocks, many small folders and a
// chain deeper than the part walked in parallel, with files at every level.
void criarArvore(const std::string& raiz) {
  namespace fs = std::filesystem;
  uint64_t x = 20261207;
  auto quando = [&] {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    return 1500000000 + static_cast<time_t>(x % 300000000);
  };
  fs::create_directories(raiz + "/grande");
  for (int i = 0; i < 700; ++i) {
    escreverArquivo(raiz + "/grande/f" + std::to_string(i), std::string(i % 7, 'g'));
    tocar(raiz + "/grande/f" + std::to_string(i), quando());
    if (i % 100 == 0) fs::create_directories(raiz + "/grande/d" + std::to_string(i) + "/x");
  }
  for (int p = 0; p < 40; ++p) {
    std::string pasta = raiz + "/p" + std::to_string(p) + "/s";
    fs::create_directories(pasta);
    for (int a = 0; a < 15; ++a) {
      escreverArquivo(pasta + "/a" + std::to_string(a), std::string(a, 'a'));
      tocar(pasta + "/a" + std::to_string(a), quando());
    }
  }
  std::string fundo = raiz + "/fundo";
  for (int nivel = 0; nivel < 70; ++nivel) {
    fundo += "/n" + std::to_string(nivel);
    fs::create_directories(fundo + "/lado");
    escreverArquivo(fundo + "/f", "fundo");
    escreverArquivo(fundo + "/lado/g", "lado");
    tocar(fundo + "/f", quando());
  }
  fs::create_directories(raiz + "/proc");
  fs::create_directories(raiz + "/vazia");
  escreverArquivo(raiz + "/proc/p", "p");
  escreverArquivo(raiz + "/segredo", "1234");
  chmod((raiz + "/segredo").c_str(), 0);
  fs::create_symlink("grande", raiz + "/link-pasta");
  fs::create_symlink("segredo", raiz + "/link");
  fs::create_symlink("nada", raiz + "/quebrado");
  mkfifo((raiz + "/fifo").c_str(), 0644);
}

// A walk's records as the bytes of a reply, and its sum.
struct TResultado {
  std::vector<unsigned char> bytes;
  int64_t soma = 0;
  bool operator==(const TResultado& o) const { return bytes == o.bytes && soma == o.soma; }
};

TResultado comPool(TPoolLeitura* pool, TModoPercurso modo, const std::string& pasta,
                   const time_t* desde) {
  MemoryStream m;
  TReceptorInfoObjectLinux receptor = [&](InfoObjectLinux& r) { r.writeToMemoryStream(&m); };
  TRegrasPercurso regras(modo, &receptor);
  if (desde != nullptr) regras.filtrarDesde(*desde);
  if (pool == nullptr) {
    TPercurso(&regras).executar(pasta);
  } else {
    TPercursoParalelo(&regras, pool).executar(pasta);
  }
  TResultado r;
  r.soma = regras.getSoma();
  r.bytes.assign(m.getBuffer(), m.getBuffer() + m.getSize());
  return r;
}

}  // namespace

TEST(TPercursoParalelo, mesmosBytesQueOPercursoSimplesEmCadaModo) {
  PastaTemporaria raiz;
  criarArvore(raiz.caminho());
  TPoolLeitura pool(3);
  time_t desde = 1650000000;
  struct Caso {
    TModoPercurso modo;
    std::string pasta;
    const time_t* desde;
  };
  for (const Caso& caso :
       {Caso{ARQUIVOS_DA_ARVORE, raiz.caminho(), nullptr},
        Caso{ARQUIVOS_DA_ARVORE, raiz.caminho() + "/", &desde},
        Caso{SOMAR_ARVORE, raiz.caminho(), nullptr},
        Caso{LISTAR_NIVEL, raiz.caminho() + "/grande", nullptr},
        Caso{PASTAS_DO_NIVEL, raiz.caminho() + "/grande", nullptr},
        Caso{LISTAR_NIVEL, "/", nullptr}, Caso{ARQUIVOS_DA_ARVORE, "/proc/self", nullptr},
        Caso{ARQUIVOS_DA_ARVORE, raiz.caminho() + "/nada", nullptr}}) {
    TResultado plano = comPool(nullptr, caso.modo, caso.pasta, caso.desde);
    TResultado paralelo = comPool(&pool, caso.modo, caso.pasta, caso.desde);
    EXPECT_TRUE(plano == paralelo) << caso.modo << " " << caso.pasta << ": " << plano.bytes.size()
                                   << " bytes against " << paralelo.bytes.size();
  }
  EXPECT_GT(comPool(nullptr, ARQUIVOS_DA_ARVORE, raiz.caminho(), nullptr).bytes.size(), 50000u);
}

TEST(TPercursoParalelo, muitosPercursosAoMesmoTempoNumPoolPequeno) {
  PastaTemporaria raiz;
  criarArvore(raiz.caminho());
  TResultado esperado = comPool(nullptr, ARQUIVOS_DA_ARVORE, raiz.caminho(), nullptr);
  TPoolLeitura pool(2);
  std::atomic<int> iguais{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < 12; ++i) {
    threads.emplace_back([&] {
      if (comPool(&pool, ARQUIVOS_DA_ARVORE, raiz.caminho(), nullptr) == esperado) ++iguais;
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(iguais.load(), 12);
  // A pool without threads: the walk does every job itself.
  TPoolLeitura vazio(0);
  EXPECT_TRUE(comPool(&vazio, ARQUIVOS_DA_ARVORE, raiz.caminho(), nullptr) == esperado);
}
