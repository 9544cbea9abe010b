// vornacli backup into a folder that already holds a copy: the size and time
// check, --delete, and sparse copies, run as a program against a real agent.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <set>

#include "AgenteProcesso.h"
#include "Temporario.h"

namespace {

namespace fs = std::filesystem;

class BackupIncremental : public TesteComAgente {
 protected:
  TResultadoPrograma backup(std::vector<std::string> opcoes, const std::string& origem,
                            const std::string& para = "") {
    opcoes.insert(opcoes.end(), {"backup", origem, para.empty() ? copia : para});
    return cli(opcoes);
  }

  PastaTemporaria destino;
  std::string copia = destino / "copia";
};

}  // namespace

TEST_F(BackupIncremental, buscaSoOQueFaltaOuDifereEmTamanhoOuData) {
  fs::create_directories(base + "/sub");
  escreverArquivo(base + "/igual", "aaaa");
  escreverArquivo(base + "/mesmoTamanho", "bbbb");
  escreverArquivo(base + "/outroTamanho", "cccc");
  // Whole blocks of zeros between two bytes: holes in the copy.
  std::string esparso = "x" + std::string(8 << 20, '\0') + "y";
  escreverArquivo(base + "/sub/esparso", esparso);
  for (const char* nome : {"igual", "mesmoTamanho", "outroTamanho", "sub/esparso"}) {
    tocar(base + "/" + nome, 1600000000);
  }
  TResultadoPrograma primeira = backup({}, base);
  ASSERT_EQ(primeira.status, 0) << primeira.erros;
  EXPECT_EQ(lerArquivo(copia + "/sub/esparso"), esparso);
  struct stat st = estado(copia + "/sub/esparso");
  EXPECT_EQ(st.st_size, static_cast<off_t>(esparso.size()));
  EXPECT_LT(st.st_blocks * 512, 1 << 20) << "the zeros were written, not left as holes";

  struct stat antes = estado(copia + "/igual");
  // Changed with the time put back: only a new size shows it.
  escreverArquivo(base + "/mesmoTamanho", "BBBB");
  escreverArquivo(base + "/outroTamanho", "ccccc");
  tocar(base + "/mesmoTamanho", 1600000000);
  tocar(base + "/outroTamanho", 1600000000);
  // New, with an old time, as tar x leaves it.
  escreverArquivo(base + "/sub/novo", "novo");
  tocar(base + "/sub/novo", 1000000000);
  TResultadoPrograma segunda = backup({"--json"}, base);
  ASSERT_EQ(segunda.status, 0) << segunda.erros;
  EXPECT_NE(segunda.saida.find("{\"files\":2,\"bytes\":9,\"folders\":1,\"failed\":0,\"skipped\":0,"
                               "\"unchanged\":3,\"removed\":0,"),
            std::string::npos)
      << segunda.saida;
  struct stat depois = estado(copia + "/igual");
  EXPECT_EQ(depois.st_ino, antes.st_ino) << "rewritten";
  EXPECT_EQ(depois.st_mtim.tv_sec, antes.st_mtim.tv_sec);
  EXPECT_EQ(depois.st_ctim.tv_sec, antes.st_ctim.tv_sec);
  EXPECT_EQ(depois.st_ctim.tv_nsec, antes.st_ctim.tv_nsec);
  EXPECT_EQ(lerArquivo(copia + "/mesmoTamanho"), "bbbb");  // the protocol's limit
  EXPECT_EQ(lerArquivo(copia + "/outroTamanho"), "ccccc");
  EXPECT_EQ(lerArquivo(copia + "/sub/novo"), "novo");
  EXPECT_EQ(estado(copia + "/sub/novo").st_mtime, 1000000000);
}

