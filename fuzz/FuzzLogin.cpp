// Fuzzes the login: the first two bytes give the length of a user file, the
// rest is the login message body. Runs in a temporary working directory.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>

#include "MemoryStream.h"
#include "TFileUser.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  char modelo[] = "/tmp/vorna-fuzz-login-XXXXXX";
  if (mkdtemp(modelo) == nullptr || chdir(modelo) != 0) std::abort();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* dados, size_t tamanho) {
  if (tamanho < 2) return 0;
  size_t n = std::min<size_t>(static_cast<size_t>(dados[0]) << 8 | dados[1], tamanho - 2);
  FILE* arquivo = std::fopen(TFileUser::ARQUIVO_CONFIG, "wb");
  if (arquivo == nullptr) std::abort();
  std::fwrite(dados + 2, 1, n, arquivo);
  std::fclose(arquivo);
  MemoryStream mensagem;
  mensagem.addBytes(dados + 2 + n, static_cast<int>(tamanho - 2 - n));
  try {
    std::string usuario = mensagem.readStringFromMemoryStream();
    std::string senha = mensagem.readStringFromMemoryStream();
    TFileUser usuarios;
    int codigo = LOGIN_SUCESSO;
    bool admitido = usuarios.userCadastrado(usuario, senha, &codigo);
    if (admitido && codigo != LOGIN_SUCESSO) std::abort();
    if (!admitido && codigo != LOGIN_ERRO_USUARIO && codigo != LOGIN_ERRO_SENHA) std::abort();
  } catch (const std::out_of_range&) {
  }
  return 0;
}
