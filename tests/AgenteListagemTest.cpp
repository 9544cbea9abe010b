// The four listing commands against the real agent.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>
#include <set>

#include "AgenteProcesso.h"
#include "Stream.h"
#include "TCPCliente.h"

namespace {

using Bytes = std::vector<unsigned char>;

void acrescentarLE(Bytes* b, uint32_t v) {
  for (int i = 0; i < 4; ++i) b->push_back(static_cast<unsigned char>(v >> (8 * i)));
}

std::set<std::string> nomes(const TListaInfoObjectLinux& lista) {
  std::set<std::string> n;
  for (const InfoObjectLinux& r : lista) n.insert(r.getNome());
  return n;
}

class AgenteListagem : public ::testing::Test {
 protected:
  void SetUp() override {
    arvore = agente.caminho("arvore");
    std::filesystem::create_directories(arvore + "/sub/fundo");
    std::filesystem::create_directories(arvore + "/proc");
    std::filesystem::create_directories(arvore + "/selinux-old");
    std::filesystem::create_directories(arvore + "/vazia");
    escreverArquivo(arvore + "/f", "abc");
    escreverArquivo(arvore + "/.oculto", "");
    escreverArquivo(arvore + "/sub/fundo/g", "12345");
    escreverArquivo(arvore + "/proc/p", "p");
    escreverArquivo(arvore + "/selinux-old/s", "s");
    std::filesystem::create_symlink("f", arvore + "/link");
    std::filesystem::create_directory_symlink("sub", arvore + "/link-pasta");
    mkfifo((arvore + "/fifo").c_str(), 0644);
    agente.setAmbiente("TZ=UTC0");
    agente.usarPortaLivre();
  }

  void iniciar() {
    ASSERT_TRUE(agente.iniciar());
    cliente = agente.conectarLogado();
    ASSERT_TRUE(cliente);
  }

  void tocar(const std::string& nome, time_t quando) {
    struct timespec tempos[2] = {{quando, 0}, {quando, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, (arvore + "/" + nome).c_str(), tempos, 0), 0);
  }

  Bytes respostaBruta(int codigo, const std::vector<std::string>& textos) {
    MemoryStream pedido;
    for (const std::string& t : textos) pedido.addString(t);
    EXPECT_TRUE(cliente->comando(codigo));
    EXPECT_TRUE(cliente->enviarMensagem(pedido));
    Bytes tamanho(4);
    if (!cliente->receberBytes(tamanho.data(), 4)) return Bytes();
    size_t n = static_cast<size_t>(Stream::ConvertToInt32(tamanho.data()));
    Bytes corpo(n);
    if (!cliente->receberBytes(corpo.data(), n)) return Bytes();
    tamanho.insert(tamanho.end(), corpo.begin(), corpo.end());
    return tamanho;
  }

  AgenteProcesso agente;
  std::string arvore;
  std::unique_ptr<ClienteVorna> cliente;
};

}  // namespace

TEST_F(AgenteListagem, pastasSaoRegistrosNaoCarregadosByteAByte) {
  std::filesystem::create_directories(agente.caminho("so-uma/x/y"));
  iniciar();
  std::string x = agente.caminho("so-uma/x");
  Bytes esperado = {0, 0, 0, static_cast<unsigned char>(4 + 20 + x.size()), 1, 0, 0, 0};
  acrescentarLE(&esperado, static_cast<uint32_t>(x.size()));
  esperado.insert(esperado.end(), x.begin(), x.end());
  esperado.insert(esperado.end(), 16, 0);  // DIRETORIO, size 0, empty date
  EXPECT_EQ(respostaBruta(CMD_AGENTE_LINUX_LIST_FOLDERS_DIR, {agente.caminho("so-uma")}), esperado);
}

TEST_F(AgenteListagem, arquivoCarregadoComDataLocalByteAByte) {
  std::filesystem::create_directories(agente.caminho("um"));
  escreverArquivo(agente.caminho("um/f"), "abc");
  struct timespec tempos[2] = {{1772716024, 0}, {1772716024, 0}};
  utimensat(AT_FDCWD, agente.caminho("um/f").c_str(), tempos, 0);
  iniciar();
  std::string f = agente.caminho("um/f");
  std::string data = "05/03/2026 13:07:04";
  Bytes esperado = {0, 0, 0, static_cast<unsigned char>(4 + 20 + f.size() + 19), 1, 0, 0, 0};
  acrescentarLE(&esperado, static_cast<uint32_t>(f.size()));
  esperado.insert(esperado.end(), f.begin(), f.end());
  esperado.insert(esperado.end(), {1, 0, 0, 0, 3, 0, 0, 0, 0, 0, 0, 0, 19, 0, 0, 0});
  esperado.insert(esperado.end(), data.begin(), data.end());
  EXPECT_EQ(respostaBruta(CMD_AGENTE_LINUX_LIST, {agente.caminho("um")}), esperado);
  if (AgenteProcesso::logsGravaveis()) {
    EXPECT_TRUE(agente.esperarNoLogInicio(" CMD_AGENTE_LINUX_LIST\n"));
    EXPECT_EQ(agente.logProcesso().find("CMD_AGENTE_LINUX_LIST"), std::string::npos);
  }
}

