// Symbolic links on the way of what hands content over or changes the
// machine: followed when root made them, refused when a user did, each
// refusal answered as the command's own failure and the stream kept in step.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "AgenteProcesso.h"
#include "TCPCliente.h"

namespace {

// A user other than root, who may own the links a test plants.
const uid_t USUARIO = 65534;

class AgenteLigacoes : public TesteComConexao {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "links owned by another user need root";
    TesteComConexao::SetUp();
    segredos = base + "/segredos";
    usuario = base + "/usuario";
    std::filesystem::create_directories(segredos);
    std::filesystem::create_directories(usuario);
    escreverArquivo(segredos + "/chave", "só do root");
    chmod((segredos + "/chave").c_str(), 0600);
    tocar(segredos + "/chave", 1000000000);
    ASSERT_EQ(chown(usuario.c_str(), USUARIO, USUARIO), 0);
  }

  // A link at caminho to alvo, owned by dono.
  void ligar(const std::string& alvo, const std::string& caminho, uid_t dono) {
    ASSERT_EQ(symlink(alvo.c_str(), caminho.c_str()), 0) << caminho;
    ASSERT_EQ(lchown(caminho.c_str(), dono, dono), 0) << caminho;
  }

  bool recusaNoLog(const std::string& pedido, const std::string& caminho) {
    return agente.esperarNoLogProcesso("Pedido de " + pedido + " recusado para " + caminho +
                                       " - Motivo:ligação simbólica ");
  }

  std::string segredos, usuario;
};

}  // namespace

TEST_F(AgenteLigacoes, buscaPorLigacaoDeUsuarioEhIlegivelADoRootServe) {
  // The file the backup listed, swapped for a link to a root-only file.
  ligar(segredos + "/chave", usuario + "/meu", USUARIO);
  // And a folder of theirs swapped for a link to root's folder.
  ligar(segredos, usuario + "/pasta", USUARIO);
  std::string conteudo;
  for (const std::string& caminho : {usuario + "/meu", usuario + "/pasta/chave"}) {
    EXPECT_EQ(cliente->iniciarBusca(caminho, 4096), -1) << caminho;
    EXPECT_TRUE(emPasso(cliente.get()));
    EXPECT_TRUE(recusaNoLog("busca", caminho)) << caminho;
  }
  // A hard link to root's own link may be put anywhere: not trusted either.
  ligar(segredos + "/chave", base + "/do-root", 0);
  ASSERT_EQ(linkat(AT_FDCWD, (base + "/do-root").c_str(), AT_FDCWD, (usuario + "/duro").c_str(), 0),
            0);
  EXPECT_EQ(cliente->iniciarBusca(usuario + "/duro", 4096), -1);
  EXPECT_TRUE(emPasso(cliente.get()));
  ASSERT_EQ(unlink((usuario + "/duro").c_str()), 0);
  // Links root made, to a file and through a folder (absolute and relative).
  ligar("segredos", base + "/relativa", 0);
  for (const std::string& caminho : {base + "/do-root", base + "/relativa/chave"}) {
    ASSERT_TRUE(cliente->buscar(caminho, 4096, &conteudo)) << caminho;
    EXPECT_EQ(conteudo, "só do root") << caminho;
  }
}

TEST_F(AgenteLigacoes, gravacaoDataEPastaNaoAtravessamLigacaoDeUsuario) {
  ligar(segredos, usuario + "/pasta", USUARIO);
  std::string alvo = usuario + "/pasta/chave";
  ASSERT_TRUE(cliente->gravar(alvo, 4096, "plantado", 8))
      << "a store that cannot be made still consumes its bytes and is acknowledged";
  EXPECT_TRUE(emPasso(cliente.get()));
  EXPECT_EQ(lerArquivo(segredos + "/chave"), "só do root");
  EXPECT_TRUE(recusaNoLog("gravação", alvo));

  ASSERT_TRUE(cliente->definirData(alvo, "01/01/20 00:00:00"));
  EXPECT_EQ(estado(segredos + "/chave").st_mtime, 1000000000);
  EXPECT_EQ(estado(segredos + "/chave").st_mode & 07777, 0600u);
  EXPECT_TRUE(recusaNoLog("alteração de data", alvo));
  ligar(segredos + "/chave", usuario + "/data", USUARIO);
  ASSERT_TRUE(cliente->definirData(usuario + "/data", "01/01/20 00:00:00"));
  EXPECT_EQ(estado(segredos + "/chave").st_mtime, 1000000000) << "nor a link as the last part";

  std::string erro;
  EXPECT_EQ(cliente->criarPasta(usuario + "/pasta/nova", &erro), COMMAND_ERRO);
  EXPECT_FALSE(erro.empty());
  EXPECT_FALSE(std::filesystem::exists(segredos + "/nova"));
  EXPECT_TRUE(recusaNoLog("criação de pasta", usuario + "/pasta/nova"));
  EXPECT_TRUE(emPasso(cliente.get()));

  // Through a folder link root made, all four work.
  ligar(segredos, base + "/do-root", 0);
  ASSERT_TRUE(cliente->gravar(base + "/do-root/novo", 4096, "novo", 4));
  EXPECT_EQ(lerArquivo(segredos + "/novo"), "novo");
  ASSERT_TRUE(cliente->definirData(base + "/do-root/novo", "01/01/20 00:00:00"));
  EXPECT_EQ(estado(segredos + "/novo").st_mtime, 1577836800);
  EXPECT_EQ(cliente->criarPasta(base + "/do-root/sub", &erro), COMMAND_OK);
  EXPECT_TRUE(std::filesystem::is_directory(segredos + "/sub"));
}
