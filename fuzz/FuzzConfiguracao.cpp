// Fuzzes the configuration file: the input is the file's content.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "TFileConfiguracao.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  char modelo[] = "/tmp/vorna-fuzz-config-XXXXXX";
  if (mkdtemp(modelo) == nullptr || chdir(modelo) != 0) std::abort();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* dados, size_t tamanho) {
  FILE* arquivo = std::fopen(TFileConfiguracao::ARQUIVO_CONFIG, "wb");
  if (arquivo == nullptr) std::abort();
  std::fwrite(dados, 1, tamanho, arquivo);
  std::fclose(arquivo);
  TFileConfiguracao configuracao;
  volatile int porta = configuracao.getPorta();
  (void)porta;
  return 0;
}
