// vornacli restore run again over a tree the agent already holds.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <map>

#include "AgenteProcesso.h"

namespace {

namespace fs = std::filesystem;

// What a store or a time change leaves behind: a new inode, or a new ctime.
struct TMarca {
  ino_t inode;
  struct timespec ctime;
  bool operator==(const TMarca& o) const {
    return inode == o.inode && ctime.tv_sec == o.ctime.tv_sec && ctime.tv_nsec == o.ctime.tv_nsec;
  }
};

std::map<std::string, TMarca> marcas(const std::string& raiz) {
  std::map<std::string, TMarca> resultado;
  for (const auto& entrada : fs::recursive_directory_iterator(raiz)) {
    struct stat st {};
    if (entrada.is_regular_file() && lstat(entrada.path().c_str(), &st) == 0) {
      resultado[fs::relative(entrada.path(), raiz)] = {st.st_ino, st.st_ctim};
    }
  }
  return resultado;
}

class Restauracao : public TesteComAgente {
 protected:
  void SetUp() override {
    TesteComAgente::SetUp();
    for (int i = 0; i < 150; ++i) {
      std::string pasta = local / ("p" + std::to_string(i % 3));
      fs::create_directories(pasta);
      escreverArquivo(pasta + "/f" + std::to_string(i), "conteudo " + std::to_string(i));
      tocar(pasta + "/f" + std::to_string(i), 1600000000 + i);
    }
    fs::create_symlink("p0", local / "link");
  }

  TResultadoPrograma restore(const std::string& alvo, std::vector<std::string> extra = {}) {
    extra.insert(extra.begin(), {"--json", "-j", "3"});
    extra.insert(extra.end(), {"restore", local.caminho(), alvo});
    return cli(extra);
  }

  // A restore into alvo that ends well and whose summary holds trecho.
  void restoreDiz(const std::string& alvo, const std::string& trecho,
                  std::vector<std::string> extra = {}) {
    TResultadoPrograma r = restore(alvo, std::move(extra));
    ASSERT_EQ(r.status, 0) << r.erros;
    EXPECT_NE(r.saida.find(trecho), std::string::npos) << r.saida;
  }

  // The tree below alvo is the local one, but for the link.
  void igualAoLocal(const std::string& alvo) { mesmaArvore(local.caminho(), alvo, "link"); }

  PastaTemporaria local;
};

}  // namespace

TEST_F(Restauracao, semMudancaNadaEhGravado) {
  std::string alvo = agente.caminho("volta");
  ASSERT_NO_FATAL_FAILURE(restoreDiz(alvo, "{\"files\":150,\"bytes\":"));
  auto antes = marcas(alvo);
  ASSERT_EQ(antes.size(), 150u);
  ASSERT_NO_FATAL_FAILURE(restoreDiz(alvo,
                                     "{\"files\":0,\"bytes\":0,\"folders\":4,\"failed\":0,"
                                     "\"skipped\":1,\"unchanged\":150,"));
  // No store (a new inode) and no time change (a new ctime) on the agent.
  EXPECT_TRUE(marcas(alvo) == antes);
  igualAoLocal(alvo);
}

TEST_F(Restauracao, soOQueMudouEhGravadoEmCorridasOuUmPorVez) {
  std::string alvo = agente.caminho("volta"), umPorVez = agente.caminho("um-por-vez");
  ASSERT_EQ(restore(alvo).status, 0);
  auto antes = marcas(alvo);
  // A new time, a new size with the old time put back, a new file with an
  // old time, and one rewritten alike in size and second: the record cannot
  // tell that one, so it stays as it was.
  escreverArquivo(local / "p0/f0", "novo 0     ");
  escreverArquivo(local / "p1/f1", "outro tamanho");
  tocar(local / "p1/f1", 1600000001);
  escreverArquivo(local / "p2/novo", "novo");
  tocar(local / "p2/novo", 1500000000);
  escreverArquivo(local / "p2/f2", "CONTEUDO 2");
  tocar(local / "p2/f2", 1600000002);
  ASSERT_NO_FATAL_FAILURE(restoreDiz(alvo,
                                     "{\"files\":3,\"bytes\":28,\"folders\":4,\"failed\":0,"
                                     "\"skipped\":1,\"unchanged\":148,"));
  auto depois = marcas(alvo);
  for (const auto& par : antes) {
    bool mudou = par.first == "p0/f0" || par.first == "p1/f1";
    EXPECT_EQ(depois.at(par.first) == par.second, !mudou) << par.first;
  }
  EXPECT_EQ(lerArquivo(alvo + "/p2/f2"), "conteudo 2");
  escreverArquivo(local / "p2/f2", "conteudo 2");
  tocar(local / "p2/f2", 1600000002);
  igualAoLocal(alvo);

  // One store in flight per connection: the same tree, the same counts.
  ASSERT_NO_FATAL_FAILURE(restoreDiz(umPorVez, "{\"files\":151,\"bytes\":", {"--serial-stores"}));
  igualAoLocal(umPorVez);
}

