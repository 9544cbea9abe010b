#include <gtest/gtest.h>

#include "TPastasPermitidas.h"

typedef std::vector<std::pair<std::string, std::string>> TCandidatas;

TEST(TPastasPermitidas, cadaAcessoComSuasPastasAMaisLongaPrimeiro) {
  TPastasPermitidas pastas(false, true, {"/home", "/home/u2", "/etc"}, true, {"/srv/r"});
  EXPECT_FALSE(pastas.livre(ACESSO_CONTEUDO));
  EXPECT_EQ(pastas.candidatas("/home/u2/f", ACESSO_CONTEUDO),
            (TCandidatas{{"/home/u2", "f"}, {"/home", "u2/f"}}));
  EXPECT_EQ(pastas.candidatas("/home", ACESSO_CONTEUDO), (TCandidatas{{"/home", ""}}));
  EXPECT_TRUE(pastas.candidatas("/homes/x", ACESSO_CONTEUDO).empty()) << "whole names only";
  EXPECT_TRUE(pastas.candidatas("home/x", ACESSO_CONTEUDO).empty()) << "absolute paths only";
  EXPECT_TRUE(pastas.candidatas("/srv/r/x", ACESSO_CONTEUDO).empty()) << "written, not read";
  EXPECT_EQ(pastas.candidatas("/srv/r/x", ACESSO_CONSULTA), (TCandidatas{{"/srv/r", "x"}}))
      << "what may be written may be looked at";
  EXPECT_EQ(pastas.candidatas("/srv/r/x", ACESSO_ESCRITA), (TCandidatas{{"/srv/r", "x"}}));
  EXPECT_TRUE(pastas.candidatas("/home/x", ACESSO_ESCRITA).empty());
  EXPECT_EQ(pastas.vedado(ACESSO_ESCRITA), "");
}

TEST(TPastasPermitidas, raizLiberaSemChaveTudoESomenteLeituraVeda) {
  TPastasPermitidas semChaves(false, false, {}, false, {});
  for (TAcessoCaminho acesso : {ACESSO_CONTEUDO, ACESSO_CONSULTA, ACESSO_ESCRITA}) {
    EXPECT_TRUE(semChaves.livre(acesso));
  }
  TPastasPermitidas raiz(false, true, {"/"}, true, {});
  EXPECT_TRUE(raiz.livre(ACESSO_CONTEUDO));
  EXPECT_FALSE(raiz.livre(ACESSO_ESCRITA)) << "present and empty allows nothing";
  EXPECT_TRUE(raiz.candidatas("/x", ACESSO_ESCRITA).empty());
  TPastasPermitidas soLeitura(true, false, {}, true, {"/srv/r"});
  EXPECT_NE(soLeitura.vedado(ACESSO_ESCRITA), "");
  EXPECT_TRUE(soLeitura.candidatas("/srv/r/x", ACESSO_ESCRITA).empty());
  EXPECT_TRUE(soLeitura.livre(ACESSO_CONSULTA));
}
