// The listing, query and modification commands against the real agent.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <set>
#include <thread>

#include "AgenteProcesso.h"
#include "TCPCliente.h"

namespace {

const Bytes FALSO = {0, 0, 0, 1, 0};
const Bytes VERDADEIRO = {0, 0, 0, 1, 1};
const Bytes OK = {0x00, 0x0e, 0xeb, 0x71};
const Bytes CONTAGEM_ZERO = {0, 0, 0, 4, 0, 0, 0, 0};

Bytes tamanho64(uint64_t v) {
  Bytes b = {0, 0, 0, 8};
  for (int i = 0; i < 8; ++i) b.push_back(static_cast<unsigned char>(v >> (8 * i)));
  return b;
}

std::set<std::string> nomes(const TListaInfoObjectLinux& lista) {
  std::set<std::string> n;
  for (const InfoObjectLinux& r : lista) n.insert(r.getNome());
  return n;
}

// A tree with everything the commands must tell apart, in the agent's
// folder, and the agent started in UTC.
class AgenteComandos : public ::testing::Test {
 protected:
  void SetUp() override {
    a = agente.caminho("arvore");
    for (const char* pasta : {"sub/fundo", "proc", "selinux-old", "vazia"}) {
      std::filesystem::create_directories(a + "/" + pasta);
    }
    escreverArquivo(a + "/f", "abc");
    escreverArquivo(a + "/.oculto", "");
    escreverArquivo(a + "/sub/fundo/g", "1234567");
    escreverArquivo(a + "/proc/p", "p");
    escreverArquivo(a + "/selinux-old/s", "s");
    std::filesystem::create_symlink("f", a + "/link");
    std::filesystem::create_directory_symlink("sub", a + "/link-pasta");
    std::filesystem::create_symlink("nada", a + "/quebrado");
    mkfifo((a + "/fifo").c_str(), 0644);
    agente.setAmbiente("TZ=UTC0");
    agente.usarPortaLivre();
  }

  void iniciar() {
    ASSERT_TRUE(agente.iniciar({}, "./AgenteLinuxVorna"));
    cliente = agente.conectarLogado();
  }

  std::set<std::string> listar(int codigo, const std::string& pasta, const std::string& data = "") {
    TListaInfoObjectLinux lista;
    EXPECT_TRUE(cliente->listar(codigo, pasta, &lista, data)) << codigo << " " << pasta;
    return nomes(lista);
  }

  std::set<std::string> em(std::initializer_list<const char*> relativos) {
    std::set<std::string> s;
    for (const char* r : relativos) s.insert(a + "/" + r);
    return s;
  }

  AgenteProcesso agente;
  std::string a;
  std::unique_ptr<ClienteVorna> cliente;
};

}  // namespace

TEST_F(AgenteComandos, registrosByteAByte) {
  std::filesystem::create_directories(agente.caminho("so-uma/x/y"));
  std::string x = agente.caminho("so-uma/x");
  escreverArquivo(x + "/f", "abc");
  tocar(x + "/f", 1772716024);  // 05/03/2026 13:07:04 UTC
  iniciar();
  // Code 11: one unloaded folder record (DIRETORIO, size 0, no date).
  Bytes pastas = {0, 0, 0, static_cast<unsigned char>(4 + 20 + x.size()), 1,
                  0, 0, 0, static_cast<unsigned char>(x.size()),          0,
                  0, 0};
  pastas.insert(pastas.end(), x.begin(), x.end());
  pastas.insert(pastas.end(), 16, 0);
  EXPECT_EQ(respostaBruta(cliente.get(), 11, {agente.caminho("so-uma")}), pastas);
  // Code 0 of x: the folder y unloaded and the file f loaded, in reading order.
  Bytes nivel = respostaBruta(cliente.get(), 0, {x});
  std::string f = x + "/f", data = "05/03/2026 13:07:04";
  Bytes registroF = {static_cast<unsigned char>(f.size()), 0, 0, 0};
  registroF.insert(registroF.end(), f.begin(), f.end());
  registroF.insert(registroF.end(), {1, 0, 0, 0, 3, 0, 0, 0, 0, 0, 0, 0, 19, 0, 0, 0});
  registroF.insert(registroF.end(), data.begin(), data.end());
  ASSERT_EQ(nivel.size(), 8 + (20 + x.size() + 2) + registroF.size());
  EXPECT_EQ(Bytes(nivel.begin() + 4, nivel.begin() + 8), (Bytes{2, 0, 0, 0}));
  EXPECT_NE(std::search(nivel.begin(), nivel.end(), registroF.begin(), registroF.end()),
            nivel.end());
  // Code 10: one record for any path, as given.
  InfoObjectLinux registro;
  ASSERT_TRUE(cliente->getRegistro(a + "/sub", &registro));
  EXPECT_EQ(registro.getTipo(), DIRETORIO);
  EXPECT_EQ(registro.getTamanho(), 0);
  EXPECT_EQ(registro.getDataUltimaModificacao().size(), 19u);
  ASSERT_TRUE(cliente->getRegistro(a + "/link-pasta", &registro));
  EXPECT_EQ(registro.getTipo(), ARQUIVO) << "a link is never a folder";
  for (const std::string& semStatus : {a + "/nada", a + "/quebrado"}) {
    ASSERT_TRUE(cliente->getRegistro(semStatus, &registro));
    EXPECT_EQ(registro.getNome(), semStatus);
    EXPECT_EQ(registro.getTipo(), ARQUIVO);
    EXPECT_EQ(registro.getTamanho(), -1);
    EXPECT_EQ(registro.getDataUltimaModificacao(), "");
  }
  EXPECT_TRUE(agente.esperarNoLogInicio(" CMD_AGENTE_LINUX_LIST\n"));
  EXPECT_EQ(agente.logProcesso().find("CMD_AGENTE_LINUX_LIST"), std::string::npos);
}

