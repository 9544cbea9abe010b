// Fuzzes the message buffer's reads: the first byte chooses a sequence of
// reads, the rest is the message body. A read may refuse with
// std::out_of_range; it must never touch a byte outside the body.
#include <cstddef>
#include <cstdint>
#include <stdexcept>

#include "InfoObjectLinux.h"
#include "MemoryStream.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* dados, size_t tamanho) {
  if (tamanho == 0) return 0;
  MemoryStream m;
  m.addBytes(dados + 1, static_cast<int>(tamanho - 1));
  unsigned escolha = dados[0];
  try {
    for (int i = 0; i < 8; ++i, escolha >>= 1) {
      switch ((escolha & 1) + (i % 3)) {
        case 0: m.readIntFromMemoryStream(); break;
        case 1: m.readStringFromMemoryStream(); break;
        case 2: m.readInt64FromMemoryStream(); break;
        default: {
          InfoObjectLinux registro;
          registro.loadFromMemoryStream(&m);
          MemoryStream copia;
          registro.writeToMemoryStream(&copia);
          break;
        }
      }
    }
  } catch (const std::out_of_range&) {
  }
  return 0;
}
