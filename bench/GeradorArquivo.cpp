// Writes a file of pseudo-random bytes (default 1 GiB) for the transfer
// benchmarks; the same size always gives the same bytes.
//
//   gerador-arquivo FILE [BYTES]
#include <cstdint>
#include <cstdio>
#include <algorithm>
#include <cstdlib>
#include <vector>

int main(int argc, char* argv[]) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s FILE [BYTES]\n", argv[0]);
    return 2;
  }
  unsigned long long total = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 1ull << 30;
  FILE* f = std::fopen(argv[1], "wb");
  if (f == nullptr) {
    std::perror(argv[1]);
    return 1;
  }
  std::vector<uint64_t> bloco(1 << 17);  // 1 MiB
  uint64_t x = 88172645463325252ull;
  for (unsigned long long feito = 0; feito < total;) {
    for (uint64_t& v : bloco) {
      x ^= x << 13;
      x ^= x >> 7;
      x ^= x << 17;
      v = x;
    }
    size_t n = static_cast<size_t>(std::min<unsigned long long>(total - feito, bloco.size() * 8));
    if (std::fwrite(bloco.data(), 1, n, f) != n) {
      std::perror(argv[1]);
      return 1;
    }
    feito += n;
  }
  return std::fclose(f) == 0 ? 0 : 1;
}
