#include "MemoryStream.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

namespace {

std::vector<unsigned char> bytes(const MemoryStream& m) {
  return std::vector<unsigned char>(m.getBuffer(), m.getBuffer() + m.getSize());
}

MemoryStream deBytes(const std::vector<unsigned char>& dados) {
  MemoryStream m;
  m.addBytes(dados.data(), static_cast<int>(dados.size()));
  return m;
}

}  // namespace

TEST(MemoryStream, codificaOExemploDoProtocolo) {
  MemoryStream m;
  m.addString("abc");
  m.addInt(7);
  m.addBool(true);
  EXPECT_EQ(bytes(m), (std::vector<unsigned char>{0x03, 0x00, 0x00, 0x00, 0x61, 0x62, 0x63, 0x07,
                                                   0x00, 0x00, 0x00, 0x01}));
  EXPECT_EQ(m.getSize(), 12);
  EXPECT_EQ(m.getPosicao(), 0);
}

TEST(MemoryStream, inteirosSaoLittleEndian) {
  MemoryStream m;
  m.addInt(977777);
  m.writeIntToMemoryStream(-1);
  m.addInt64(1);
  m.writeInt64ToMemoryStream(-2);
  m.writeBoolToMemoryStream(false);
  m.writeStringToMemoryStream("");
  EXPECT_EQ(bytes(m), (std::vector<unsigned char>{
                          0x71, 0xeb, 0x0e, 0x00, 0xff, 0xff, 0xff, 0xff,            // ints
                          0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,            // 1
                          0xfe, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,            // -2
                          0x00,                                                      // false
                          0x00, 0x00, 0x00, 0x00}));                                 // ""
  EXPECT_EQ(m.readIntFromMemoryStream(), 977777);
  EXPECT_EQ(m.readIntFromMemoryStream(), -1);
  EXPECT_EQ(m.readInt64FromMemoryStream(), 1);
  EXPECT_EQ(m.readInt64FromMemoryStream(), -2);
}

TEST(MemoryStream, textoComZeroParaNoZeroMasAvancaTudo) {
  MemoryStream m = deBytes({0x05, 0x00, 0x00, 0x00, 'a', 'b', 0x00, 'c', 'd', 0x2a, 0, 0, 0});
  EXPECT_EQ(m.readStringFromMemoryStream(), "ab");
  EXPECT_EQ(m.readIntFromMemoryStream(), 42);
  EXPECT_EQ(m.getPosicao(), m.getSize());
}

TEST(MemoryStream, textoVazioEBytesNaoAscii) {
  MemoryStream m;
  m.addString("");
  m.addString("ação/çé");
  EXPECT_EQ(m.readStringFromMemoryStream(), "");
  EXPECT_EQ(m.readStringFromMemoryStream(), "ação/çé");
}

TEST(MemoryStream, leituraAlemDoFimFalhaSemMoverOCursor) {
  MemoryStream m = deBytes({0x01, 0x02, 0x03});
  EXPECT_THROW(m.readIntFromMemoryStream(), std::out_of_range);
  EXPECT_EQ(m.getPosicao(), 0);
  MemoryStream oito = deBytes({1, 2, 3, 4, 5, 6, 7});
  EXPECT_THROW(oito.readInt64FromMemoryStream(), std::out_of_range);
  EXPECT_EQ(oito.getPosicao(), 0);
  EXPECT_EQ(oito.readIntFromMemoryStream(), 0x04030201);
  EXPECT_THROW(oito.readIntFromMemoryStream(), std::out_of_range);
  EXPECT_EQ(oito.getPosicao(), 4);
  MemoryStream vazio;
  EXPECT_THROW(vazio.readIntFromMemoryStream(), std::out_of_range);
}

TEST(MemoryStream, recusaTextoMaiorQueOCorpo) {
  // Exactly enough bytes, then one short, then lengths that would overflow.
  MemoryStream exato = deBytes({0x02, 0, 0, 0, 'o', 'k'});
  EXPECT_EQ(exato.readStringFromMemoryStream(), "ok");

  MemoryStream curto = deBytes({0x03, 0, 0, 0, 'o', 'k'});
  EXPECT_THROW(curto.readStringFromMemoryStream(), std::out_of_range);
  EXPECT_EQ(curto.getPosicao(), 0);

  MemoryStream enorme = deBytes({0xff, 0xff, 0xff, 0x7f, 'x'});
  EXPECT_THROW(enorme.readStringFromMemoryStream(), std::out_of_range);
  EXPECT_EQ(enorme.getPosicao(), 0);

  MemoryStream negativo = deBytes({0xff, 0xff, 0xff, 0xff, 'x'});
  EXPECT_THROW(negativo.readStringFromMemoryStream(), std::out_of_range);
  EXPECT_EQ(negativo.getPosicao(), 0);
  EXPECT_EQ(negativo.readIntFromMemoryStream(), -1);
}

TEST(MemoryStream, clearAllRecomecaDoZero) {
  MemoryStream m;
  m.addString("pedido antigo");
  m.readIntFromMemoryStream();
  m.clearAll();
  EXPECT_EQ(m.getSize(), 0);
  EXPECT_EQ(m.getPosicao(), 0);
  m.addInt64(-1);
  EXPECT_EQ(bytes(m), std::vector<unsigned char>(8, 0xff));
}

TEST(MemoryStream, copiaEMovimentoLevamOsMesmosBytes) {
  MemoryStream origem;
  origem.addString("abc");
  origem.addInt(7);
  origem.readIntFromMemoryStream();
  MemoryStream copia(origem);
  EXPECT_EQ(bytes(copia), bytes(origem));
  EXPECT_EQ(copia.getPosicao(), origem.getPosicao());
  copia.addBool(true);
  EXPECT_EQ(origem.getSize(), 11);  // the source is untouched by the copy's growth

  MemoryStream movido(std::move(copia));
  EXPECT_EQ(movido.getSize(), 12);
  EXPECT_EQ(movido.getPosicao(), 4);
  EXPECT_EQ(copia.getSize(), 0);  // NOLINT(bugprone-use-after-move): moved-from is empty
}

TEST(MemoryStream, setNewSizeBufferPreparaAreaERecusaNegativo) {
  MemoryStream m;
  m.addInt(1);
  m.setNewSizeBuffer(6);
  EXPECT_EQ(m.getSize(), 6);
  EXPECT_EQ(m.getPosicao(), 0);
  EXPECT_THROW(m.setNewSizeBuffer(-1), std::length_error);
}

TEST(MemoryStream, umMilhaoDeCamposCrescemSemPerderNada) {
  MemoryStream m;
  for (int i = 0; i < 1000000; ++i) m.addInt(i);
  ASSERT_EQ(m.getSize(), 4000000);
  for (int i = 0; i < 1000000; ++i) ASSERT_EQ(m.readIntFromMemoryStream(), i);
  EXPECT_THROW(m.readIntFromMemoryStream(), std::out_of_range);
}