TEST_F(BackupIncremental, deleteTiraOQueSumiuSemSeguirLigacoes) {
  for (const char* pasta : {"a", "b/c", "d"}) fs::create_directories(base + "/" + pasta);
  for (const char* nome : {"a/f", "a/fica", "b/c/g", "d/h"})
    escreverArquivo(base + "/" + nome, nome);
  ASSERT_EQ(backup({}, base).status, 0);
  fs::remove_all(base + "/b");
  fs::remove(base + "/a/f");
  fs::remove(base + "/d/h");
  escreverArquivo(copia + "/a/lixo", "lixo");
  PastaTemporaria fora;
  escreverArquivo(fora / "alvo", "alvo");
  fs::create_directory_symlink(fora.caminho(), copia + "/ligacao");
  fs::create_symlink(fora / "alvo", copia + "/a/ligarq");

  TResultadoPrograma r = backup({"-v", "--delete"}, base);
  ASSERT_EQ(r.status, 0) << r.erros;
  EXPECT_NE(r.saida.find(", 1 unchanged, 7 removed, "), std::string::npos) << r.saida;
  for (const char* linha : {"removed b/c/g\n", "removed b/c/\n", "removed b/\n", "removed a/f\n",
                            "removed a/lixo\n", "removed ligacao\n", "removed a/ligarq\n"}) {
    EXPECT_NE(r.erros.find(linha), std::string::npos) << linha << r.erros;
  }
  EXPECT_FALSE(fs::exists(copia + "/b"));
  EXPECT_FALSE(fs::exists(fs::symlink_status(copia + "/ligacao")));
  EXPECT_FALSE(fs::exists(fs::symlink_status(copia + "/a/ligarq")));
  EXPECT_EQ(lerArquivo(fora / "alvo"), "alvo");
  EXPECT_EQ(lerArquivo(copia + "/a/fica"), "a/fica");
  // A folder listed empty may be one the agent cannot read: kept, said.
  EXPECT_EQ(lerArquivo(copia + "/d/h"), "d/h");
  EXPECT_NE(r.erros.find("d: listed empty by the agent"), std::string::npos) << r.erros;

  // An agent that lists nothing must not wipe the copy.
  fs::create_directories(base + "/vazia");
  TResultadoPrograma vazia = backup({"--delete"}, base + "/vazia");
  EXPECT_EQ(vazia.status, 1);
  EXPECT_NE(vazia.erros.find("--delete refused, nothing removed"), std::string::npos)
      << vazia.erros;
  EXPECT_EQ(lerArquivo(copia + "/a/fica"), "a/fica");
  EXPECT_EQ(backup({"--delete", "--since", "01/01/20 00:00:00"}, base).status, 2);
}

namespace {

// What is below raiz, one path a line, sorted; a folder's ends in '/'.
std::string entradasDe(const std::string& raiz) {
  std::set<std::string> nomes;
  for (const auto& e : fs::recursive_directory_iterator(raiz)) {
    nomes.insert(fs::relative(e.path(), raiz).string() + (e.is_directory() ? "/" : ""));
  }
  std::string lista;
  for (const std::string& nome : nomes) lista += nome + "\n";
  return lista;
}

// A summary's counts, without the time, the rate and the connections.
std::string contagens(const std::string& saida) {
  size_t inicio = saida.find("{\"files\":");
  return inicio == std::string::npos ? saida
                                     : saida.substr(inicio, saida.find(",\"seconds\":") - inicio);
}

}  // namespace