TEST_F(AgenteListagem, osQuatroComandosNaMesmaConexao) {
  iniciar();
  TListaInfoObjectLinux lista;
  ASSERT_TRUE(cliente->listar(CMD_AGENTE_LINUX_LIST, arvore, &lista));
  EXPECT_EQ(nomes(lista), (std::set<std::string>{arvore + "/sub", arvore + "/proc",
                                                 arvore + "/selinux-old", arvore + "/vazia",
                                                 arvore + "/f", arvore + "/.oculto"}));
  ASSERT_TRUE(cliente->listar(CMD_AGENTE_LINUX_LIST_ALL_FILES, arvore, &lista));
  EXPECT_EQ(nomes(lista), (std::set<std::string>{arvore + "/f", arvore + "/.oculto",
                                                 arvore + "/sub/fundo/g", arvore + "/proc/p",
                                                 arvore + "/selinux-old/s"}));
  for (const InfoObjectLinux& r : lista) {
    EXPECT_EQ(r.getTipo(), ARQUIVO);
    if (r.getNome() == arvore + "/sub/fundo/g") {
      EXPECT_EQ(r.getTamanho(), 5);
    }
  }
  ASSERT_TRUE(cliente->listar(CMD_AGENTE_LINUX_LIST_FOLDERS_DIR, arvore + "/", &lista));
  EXPECT_EQ(nomes(lista), (std::set<std::string>{arvore + "/sub", arvore + "/proc",
                                                 arvore + "/selinux-old", arvore + "/vazia"}));
  ASSERT_TRUE(cliente->listar(CMD_AGENTE_LINUX_LIST_ALL_FILES, arvore + "/vazia", &lista));
  EXPECT_TRUE(lista.empty());
  EXPECT_EQ(cliente->getVersao(), 8);
}

TEST_F(AgenteListagem, incrementalPeloSegundoEmHoraLocal) {
  for (const char* nome : {"f", ".oculto", "sub/fundo/g", "proc/p", "selinux-old/s"}) {
    tocar(nome, 1772716000);
  }
  tocar("f", 1772716024);           // 05/03/26 13:07:04 UTC: not after the time asked
  tocar("sub/fundo/g", 1772716025);  // one second later
  iniciar();
  TListaInfoObjectLinux lista;
  ASSERT_TRUE(cliente->listar(CMD_AGENTE_LINUX_LIST_ALL_FILES_INCREMENTAL, arvore, &lista,
                              "05/03/26 13:07:04"));
  EXPECT_EQ(nomes(lista), (std::set<std::string>{arvore + "/sub/fundo/g"}));
  ASSERT_TRUE(cliente->listar(CMD_AGENTE_LINUX_LIST_ALL_FILES_INCREMENTAL, arvore, &lista,
                              "05/03/26 13:07:26"));
  EXPECT_TRUE(lista.empty());
  // A time that does not parse lists everything rather than nothing.
  for (const char* ruim : {"", "amanhã", "05/03/2026 13:07:04"}) {
    ASSERT_TRUE(cliente->listar(CMD_AGENTE_LINUX_LIST_ALL_FILES_INCREMENTAL, arvore, &lista, ruim));
    EXPECT_EQ(lista.size(), 5u) << ruim;
  }
}

TEST_F(AgenteListagem, bloqueadoAusenteOuArquivoDaoContagemZero) {
  iniciar();
  for (const char* caminho : {"/proc", "//proc/self/", "/nao/existe"}) {
    for (int codigo : {0, 5, 11}) {
      EXPECT_EQ(respostaBruta(codigo, {caminho}), (Bytes{0, 0, 0, 4, 0, 0, 0, 0}))
          << codigo << " " << caminho;
    }
  }
  EXPECT_EQ(respostaBruta(CMD_AGENTE_LINUX_LIST, {arvore + "/f"}), (Bytes{0, 0, 0, 4, 0, 0, 0, 0}));
  TListaInfoObjectLinux lista;
  ASSERT_TRUE(cliente->listar(CMD_AGENTE_LINUX_LIST, "/", &lista));
  std::set<std::string> topo = nomes(lista);
  EXPECT_TRUE(topo.count("/etc"));
  EXPECT_FALSE(topo.count("/proc"));
}

