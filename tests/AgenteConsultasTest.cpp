// Path and application queries, modification time and directory creation
// against the real agent.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>

#include "AgenteProcesso.h"
#include "Stream.h"
#include "TCPCliente.h"

namespace {

using Bytes = std::vector<unsigned char>;

Bytes textoNaMensagem(const std::string& texto) {
  Bytes b(8 + texto.size(), 0);
  b[3] = static_cast<unsigned char>(4 + texto.size());
  b[4] = static_cast<unsigned char>(texto.size());
  std::memcpy(b.data() + 8, texto.data(), texto.size());
  return b;
}

class AgenteConsultas : public ::testing::Test {
 protected:
  void SetUp() override {
    pasta = agente.caminho("dados");
    std::filesystem::create_directories(pasta + "/sub");
    escreverArquivo(pasta + "/a", "abc");
    escreverArquivo(pasta + "/vazio", "");
    escreverArquivo(pasta + "/sub/b", "1234567");
    std::filesystem::create_symlink("a", pasta + "/link");
    std::filesystem::create_directory_symlink("sub", pasta + "/link-pasta");
    std::filesystem::create_symlink("nada", pasta + "/quebrado");
    mkfifo((pasta + "/fifo").c_str(), 0644);
    agente.setAmbiente("TZ=UTC0");
    agente.usarPortaLivre();
    ASSERT_TRUE(agente.iniciar({}, "./AgenteLinuxVorna"));
    cliente = agente.conectarLogado();
    ASSERT_TRUE(cliente);
  }

  // The whole reply (length and body) of a command with the given request.
  Bytes resposta(int codigo, const std::vector<std::string>& textos, bool comPedido = true) {
    EXPECT_TRUE(cliente->comando(codigo));
    if (comPedido) {
      MemoryStream pedido;
      for (const std::string& t : textos) pedido.addString(t);
      EXPECT_TRUE(cliente->enviarMensagem(pedido));
    }
    Bytes tamanho(4);
    if (!cliente->receberBytes(tamanho.data(), 4)) return Bytes();
    Bytes corpo(static_cast<size_t>(Stream::ConvertToInt32(tamanho.data())));
    if (!cliente->receberBytes(corpo.data(), corpo.size())) return Bytes();
    tamanho.insert(tamanho.end(), corpo.begin(), corpo.end());
    return tamanho;
  }

  InfoObjectLinux registroDe(const std::string& caminho) {
    MemoryStream m;
    EXPECT_TRUE(cliente->consultar(CMD_AGENTE_LINUX_GET_FILE_INFO, {caminho}, &m));
    InfoObjectLinux r;
    r.loadFromMemoryStream(&m);
    EXPECT_EQ(m.getPosicao(), m.getSize());
    return r;
  }

  AgenteProcesso agente;
  std::string pasta;
  std::unique_ptr<ClienteVorna> cliente;
};

const Bytes FALSO = {0, 0, 0, 1, 0};
const Bytes VERDADEIRO = {0, 0, 0, 1, 1};

}  // namespace

TEST_F(AgenteConsultas, dadosDoProprioAgente) {
  EXPECT_EQ(resposta(14, {}, false), textoNaMensagem("AgenteLinuxVorna"));
  EXPECT_EQ(resposta(15, {}, false), textoNaMensagem(agente.diretorio() + "/AgenteLinuxVorna"));
  EXPECT_EQ(resposta(16, {}, false), FALSO);
  EXPECT_EQ(resposta(20, {}, false), textoNaMensagem(agente.diretorio()));
}

