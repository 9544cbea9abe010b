// Writes the benchmark tree: a fixed number of regular files over nested
// folders, mostly small with some up to 1 MiB, plus a few symbolic links and
// empty folders. The same arguments always give the same tree.
//
//   gerador-arvore DIR [FILES] [SEED]
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

uint64_t proximo(uint64_t* estado) {
  uint64_t x = *estado;
  x ^= x << 13;
  x ^= x >> 7;
  x ^= x << 17;
  return *estado = x;
}

bool criarPasta(const std::string& caminho) {
  return mkdir(caminho.c_str(), 0755) == 0 || errno == EEXIST;
}

}  // namespace

int main(int argc, char* argv[]) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s DIR [FILES] [SEED]\n", argv[0]);
    return 2;
  }
  std::string raiz = argv[1];
  long arquivos = argc > 2 ? std::atol(argv[2]) : 100000;
  uint64_t estado = argc > 3 ? std::strtoull(argv[3], nullptr, 10) : 20261206;
  if (estado == 0) estado = 1;
  if (!criarPasta(raiz)) {
    std::perror(raiz.c_str());
    return 1;
  }
  std::vector<char> dados(1 << 20);
  for (char& c : dados) c = static_cast<char>(proximo(&estado));
  const int POR_PASTA = 100, SUBPASTAS = 10;
  long feitos = 0;
  for (int a = 0; feitos < arquivos; ++a) {
    std::string nivel1 = raiz + "/p" + std::to_string(a);
    criarPasta(nivel1);
    if (a % 7 == 0) criarPasta(nivel1 + "/vazia");
    for (int b = 0; b < SUBPASTAS && feitos < arquivos; ++b) {
      std::string nivel2 = nivel1 + "/s" + std::to_string(b);
      criarPasta(nivel2);
      for (int c = 0; c < POR_PASTA && feitos < arquivos; ++c, ++feitos) {
        uint64_t sorte = proximo(&estado);
        // One file in 500 is large (up to 1 MiB); the rest up to 4 KiB.
        size_t tamanho = sorte % 500 == 0 ? (sorte >> 12) % (1 << 20) : (sorte >> 12) % 4096;
        std::string arquivo = nivel2 + "/f" + std::to_string(c) + ".dat";
        FILE* f = std::fopen(arquivo.c_str(), "wb");
        if (f == nullptr || std::fwrite(dados.data(), 1, tamanho, f) != tamanho) {
          std::perror(arquivo.c_str());
          return 1;
        }
        std::fclose(f);
      }
      if (b == 0 && a % 10 == 0) {
        if (symlink("f0.dat", (nivel2 + "/link-arquivo").c_str()) != 0 ||
            symlink("..", (nivel2 + "/link-pasta").c_str()) != 0) {
          std::perror("symlink");
          return 1;
        }
      }
    }
  }
  std::printf("%ld files in %s\n", feitos, raiz.c_str());
  return 0;
}
