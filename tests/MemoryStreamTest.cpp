#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "MemoryStream.h"

namespace {

typedef std::vector<unsigned char> Bytes;

Bytes bytes(const MemoryStream& m) { return Bytes(m.getBuffer(), m.getBuffer() + m.getSize()); }

MemoryStream deBytes(const Bytes& dados) {
  MemoryStream m;
  m.addBytes(dados.data(), static_cast<int>(dados.size()));
  return m;
}

}  // namespace

TEST(MemoryStream, cadaTipoLittleEndianComoNoProtocolo) {
  MemoryStream m;
  m.addString("abc");
  m.addInt(7);
  m.addBool(true);
  EXPECT_EQ(bytes(m),
            (Bytes{0x03, 0x00, 0x00, 0x00, 0x61, 0x62, 0x63, 0x07, 0x00, 0x00, 0x00, 0x01}));
  m.clearAll();  // a reply reuses the request's buffer from offset 0
  m.writeIntToMemoryStream(977777);
  m.writeInt64ToMemoryStream(-2);
  m.writeBoolToMemoryStream(false);
  m.writeStringToMemoryStream("");
  m.addString("ação");
  EXPECT_EQ(bytes(m), (Bytes{0x71, 0xeb, 0x0e, 0x00,                          // 977777
                             0xfe, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,  // -2
                             0x00,                                            // false
                             0x00, 0x00, 0x00, 0x00,                          // ""
                             0x06, 0x00, 0x00, 0x00, 'a',  0xc3, 0xa7, 0xc3, 0xa3, 'o'}));
  EXPECT_EQ(m.readIntFromMemoryStream(), 977777);
  EXPECT_EQ(m.readInt64FromMemoryStream(), -2);
  MemoryStream copia(m);  // replies travel as copies: same bytes and cursor
  EXPECT_EQ(bytes(copia), bytes(m));
  EXPECT_EQ(copia.getPosicao(), 12);
}

TEST(MemoryStream, textoComZeroParaNoZeroMasAvancaTudo) {
  MemoryStream m = deBytes({0x05, 0x00, 0x00, 0x00, 'a', 'b', 0x00, 'c', 'd', 0x2a, 0, 0, 0});
  EXPECT_EQ(m.readStringFromMemoryStream(), "ab");
  EXPECT_EQ(m.readIntFromMemoryStream(), 42);
  EXPECT_EQ(m.getPosicao(), m.getSize());
}

TEST(MemoryStream, leituraIncompletaFalhaSemMoverOCursor) {
  MemoryStream oito = deBytes({1, 2, 3, 4, 5, 6, 7});
  EXPECT_THROW(oito.readInt64FromMemoryStream(), std::out_of_range);
  EXPECT_EQ(oito.getPosicao(), 0);
  EXPECT_EQ(oito.readIntFromMemoryStream(), 0x04030201);
  EXPECT_THROW(oito.readIntFromMemoryStream(), std::out_of_range);
  EXPECT_EQ(oito.getPosicao(), 4);
  // A string exactly there, one byte short, huge, negative.
  EXPECT_EQ(deBytes({0x02, 0, 0, 0, 'o', 'k'}).readStringFromMemoryStream(), "ok");
  for (const Bytes& ruim : {Bytes{0x03, 0, 0, 0, 'o', 'k'}, Bytes{0xff, 0xff, 0xff, 0x7f, 'x'},
                            Bytes{0xff, 0xff, 0xff, 0xff, 'x'}}) {
    MemoryStream m = deBytes(ruim);
    EXPECT_THROW(m.readStringFromMemoryStream(), std::out_of_range);
    EXPECT_EQ(m.getPosicao(), 0);
  }
}
