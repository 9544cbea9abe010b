// Least privilege: the backup-only mode and the folders the server may read
// and write. A refused request answers as the command's own failure, the
// stream stays in step, and nothing changes on disk.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "AgenteProcesso.h"
#include "TCPCliente.h"

namespace fs = std::filesystem;

namespace {

const Bytes OK = {0x00, 0x0e, 0xeb, 0x71};

// An agent with the given settings, a tree with a readable, a writable and
// an outside folder, and a logged-in connection.
class AgentePastas : public ::testing::Test {
 protected:
  void iniciar(const std::string& configuracao) {
    base = agente.caminho("t");
    ler = base + "/ler", escrever = base + "/escrever", fora = base + "/fora";
    for (const std::string& pasta : {ler + "/sub", escrever, fora}) fs::create_directories(pasta);
    escreverArquivo(ler + "/sub/a", "legível");
    escreverArquivo(fora + "/segredo", "de fora");
    escreverArquivo(escrever + "/velho", "velho");
    tocar(escrever + "/velho", 1000000000);
    std::string texto = configuracao;
    for (auto [marca, valor] : {std::pair<std::string, std::string>{"LER", ler},
                                {"ESCREVER", escrever},
                                {"BASE", base}}) {
      for (size_t p; (p = texto.find(marca)) != std::string::npos;)
        texto.replace(p, marca.size(), valor);
    }
    agente.setAmbiente("TZ=UTC0");
    agente.setConfiguracaoExtra(texto);
    agente.usarPortaLivre();
    ASSERT_TRUE(agente.iniciar());
    cliente = agente.conectarLogado();
  }

  // A store that cannot be made: its bytes consumed, both COMMAND_OKs, nothing on disk.
  void gravacaoRecusada(const std::string& caminho) {
    bool existia = fs::exists(caminho);
    std::string antes = existia ? lerArquivo(caminho) : "";
    pedirGravacao(cliente.get(), caminho, 6);
    ASSERT_TRUE(cliente->enviarBytes("abcdef", 6));
    EXPECT_EQ(receber(cliente.get(), 4), OK) << caminho;
    EXPECT_TRUE(emPasso(cliente.get())) << caminho;
    EXPECT_EQ(fs::exists(caminho), existia) << caminho;
    if (existia) {
      EXPECT_EQ(lerArquivo(caminho), antes) << caminho;
    }
  }

  // A folder creation refused with COMMAND_ERRO and a text holding motivo.
  void pastaRecusada(const std::string& caminho, const std::string& motivo) {
    ASSERT_TRUE(cliente->comando(CMD_AGENTE_LINUX_CREATE_DIR_SERVER_LINUX));
    ASSERT_TRUE(cliente->enviarMensagem(ClienteVorna::pedidoDeCaminho(caminho)));
    EXPECT_EQ(receber(cliente.get(), 4), (Bytes{0x00, 0x0e, 0xeb, 0x6b})) << caminho;
    MemoryStream texto;
    std::string erro;
    ASSERT_TRUE(cliente->lerMensagem(&texto) && ClienteVorna::lerTexto(&texto, &erro));
    EXPECT_NE(erro.find(motivo), std::string::npos) << erro;
    EXPECT_FALSE(fs::exists(caminho));
  }

  // A time change that changes nothing.
  void dataRecusada(const std::string& caminho) {
    time_t antes = estado(caminho).st_mtime;
    ASSERT_TRUE(cliente->definirData(caminho, "02/02/22 00:00:00"));
    EXPECT_EQ(estado(caminho).st_mtime, antes) << caminho;
  }

  // Every read-side answer is the one for a path that is not there.
  void leituraRecusada(const std::string& caminho) {
    EXPECT_EQ(cliente->iniciarBusca(caminho, 4096), -1) << caminho;
    TListaInfoObjectLinux registros;
    EXPECT_TRUE(cliente->listar(CMD_AGENTE_LINUX_LIST_ALL_FILES, caminho, &registros));
    EXPECT_TRUE(registros.empty()) << caminho;
    int64_t tamanho = 0;
    EXPECT_TRUE(cliente->perguntarTamanho(CMD_AGENTE_LINUX_GET_SIZE_FILE, caminho, &tamanho));
    EXPECT_EQ(tamanho, -1) << caminho;
    bool existe = true;
    EXPECT_TRUE(cliente->perguntarFlag(CMD_AGENTE_LINUX_EXIST_FILE_OR_FOLDER, caminho, &existe));
    EXPECT_FALSE(existe) << caminho;
    EXPECT_TRUE(emPasso(cliente.get()));
  }

  AgenteProcesso agente;
  std::unique_ptr<ClienteVorna> cliente;
  std::string base, ler, escrever, fora;
};

}  // namespace