TEST_F(AgenteConsultas, tamanhosTipoEExistencia) {
  EXPECT_EQ(resposta(6, {pasta + "/nada"}), (Bytes{0, 0, 0, 8, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
                                                    0xff, 0xff}));
  EXPECT_EQ(resposta(6, {pasta + "/a"}), (Bytes{0, 0, 0, 8, 3, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(resposta(6, {pasta + "/fifo"}), (Bytes{0, 0, 0, 8, 0xff, 0xff, 0xff, 0xff, 0xff,
                                                    0xff, 0xff, 0xff}));
  EXPECT_EQ(resposta(7, {pasta + "/sub"}), VERDADEIRO);
  EXPECT_EQ(resposta(7, {pasta + "/link-pasta"}), FALSO);
  EXPECT_EQ(resposta(7, {pasta + "/nada"}), FALSO);
  EXPECT_EQ(resposta(8, {pasta + "/sub"}), VERDADEIRO);
  EXPECT_EQ(resposta(8, {pasta + "/link"}), VERDADEIRO);
  EXPECT_EQ(resposta(8, {pasta + "/quebrado"}), FALSO);
  EXPECT_EQ(resposta(8, {pasta + "/fifo"}), VERDADEIRO);
}

TEST_F(AgenteConsultas, registroDeUmCaminho) {
  InfoObjectLinux sub = registroDe(pasta + "/sub");
  EXPECT_EQ(sub.getNome(), pasta + "/sub");
  EXPECT_EQ(sub.getTipo(), DIRETORIO);
  EXPECT_EQ(sub.getTamanho(), 0);
  EXPECT_EQ(sub.getDataUltimaModificacao().size(), 19u);
  InfoObjectLinux vazio = registroDe(pasta + "/vazio");
  EXPECT_EQ(vazio.getTipo(), ARQUIVO);
  EXPECT_EQ(vazio.getTamanho(), 0);
  InfoObjectLinux nada = registroDe(pasta + "/nada");
  EXPECT_EQ(nada.getTipo(), ARQUIVO);
  EXPECT_EQ(nada.getTamanho(), -1);
  EXPECT_EQ(nada.getDataUltimaModificacao(), "");
}

TEST_F(AgenteConsultas, tamanhoDaPastaSomaSoArquivos) {
  // 3 + 0 + 7: links, the FIFO and the folders add nothing.
  EXPECT_EQ(resposta(4, {pasta}), (Bytes{0, 0, 0, 8, 10, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(resposta(4, {"/proc"}), (Bytes{0, 0, 0, 8, 0, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(cliente->getVersao(), 8);
  std::string saida = agente.saida();
  EXPECT_NE(saida.find("\nFIFO/pipe\n"), std::string::npos);
  EXPECT_NE(saida.find("\nregular file\n"), std::string::npos);  // the link to a file
  EXPECT_NE(saida.find("\ndirectory\n"), std::string::npos);     // the link to a folder
  EXPECT_NE(saida.find("\nsymlink\n"), std::string::npos);       // the dangling link
}

TEST_F(AgenteConsultas, dataDeModificacaoMantemAcessoEFechaComDoisOk) {
  struct timespec tempos[2] = {{1600000000, 5}, {1600000000, 0}};
  utimensat(AT_FDCWD, (pasta + "/a").c_str(), tempos, 0);
  auto definir = [&](const std::string& caminho, const std::string& data) {
    MemoryStream pedido;
    InfoObjectLinux(caminho, ARQUIVO, 99, data).writeToMemoryStream(&pedido);
    EXPECT_TRUE(cliente->comando(CMD_AGENTE_LINUX_SET_DATE_MODIFICATION_SERVER));
    EXPECT_TRUE(cliente->enviarMensagem(pedido));
    Bytes ok(4);
    EXPECT_TRUE(cliente->receberBytes(ok.data(), 4));
    EXPECT_EQ(ok, (Bytes{0x00, 0x0e, 0xeb, 0x71})) << caminho;
  };
  definir(pasta + "/a", "31/12/25 23:59:58");
  struct stat st {};
  stat((pasta + "/a").c_str(), &st);
  EXPECT_EQ(st.st_mtime, 1767225598);  // 2025-12-31 23:59:58 in the agent's UTC
  EXPECT_EQ(st.st_atim.tv_sec, 1600000000);
  EXPECT_EQ(st.st_atim.tv_nsec, 5);
  EXPECT_EQ(st.st_mode & 07777, 0644u);
  definir(pasta + "/nada", "31/12/25 23:59:58");
  chmod((pasta + "/sub").c_str(), 0711);
  definir(pasta + "/sub", "01/01/01 00:00:00");
  stat((pasta + "/sub").c_str(), &st);
  EXPECT_EQ(st.st_mode & 07777, 0711u);
  EXPECT_EQ(st.st_mtime, 978307200);
  definir(pasta + "/a", "não é data");
  stat((pasta + "/a").c_str(), &st);
  EXPECT_EQ(st.st_mtime, 1767225598);
  EXPECT_EQ(cliente->getVersao(), 8);
}

TEST_F(AgenteConsultas, criarDiretorioRespondeOkOuErroComTexto) {
  auto criar = [&](const std::string& caminho) {
    MemoryStream pedido;
    pedido.addString(caminho);
    EXPECT_TRUE(cliente->comando(CMD_AGENTE_LINUX_CREATE_DIR_SERVER_LINUX));
    EXPECT_TRUE(cliente->enviarMensagem(pedido));
    Bytes codigo(4);
    EXPECT_TRUE(cliente->receberBytes(codigo.data(), 4));
    return codigo;
  };
  mode_t mascara = umask(0);
  umask(mascara);
  EXPECT_EQ(criar(pasta + "/nova"), (Bytes{0x00, 0x0e, 0xeb, 0x71}));
  struct stat st {};
  ASSERT_EQ(stat((pasta + "/nova").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0775u & ~mascara);
  for (const auto& caso : {std::make_pair(std::string("/nova"), std::string("File exists")),
                           std::make_pair(std::string("/falta/nova"),
                                          std::string("No such file or directory"))}) {
    EXPECT_EQ(criar(pasta + caso.first), (Bytes{0x00, 0x0e, 0xeb, 0x6b}));
    MemoryStream m;
    ASSERT_TRUE(cliente->lerMensagem(&m));
    EXPECT_EQ(m.readStringFromMemoryStream(), caso.second);
  }
  EXPECT_FALSE(std::filesystem::exists(pasta + "/falta"));
  EXPECT_EQ(cliente->getVersao(), 8);
  if (AgenteProcesso::logsGravaveis()) {
    EXPECT_TRUE(agente.esperarNoLogInicio(" File exists\n"));
  }
}

TEST_F(AgenteConsultas, existenciaComPedidoMalformadoRespondeFalsoESegue) {
  MemoryStream malformada;
  malformada.addInt(50);
  ASSERT_TRUE(cliente->comando(CMD_AGENTE_LINUX_EXIST_FILE_OR_FOLDER));
  ASSERT_TRUE(cliente->enviarMensagem(malformada));
  Bytes r(5);
  ASSERT_TRUE(cliente->receberBytes(r.data(), 5));
  EXPECT_EQ(r, FALSO);
  EXPECT_EQ(cliente->getVersao(), 8);
  if (AgenteProcesso::logsGravaveis()) {
    EXPECT_TRUE(agente.esperarNoLogProcesso(" ExistsFileOrFolder - Motivo:"));
  }
}