TEST_F(Restauracao, simulacaoEExclusoesDeixamAsArvoresComoEstao) {
  std::string alvo = agente.caminho("volta");
  ASSERT_EQ(restore(alvo).status, 0);
  escreverArquivo(local / "p0/f0", "novo 0");
  escreverArquivo(local / "p1/novo", "novo");
  fs::create_symlink("f1", local / "p1/link");
  fs::create_directories(local / "p2/sub");
  escreverArquivo(local / "p2/sub/fundo.tmp", "excluded by p2/**/*.tmp");
  escreverArquivo(local / "p2/raso.tmp", "kept: ** needs a folder between");
  // Not entered: its special file would be counted as skipped.
  fs::create_directories(local / ".cache");
  ASSERT_EQ(mkfifo((local / ".cache/fila").c_str(), 0600), 0);
  escreverArquivo(local / ".cache/x", "x");
  std::string localAntes = retratoDaArvore(local.caminho()), alvoAntes = retratoDaArvore(alvo);

  // "/link" is the top one only: p1/link is skipped, as ever.
  std::vector<std::string> filtro = {"--exclude", "/link",     "--exclude",
                                     ".cache/",   "--exclude", "p2/**/*.tmp"};
  std::vector<std::string> simulada = filtro;
  simulada.push_back("-n");
  TResultadoPrograma r = restore(alvo, simulada);
  ASSERT_EQ(r.status, 0) << r.erros;
  EXPECT_EQ(retratoDaArvore(local.caminho()), localAntes);
  EXPECT_EQ(retratoDaArvore(alvo), alvoAntes);
  for (const char* linha : {"{\"action\":\"store\",\"path\":\"p0/f0\",\"size\":6}\n",
                            "{\"action\":\"store\",\"path\":\"p1/novo\",\"size\":4}\n",
                            "{\"action\":\"store\",\"path\":\"p2/raso.tmp\",\"size\":31}\n"}) {
    EXPECT_NE(r.saida.find(linha), std::string::npos) << linha << r.saida;
  }
  const std::string contagens =
      "{\"files\":3,\"bytes\":41,\"folders\":5,\"failed\":0,\"skipped\":1,\"unchanged\":149,"
      "\"removed\":0,";
  EXPECT_EQ(contar(r.saida, "\n"), 4) << r.saida;
  EXPECT_NE(r.saida.find(contagens), std::string::npos) << r.saida;
  EXPECT_NE(r.saida.find(",\"dry_run\":true}\n"), std::string::npos) << r.saida;
  // Nothing is made on the agent for a target not there yet.
  ASSERT_EQ(restore(agente.caminho("nova"), {"--dry-run"}).status, 0);
  EXPECT_FALSE(fs::exists(agente.caminho("nova")));

  ASSERT_NO_FATAL_FAILURE(restoreDiz(alvo, contagens, filtro));
  EXPECT_EQ(lerArquivo(alvo + "/p2/raso.tmp"), "kept: ** needs a folder between");
  EXPECT_TRUE(fs::is_empty(alvo + "/p2/sub"));
  EXPECT_FALSE(fs::exists(alvo + "/.cache"));
}