TEST_F(BackupIncremental, simulacaoNaoMudaNadaEContaComoARodadaReal) {
  for (const char* nome : {"a/igual", "a/muda", "b/sai", "b/c/sai"}) {
    fs::create_directories(fs::path(base + "/" + nome).parent_path());
    escreverArquivo(base + "/" + nome, nome);
  }
  ASSERT_EQ(backup({}, base).status, 0);
  escreverArquivo(base + "/a/muda", "mudou");
  fs::create_directories(base + "/nova");
  escreverArquivo(base + "/nova/g", "g");
  fs::remove_all(base + "/b");
  fs::create_directories(copia + "/.cache");
  escreverArquivo(copia + "/.cache/fica", "excluded: --delete keeps it");
  std::string agenteAntes = retratoDaArvore(base), copiaAntes = retratoDaArvore(copia);

  std::vector<std::string> opcoes = {"--delete", "--exclude", ".cache/"};
  std::vector<std::string> simulada = {"--dry-run"};
  simulada.insert(simulada.end(), opcoes.begin(), opcoes.end());
  TResultadoPrograma r = backup(simulada, base);
  ASSERT_EQ(r.status, 0) << r.erros;
  EXPECT_EQ(retratoDaArvore(base), agenteAntes);
  EXPECT_EQ(retratoDaArvore(copia), copiaAntes);
  for (const char* linha : {"fetch a/muda\n", "fetch nova/g\n", "remove b/c/sai\n", "remove b/c/\n",
                            "remove b/sai\n", "remove b/\n"}) {
    EXPECT_NE(r.saida.find(linha), std::string::npos) << linha << r.saida;
  }
  EXPECT_EQ(contar(r.saida, "\n"), 7) << r.saida;
  EXPECT_NE(r.saida.find("backup (dry run): 2 files, 6 B, 2 folders, 0 failed, 0 skipped, "
                         "1 unchanged, 4 removed, "),
            std::string::npos)
      << r.saida;
  // Into a copy not made yet: nothing is made.
  PastaTemporaria outra;
  ASSERT_EQ(backup({"-n"}, base, outra / "nova").status, 0);
  EXPECT_TRUE(fs::is_empty(outra.caminho()));

  simulada.insert(simulada.begin(), "--json");
  TResultadoPrograma json = backup(simulada, base);
  EXPECT_NE(json.saida.find("{\"action\":\"fetch\",\"path\":\"a/muda\",\"size\":5}\n"),
            std::string::npos)
      << json.saida;
  EXPECT_NE(json.saida.find("{\"action\":\"remove\",\"path\":\"b/\"}\n"), std::string::npos);
  EXPECT_NE(json.saida.find(",\"dry_run\":true}\n"), std::string::npos);
  opcoes.insert(opcoes.begin(), "--json");
  TResultadoPrograma real = backup(opcoes, base);
  ASSERT_EQ(real.status, 0) << real.erros;
  EXPECT_EQ(contagens(real.saida), contagens(json.saida));
  EXPECT_EQ(entradasDe(copia), ".cache/\n.cache/fica\na/\na/igual\na/muda\nnova/\nnova/g\n");
}

TEST_F(BackupIncremental, excluiComoORsyncSemEntrarNemApagarOExcluido) {
  for (const char* nome :
       {"topo.txt", "sub/topo.txt", "home/.cache/x", "home/.cache/fundo/y", "outra/.cache",
        "src/a/b/x.tmp", "src/x.tmp", "src/a/x.tmpl", "manter.o", "d/lixo.o"}) {
    fs::create_directories(fs::path(base + "/" + nome).parent_path());
    escreverArquivo(base + "/" + nome, nome);
  }
  PastaTemporaria regras;
  escreverArquivo(regras / "excluir", "# build output\n+ manter.o\n- *.o\n\n/topo.txt\n");
  std::vector<std::string> filtro = {"--exclude-from", regras / "excluir", "--exclude", ".cache/",
                                     "--exclude=src/**/*.tmp"};
  // .cache is not even made: it was not walked, or y below it would be here.
  const std::string esperadas =
      "d/\nhome/\nmanter.o\noutra/\noutra/.cache\nsrc/\nsrc/a/\nsrc/a/b/\nsrc/a/x.tmpl\n"
      "src/x.tmp\nsub/\nsub/topo.txt\n";
  ASSERT_EQ(backup(filtro, base).status, 0);
  EXPECT_EQ(entradasDe(copia), esperadas);
  // The changed files' listing is of the whole tree: filtered the same way.
  std::vector<std::string> desde = filtro;
  desde.insert(desde.end(), {"--since", "01/01/20 00:00:00"});
  PastaTemporaria outra;
  EXPECT_EQ(backup(desde, base, outra / "copia").status, 0);
  EXPECT_EQ(entradasDe(outra / "copia"), esperadas);

  // --delete leaves what is excluded, and a folder gone from the agent that
  // holds some.
  for (const char* nome : {"home/.cache/velho", "z.o", "foi/k.o", "foi/vai"}) {
    fs::create_directories(fs::path(copia + "/" + nome).parent_path());
    escreverArquivo(copia + "/" + nome, nome);
  }
  fs::remove(base + "/src/x.tmp");
  filtro.insert(filtro.begin(), {"-v", "--delete"});
  TResultadoPrograma r = backup(filtro, base);
  ASSERT_EQ(r.status, 0) << r.erros;
  EXPECT_NE(r.saida.find(" 2 removed, "), std::string::npos) << r.saida;
  EXPECT_EQ(entradasDe(copia),
            "d/\nfoi/\nfoi/k.o\nhome/\nhome/.cache/\nhome/.cache/velho\nmanter.o\noutra/\n"
            "outra/.cache\nsrc/\nsrc/a/\nsrc/a/b/\nsrc/a/x.tmpl\nsub/\nsub/topo.txt\nz.o\n");
}