TEST_F(AgentePastas, somenteLeituraRecusaCadaMudancaESegueEmPasso) {
  iniciar("somenteLeitura=1\n");
  gravacaoRecusada(escrever + "/novo");
  gravacaoRecusada(escrever + "/velho");
  pastaRecusada(escrever + "/nova", "somente leitura");
  dataRecusada(escrever + "/velho");
  std::string conteudo;
  ASSERT_TRUE(cliente->buscar(ler + "/sub/a", 4096, &conteudo)) << "a backup goes on as ever";
  EXPECT_EQ(conteudo, "legível");
  EXPECT_TRUE(
      agente.esperarNoLogProcesso("Pedido de gravação recusado para " + escrever +
                                  "/novo - Motivo:o agente é somente leitura (somenteLeitura=1)"));
  EXPECT_TRUE(agente.esperarNoLogProcesso("Pedido de alteração de data recusado para " + escrever +
                                          "/velho"));
}

TEST_F(AgentePastas, pastasDeLeituraEEscritaNaoDeixamSairPorPontoPontoNemLigacao) {
  iniciar("pastasLeitura=LER, relativa\npastasEscrita=ESCREVER\n");
  EXPECT_NE(agente.saida().find("Valor inválido para pastasLeitura em vornaConfig.txt: "
                                "\"relativa\""),
            std::string::npos);
  std::string conteudo;
  ASSERT_TRUE(cliente->buscar(ler + "/sub/a", 4096, &conteudo));
  EXPECT_EQ(conteudo, "legível");
  TListaInfoObjectLinux registros;
  ASSERT_TRUE(cliente->listar(CMD_AGENTE_LINUX_LIST_ALL_FILES, ler, &registros));
  EXPECT_EQ(registros.size(), 1u);
  ASSERT_TRUE(cliente->gravar(escrever + "/novo", 4096, "novo", 4));
  EXPECT_EQ(lerArquivo(escrever + "/novo"), "novo");
  ASSERT_TRUE(cliente->definirData(escrever + "/novo", "01/01/20 00:00:00"));
  EXPECT_EQ(estado(escrever + "/novo").st_mtime, 1577836800);
  InfoObjectLinux registro;
  ASSERT_TRUE(cliente->getRegistro(escrever + "/novo", &registro))
      << "what may be written may be looked at: a restore checks it";
  EXPECT_EQ(registro.getTamanho(), 4);
  std::string erro;
  EXPECT_EQ(cliente->criarPasta(escrever + "/nova", &erro), COMMAND_OK);

  // Outside, and out by "..", by a link root made, to either side.
  ASSERT_EQ(symlink(fora.c_str(), (ler + "/absoluta").c_str()), 0);
  ASSERT_EQ(symlink("../fora", (escrever + "/relativa").c_str()), 0);
  for (const std::string& caminho : {fora + "/segredo", ler + "/../fora/segredo",
                                     ler + "/absoluta/segredo", escrever + "/relativa/segredo"}) {
    leituraRecusada(caminho);
  }
  EXPECT_EQ(cliente->getRegistro(fora + "/segredo", &registro), true);
  EXPECT_EQ(registro.getTamanho(), -1);
  EXPECT_TRUE(registro.getDataUltimaModificacao().empty());
  for (const std::string& caminho :
       {fora + "/x", escrever + "/../fora/x", ler + "/x", escrever + "/relativa/x"}) {
    gravacaoRecusada(caminho);
    pastaRecusada(caminho + "d", "fora de pastasEscrita");
  }
  dataRecusada(fora + "/segredo");
  dataRecusada(escrever + "/relativa/segredo");
  EXPECT_TRUE(agente.esperarNoLogProcesso("Pedido de busca recusado para " + fora +
                                          "/segredo - Motivo:fora de pastasLeitura"));
  EXPECT_TRUE(agente.esperarNoLogProcesso("Pedido de gravação recusado para " + fora +
                                          "/x - Motivo:fora de pastasEscrita"));
}

TEST_F(AgentePastas, pastaQueEhLigacaoDoRootServeMontagemNaoDeixaSair) {
  if (geteuid() != 0) GTEST_SKIP() << "bind mounts need root";
  // The read folder named through a link root made; a folder of it bind-mounted
  // from outside.
  iniciar("pastasLeitura=BASE/atalho\n");
  ASSERT_EQ(symlink(ler.c_str(), (base + "/atalho").c_str()), 0);
  std::string conteudo;
  ASSERT_TRUE(cliente->buscar(base + "/atalho/sub/a", 4096, &conteudo));
  EXPECT_EQ(conteudo, "legível");
  fs::create_directories(ler + "/montada");
  if (mount(fora.c_str(), (ler + "/montada").c_str(), nullptr, MS_BIND, nullptr) != 0) {
    GTEST_SKIP() << "no bind mount here";
  }
  struct Desmontar {
    std::string ponto;
    ~Desmontar() { umount2(ponto.c_str(), MNT_DETACH); }
  } desmontar{ler + "/montada"};
  leituraRecusada(base + "/atalho/montada/segredo");
  TListaInfoObjectLinux registros;
  ASSERT_TRUE(cliente->listar(CMD_AGENTE_LINUX_LIST_ALL_FILES, base + "/atalho", &registros));
  ASSERT_EQ(registros.size(), 1u) << "the walk does not enter the mount";
  EXPECT_EQ(registros.front().getNome(), base + "/atalho/sub/a");
}
