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

class Restauracao : public ::testing::Test {
 protected:
  void SetUp() override {
    agente.setAmbiente("TZ=UTC0");
    agente.usarPortaLivre();
    ASSERT_TRUE(agente.iniciar());
    for (int i = 0; i < 150; ++i) {
      std::string pasta = local / ("p" + std::to_string(i % 3));
      fs::create_directories(pasta);
      escreverArquivo(pasta + "/f" + std::to_string(i), "conteudo " + std::to_string(i));
      tocar(pasta + "/f" + std::to_string(i), 1600000000 + i);
    }
    fs::create_symlink("p0", local / "link");
  }

  TResultadoPrograma restore(const std::string& alvo, std::vector<std::string> extra = {}) {
    std::vector<std::string> argumentos = {"-p", std::to_string(agente.porta()), "--json", "-j",
                                           "3"};
    argumentos.insert(argumentos.end(), extra.begin(), extra.end());
    argumentos.insert(argumentos.end(), {"restore", local.caminho(), alvo});
    return executarPrograma(VORNACLI_BIN, argumentos, {"TZ=UTC0"});
  }

  // A restore into alvo that ends well and whose summary holds trecho.
  void restoreDiz(const std::string& alvo, const std::string& trecho,
                  std::vector<std::string> extra = {}) {
    TResultadoPrograma r = restore(alvo, std::move(extra));
    ASSERT_EQ(r.status, 0) << r.erros;
    EXPECT_NE(r.saida.find(trecho), std::string::npos) << r.saida;
  }

  // The tree below alvo is the local one: contents and modification seconds.
  void igualAoLocal(const std::string& alvo) {
    EXPECT_EQ(
        executarPrograma("/usr/bin/diff", {"-r", "--no-dereference", local.caminho(), alvo}).saida,
        "Only in " + local.caminho() + ": link\n");
    for (const auto& entrada : fs::recursive_directory_iterator(local.caminho())) {
      if (!entrada.is_regular_file() || entrada.is_symlink()) continue;
      std::string outro = alvo + "/" + fs::relative(entrada.path(), local.caminho()).string();
      struct stat deLa {
      }, daqui{};
      ASSERT_EQ(stat(outro.c_str(), &deLa), 0) << outro;
      stat(entrada.path().c_str(), &daqui);
      EXPECT_EQ(deLa.st_mtime, daqui.st_mtime) << outro;
    }
  }

  AgenteProcesso agente;
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
  EXPECT_EQ(executarPrograma("/usr/bin/diff", {"-r", alvo, umPorVez}).status, 0);
}