TEST_F(AgenteComandos, listagensSemLinksEspeciaisNemPastasDoSistema) {
  iniciar();
  EXPECT_EQ(listar(CMD_AGENTE_LINUX_LIST, a),
            em({"sub", "proc", "selinux-old", "vazia", "f", ".oculto"}));
  EXPECT_EQ(listar(CMD_AGENTE_LINUX_LIST_ALL_FILES, a),
            em({"f", ".oculto", "sub/fundo/g", "proc/p", "selinux-old/s"}));
  EXPECT_EQ(listar(CMD_AGENTE_LINUX_LIST_FOLDERS_DIR, a + "/"),
            em({"sub", "proc", "selinux-old", "vazia"}));
  EXPECT_TRUE(listar(CMD_AGENTE_LINUX_LIST_ALL_FILES, a + "/vazia").empty());
  // Blocked, missing or not a folder: the count 0 alone.
  for (const std::string& caminho :
       {std::string("/proc"), std::string("//proc/self/"), std::string("/nao/existe"), a + "/f"}) {
    for (int codigo : {0, 5, 11}) {
      EXPECT_EQ(respostaBruta(cliente.get(), codigo, {caminho}), CONTAGEM_ZERO) << caminho;
    }
  }
  std::set<std::string> topo = listar(CMD_AGENTE_LINUX_LIST, "/");
  EXPECT_TRUE(topo.count("/etc"));
  EXPECT_FALSE(topo.count("/proc"));
  EXPECT_TRUE(emPasso(cliente.get()));
}

TEST_F(AgenteComandos, incrementalPeloSegundoEmHoraLocal) {
  for (const char* nome : {"f", ".oculto", "sub/fundo/g", "proc/p", "selinux-old/s"}) {
    tocar(a + "/" + nome, 1772716000);
  }
  tocar(a + "/f", 1772716024);            // 05/03/26 13:07:04 UTC: not after the time asked
  tocar(a + "/sub/fundo/g", 1772716025);  // one second later
  iniciar();
  EXPECT_EQ(listar(CMD_AGENTE_LINUX_LIST_ALL_FILES_INCREMENTAL, a, "05/03/26 13:07:04"),
            em({"sub/fundo/g"}));
  EXPECT_TRUE(listar(CMD_AGENTE_LINUX_LIST_ALL_FILES_INCREMENTAL, a, "05/03/26 13:07:26").empty());
  // A time that does not parse lists everything rather than nothing.
  for (const char* ruim : {"", "amanhã", "05/03/2026 13:07:04"}) {
    EXPECT_EQ(listar(CMD_AGENTE_LINUX_LIST_ALL_FILES_INCREMENTAL, a, ruim).size(), 5u) << ruim;
  }
}

