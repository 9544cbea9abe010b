// The rules of --exclude, --include and --exclude-from, as rsync reads them.
#include <gtest/gtest.h>

#include "TFiltroCopia.h"
#include "Temporario.h"

TEST(TFiltroCopia, nomeAncoradoPastaEPrimeiraRegraQueCasa) {
  TFiltroCopia filtro;
  EXPECT_TRUE(filtro.vazio());
  EXPECT_FALSE(filtro.excluido("qualquer/coisa", false));
  ASSERT_TRUE(filtro.acrescentar(true, "manter.o"));
  ASSERT_TRUE(filtro.acrescentar(false, "*.o"));
  ASSERT_TRUE(filtro.acrescentar(false, ".cache/"));
  ASSERT_TRUE(filtro.acrescentar(false, "/topo.txt"));
  ASSERT_TRUE(filtro.acrescentar(false, "logs/*.gz"));
  ASSERT_TRUE(filtro.acrescentar(false, "/*/Downloads/"));
  // No '/': the name alone, at any depth; '*' matches a leading dot too.
  EXPECT_TRUE(filtro.excluido("a.o", false));
  EXPECT_TRUE(filtro.excluido("x/y/.o", false));
  EXPECT_FALSE(filtro.excluido("x/a.oo", false));
  EXPECT_FALSE(filtro.excluido("x/manter.o", false)) << "the include came first";
  // A trailing '/': folders only.
  EXPECT_TRUE(filtro.excluido("home/u/.cache", true));
  EXPECT_FALSE(filtro.excluido("home/u/.cache", false));
  // A leading '/': at the copy's root only.
  EXPECT_TRUE(filtro.excluido("topo.txt", false));
  EXPECT_FALSE(filtro.excluido("sub/topo.txt", false));
  EXPECT_TRUE(filtro.excluido("u/Downloads", true));
  EXPECT_FALSE(filtro.excluido("u/v/Downloads", true));
  // A '/' inside: the last parts of the path, and '*' stays within a name.
  EXPECT_TRUE(filtro.excluido("logs/a.gz", false));
  EXPECT_TRUE(filtro.excluido("var/logs/a.gz", false));
  EXPECT_FALSE(filtro.excluido("logs/d/a.gz", false));
  EXPECT_FALSE(filtro.excluido("xlogs/a.gz", false));
  // A whole-tree listing: what is below an excluded folder is left out too.
  EXPECT_FALSE(filtro.excluido("u/.cache/f", false));
  EXPECT_TRUE(filtro.excluidoComPais("u/.cache/f", false));
  EXPECT_FALSE(filtro.excluidoComPais("u/cache/f", false));
  EXPECT_FALSE(filtro.acrescentar(false, ""));
  EXPECT_FALSE(filtro.acrescentar(false, "/"));
}

TEST(TFiltroCopia, duploAtravessaPastasESimplesNao) {
  TFiltroCopia filtro;
  ASSERT_TRUE(filtro.acrescentar(false, "src/**/*.tmp"));
  ASSERT_TRUE(filtro.acrescentar(false, "/a/**/b/**/c"));
  ASSERT_TRUE(filtro.acrescentar(false, "**/x*.bak"));
  ASSERT_TRUE(filtro.acrescentar(false, "/out/*.log"));
  EXPECT_TRUE(filtro.excluido("src/a/f.tmp", false));
  EXPECT_TRUE(filtro.excluido("src/a/b/c/f.tmp", false));
  EXPECT_TRUE(filtro.excluido("proj/src/a/f.tmp", false)) << "not anchored: at any depth";
  EXPECT_FALSE(filtro.excluido("src/f.tmp", false)) << "\"/**/\" needs a folder between";
  EXPECT_FALSE(filtro.excluido("src/a/f.tmp/g", false));
  EXPECT_TRUE(filtro.excluido("a/1/b/2/c", false));
  EXPECT_TRUE(filtro.excluido("a/1/2/b/b/3/c", false));
  EXPECT_FALSE(filtro.excluido("a/b/c", false));
  EXPECT_FALSE(filtro.excluido("z/a/1/b/2/c", false)) << "anchored";
  EXPECT_TRUE(filtro.excluido("d/e/xy.bak", false));
  EXPECT_FALSE(filtro.excluido("d/xy/z.bak", false)) << "a single '*' does not cross a '/'";
  EXPECT_FALSE(filtro.excluido("xy.bak", false));
  EXPECT_TRUE(filtro.excluido("out/a.log", false));
  EXPECT_FALSE(filtro.excluido("out/d/a.log", false)) << "nor anchored";
  TFiltroCopia tudo;
  ASSERT_TRUE(tudo.acrescentar(false, "**"));
  EXPECT_TRUE(tudo.excluido("a", false));
  EXPECT_TRUE(tudo.excluido("a/b/c", true));
}

TEST(TFiltroCopia, arquivoDeRegras) {
  PastaTemporaria pasta;
  escreverArquivo(pasta / "regras", "# comment\n; also\n\n+ manter.o\r\n- *.o\n/topo\n");
  TFiltroCopia filtro;
  std::string erro;
  ASSERT_TRUE(filtro.lerArquivo(pasta / "regras", &erro)) << erro;
  EXPECT_FALSE(filtro.excluido("d/manter.o", false));
  EXPECT_TRUE(filtro.excluido("d/outro.o", false));
  EXPECT_TRUE(filtro.excluido("topo", true));
  EXPECT_FALSE(filtro.excluido("# comment", false));
  EXPECT_FALSE(filtro.lerArquivo(pasta / "nada", &erro));
  EXPECT_EQ(erro, "No such file or directory");
}
