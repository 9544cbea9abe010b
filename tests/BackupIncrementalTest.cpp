// vornacli backup into a folder that already holds a copy: the size and time
// check, --delete, and sparse copies, run as a program against a real agent.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "AgenteProcesso.h"
#include "Temporario.h"

namespace {

namespace fs = std::filesystem;

class BackupIncremental : public TesteComAgente {
 protected:
  TResultadoPrograma backup(std::vector<std::string> opcoes, const std::string& origem) {
    opcoes.insert(opcoes.begin(), {"-p", std::to_string(agente.porta())});
    for (const std::string& a : {std::string("backup"), origem, copia}) opcoes.push_back(a);
    return executarPrograma(VORNACLI_BIN, opcoes, {"TZ=UTC0"});
  }

  struct stat estado(const std::string& caminho) {
    struct stat st {};
    EXPECT_EQ(lstat(caminho.c_str(), &st), 0) << caminho;
    return st;
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