TEST_F(AgenteComandos, consultasByteAByte) {
  iniciar();
  EXPECT_EQ(respostaBruta(cliente.get(), 14, {}, false), mensagemDeTexto("AgenteLinuxVorna"));
  EXPECT_EQ(respostaBruta(cliente.get(), 15, {}, false),
            mensagemDeTexto(agente.diretorio() + "/AgenteLinuxVorna"));
  EXPECT_EQ(respostaBruta(cliente.get(), 16, {}, false), FALSO);
  EXPECT_EQ(respostaBruta(cliente.get(), 20, {}, false), mensagemDeTexto(agente.diretorio()));
  const struct {
    int codigo;
    const char* caminho;
    Bytes resposta;
  } casos[] = {
      {6, "nada", tamanho64(~0ull)},
      {6, "f", tamanho64(3)},
      {6, "fifo", tamanho64(~0ull)},
      {7, "sub", VERDADEIRO},
      {7, "link-pasta", FALSO},
      {7, "nada", FALSO},
      {8, "sub", VERDADEIRO},
      {8, "link", VERDADEIRO},
      {8, "quebrado", FALSO},
      {8, "fifo", VERDADEIRO},
      // 3 + 1 + 1 + 7 (links, the FIFO and the folders add nothing; proc is sized)
      {4, "", tamanho64(12)},
  };
  for (const auto& caso : casos) {
    EXPECT_EQ(respostaBruta(cliente.get(), caso.codigo, {a + "/" + caso.caminho}), caso.resposta)
        << caso.codigo << " " << caso.caminho;
  }
  EXPECT_EQ(respostaBruta(cliente.get(), 4, {"/proc"}), tamanho64(0));
  EXPECT_EQ(respostaBruta(cliente.get(), 6, {"/dev/null"}), tamanho64(0));  // read to its end
  EXPECT_TRUE(emPasso(cliente.get()));
  std::string saida = agente.saida();
  for (const char* tipo : {"\nFIFO/pipe\n", "\nregular file\n", "\ndirectory\n", "\nsymlink\n"}) {
    EXPECT_NE(saida.find(tipo), std::string::npos) << tipo;  // the links' targets, the FIFO
  }
}

TEST_F(AgenteComandos, dataDeModificacaoMantemAcessoEFechaComDoisOk) {
  iniciar();
  struct timespec tempos[2] = {{1600000000, 5}, {1600000000, 0}};
  utimensat(AT_FDCWD, (a + "/f").c_str(), tempos, 0);
  auto definir = [&](const std::string& caminho, const std::string& data) {
    MemoryStream pedido;
    InfoObjectLinux(caminho, ARQUIVO, 99, data).writeToMemoryStream(&pedido);
    EXPECT_TRUE(cliente->comando(CMD_AGENTE_LINUX_SET_DATE_MODIFICATION_SERVER));
    EXPECT_TRUE(cliente->enviarMensagem(pedido));
    EXPECT_EQ(receber(cliente.get(), 4), OK) << caminho;
  };
  definir(a + "/f", "31/12/25 23:59:58");
  struct stat st = estado(a + "/f");
  EXPECT_EQ(st.st_mtime, 1767225598);  // 2025-12-31 23:59:58 in the agent's UTC
  EXPECT_EQ(st.st_atim.tv_sec, 1600000000);
  EXPECT_EQ(st.st_atim.tv_nsec, 5);
  EXPECT_EQ(st.st_mode & 07777, 0644u);
  definir(a + "/nada", "31/12/25 23:59:58");
  chmod((a + "/sub").c_str(), 0711);
  definir(a + "/sub", "01/01/01 00:00:00");
  EXPECT_EQ(estado(a + "/sub").st_mode & 07777, 0711u)
      << "a folder keeps a mode it can be entered with";
  EXPECT_EQ(estado(a + "/sub").st_mtime, 978307200);
  definir(a + "/f", "31/12/69 23:59:59");
  EXPECT_EQ(estado(a + "/f").st_mtime, -1) << "the second before 1970 is a time like any other";
  // A text that does not parse leaves the time alone, but still takes the
  // set-id bits and the rights of others away, and gives none.
  chmod((a + "/f").c_str(), 0600);
  definir(a + "/f", "não é data");
  EXPECT_EQ(estado(a + "/f").st_mtime, -1);
  EXPECT_EQ(estado(a + "/f").st_mode & 07777, 0600u) << "a private file stays private";
  chmod((a + "/f").c_str(), 04777);
  definir(a + "/f", "amanhã");
  EXPECT_EQ(estado(a + "/f").st_mode & 07777, 0644u);
  definir(a + "/f", "31/12/25 23:59:57 e mais");
  EXPECT_EQ(estado(a + "/f").st_mtime, 1767225597)
      << "what follows the time is ignored, as it always was";
  EXPECT_TRUE(emPasso(cliente.get()));
}