TEST_F(AgenteListagem, pedidoMalformadoSegueAPoliticaDeCadaComando) {
  iniciar();
  cliente.reset();
  // A message whose string claims more bytes than the body holds.
  MemoryStream malformada;
  malformada.addInt(1000);
  struct Caso {
    int codigo;
    bool continua;
    const char* console;
  };
  for (const Caso& caso : {Caso{0, false, nullptr}, Caso{5, false, "ERRO: "},
                           Caso{11, true, "ERRO: "}, Caso{18, false, "Erro ao ler comandando"}}) {
    std::string antes = agente.saida();
    auto c = agente.conectarLogado();
    ASSERT_TRUE(c);
    ASSERT_TRUE(c->comando(caso.codigo));
    ASSERT_TRUE(c->enviarMensagem(malformada));
    if (caso.continua) {
      EXPECT_EQ(c->getVersao(), 8) << caso.codigo;
    } else {
      EXPECT_TRUE(c->aguardarFechamento(5000)) << caso.codigo;
    }
    c.reset();
    if (caso.console) {
      EXPECT_TRUE(agente.esperarNaSaida(std::string("\n") + caso.console));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::string novo = agente.saida().substr(antes.size());
    EXPECT_EQ(novo.find("ERRO: ") != std::string::npos,
              caso.console && std::string(caso.console) == "ERRO: ")
        << caso.codigo << ": " << novo;
  }
}

TEST_F(AgenteListagem, semPrivilegiosArquivoIlegivelTemTamanhoMenosUm) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to start the agent as another user";
  escreverArquivo(arvore + "/segredo", "1234");
  chmod((arvore + "/segredo").c_str(), 0000);
  std::filesystem::create_directories(arvore + "/fechada");
  escreverArquivo(arvore + "/fechada/x", "x");
  chmod((arvore + "/fechada").c_str(), 0000);
  std::filesystem::create_directories(arvore + "/sem-busca");
  escreverArquivo(arvore + "/sem-busca/y", "y");
  chmod((arvore + "/sem-busca").c_str(), 0444);
  agente.setUsuario(65534);
  iniciar();
  TListaInfoObjectLinux lista;
  ASSERT_TRUE(cliente->listar(CMD_AGENTE_LINUX_LIST_ALL_FILES, arvore, &lista));
  EXPECT_EQ(nomes(lista), (std::set<std::string>{arvore + "/f", arvore + "/.oculto",
                                                 arvore + "/sub/fundo/g", arvore + "/proc/p",
                                                 arvore + "/selinux-old/s", arvore + "/segredo"}));
  for (const InfoObjectLinux& r : lista) {
    if (r.getNome() == arvore + "/segredo") {
      EXPECT_EQ(r.getTamanho(), -1);
      EXPECT_EQ(r.getDataUltimaModificacao().size(), 19u);
    }
  }
  ASSERT_TRUE(cliente->listar(CMD_AGENTE_LINUX_LIST, arvore + "/sem-busca", &lista));
  EXPECT_TRUE(lista.empty()) << "entries whose status cannot be read are passed over";
  chmod((arvore + "/fechada").c_str(), 0755);
}

TEST(AgenteListagemConcorrente, muitasListagensAoMesmoTempoNoFusoDoSistema) {
  // The machine's own time zone (a zone file, unlike the tests' TZ=UTC0),
  // files an hour apart each, and many connections converting at once.
  AgenteProcesso agente;
  std::string arvore = agente.caminho("arvore");
  std::filesystem::create_directories(arvore);
  for (int i = 0; i < 400; ++i) {
    std::string arquivo = arvore + "/f" + std::to_string(i);
    escreverArquivo(arquivo, "x");
    struct timespec tempos[2] = {{1600000000 + i * 3600L, 0}, {1600000000 + i * 3600L, 0}};
    utimensat(AT_FDCWD, arquivo.c_str(), tempos, 0);
  }
  agente.usarPortaLivre();
  ASSERT_TRUE(agente.iniciar());
  std::vector<std::unique_ptr<ClienteVorna>> clientes;
  for (int i = 0; i < 40; ++i) {
    clientes.push_back(agente.conectarLogado());
    ASSERT_TRUE(clientes.back());
  }
  std::atomic<int> certas{0};
  std::vector<std::thread> threads;
  for (auto& cliente : clientes) {
    threads.emplace_back([&certas, c = cliente.get(), arvore] {
      for (int vez = 0; vez < 5; ++vez) {
        TListaInfoObjectLinux lista;
        if (!c->listar(CMD_AGENTE_LINUX_LIST_ALL_FILES, arvore, &lista) || lista.size() != 400) return;
      }
      ++certas;
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(certas.load(), 40);
  EXPECT_TRUE(agente.vivo());
}