TEST_F(AgenteComandos, criarDiretorioRespondeOkOuErroComTexto) {
  iniciar();
  auto criar = [&](const std::string& caminho) {
    MemoryStream pedido;
    pedido.addString(caminho);
    EXPECT_TRUE(cliente->comando(CMD_AGENTE_LINUX_CREATE_DIR_SERVER_LINUX));
    EXPECT_TRUE(cliente->enviarMensagem(pedido));
    return receber(cliente.get(), 4);
  };
  EXPECT_EQ(criar(a + "/nova"), OK);
  EXPECT_EQ(estado(a + "/nova").st_mode & 07777, 0775u & ~umaskAtual());
  for (const auto& caso : {std::make_pair("/nova", "File exists"),
                           std::make_pair("/falta/nova", "No such file or directory")}) {
    EXPECT_EQ(criar(a + caso.first), (Bytes{0x00, 0x0e, 0xeb, 0x6b}));
    EXPECT_EQ(receber(cliente.get(), 8 + std::strlen(caso.second)), mensagemDeTexto(caso.second));
  }
  EXPECT_TRUE(emPasso(cliente.get()));
  EXPECT_TRUE(agente.esperarNoLogInicio(" File exists\n"));
}

TEST_F(AgenteComandos, pedidoMalformadoSegueAPoliticaDeCadaComando) {
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
  for (const Caso& caso :
       {Caso{0, false, nullptr}, Caso{5, false, "ERRO: "}, Caso{11, true, "ERRO: "},
        Caso{18, false, "Erro ao ler comandando"}, Caso{8, true, nullptr}}) {
    std::string antes = agente.saida();
    auto c = agente.conectarLogado();
    ASSERT_TRUE(c->comando(caso.codigo));
    ASSERT_TRUE(c->enviarMensagem(malformada));
    if (caso.codigo == 8) {
      EXPECT_EQ(receber(c.get(), 5), FALSO) << "code 8 answers false";
    }
    if (caso.continua) {
      EXPECT_TRUE(emPasso(c.get())) << caso.codigo;
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
  EXPECT_TRUE(agente.esperarNoLogProcesso(" ExistsFileOrFolder - Motivo:"));
}

TEST_F(AgenteComandos, semPrivilegiosArquivoIlegivelTemTamanhoMenosUmEAlheioViraDoAgente) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to start the agent as another user";
  // A file of another owner in a folder the agent may write: the store still
  // replaces it, owned by the agent now, with its permissions but no set-id bit.
  std::string alheio = agente.caminho("livre") + "/alheio";
  std::filesystem::create_directories(agente.caminho("livre"));
  ASSERT_EQ(chown(agente.caminho("livre").c_str(), 65534, 65534), 0);
  escreverArquivo(alheio, "antigo");
  chmod(alheio.c_str(), 02640);
  escreverArquivo(a + "/segredo", "1234");
  chmod((a + "/segredo").c_str(), 0000);
  std::filesystem::create_directories(a + "/fechada");
  escreverArquivo(a + "/fechada/x", "x");
  chmod((a + "/fechada").c_str(), 0000);
  std::filesystem::create_directories(a + "/sem-busca");
  escreverArquivo(a + "/sem-busca/y", "y");
  chmod((a + "/sem-busca").c_str(), 0444);
  agente.setUsuario(65534);
  iniciar();
  TListaInfoObjectLinux lista;
  ASSERT_TRUE(cliente->listar(CMD_AGENTE_LINUX_LIST_ALL_FILES, a, &lista));
  EXPECT_EQ(nomes(lista),
            em({"f", ".oculto", "sub/fundo/g", "proc/p", "selinux-old/s", "segredo"}));
  for (const InfoObjectLinux& r : lista) {
    if (r.getNome() != a + "/segredo") continue;
    EXPECT_EQ(r.getTamanho(), -1);
    EXPECT_EQ(r.getDataUltimaModificacao().size(), 19u);
  }
  EXPECT_TRUE(listar(CMD_AGENTE_LINUX_LIST, a + "/sem-busca").empty())
      << "entries whose status cannot be read are passed over";
  chmod((a + "/fechada").c_str(), 0755);
  ASSERT_TRUE(cliente->gravar(alheio, 100, "novo", 4));
  EXPECT_EQ(lerArquivo(alheio), "novo");
  EXPECT_EQ(estado(alheio).st_uid, 65534u);
  EXPECT_EQ(estado(alheio).st_mode & 07777, 0640u);
}
