// Stores sent ahead of their replies: committed in batches, replies as ever.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "AgenteProcesso.h"
#include "Stream.h"
#include "TCPCliente.h"

namespace fs = std::filesystem;

namespace {

const Bytes OK = {0x00, 0x0e, 0xeb, 0x71};

void acrescentarInt(Bytes* b, int v) {
  for (int d = 24; d >= 0; d -= 8) b->push_back(static_cast<unsigned char>(v >> d));
}

// A command code and its request message, as a pipelining server sends them.
Bytes quadro(int codigo, const MemoryStream& pedido) {
  Bytes b;
  acrescentarInt(&b, codigo);
  acrescentarInt(&b, pedido.getSize());
  b.insert(b.end(), pedido.getBuffer(), pedido.getBuffer() + pedido.getSize());
  return b;
}

// A whole store: code, request, data.
Bytes pedidoGravacao(const std::string& caminho, const std::string& dados, int64_t anunciado = -1) {
  MemoryStream pedido;
  pedido.addString(caminho);
  pedido.addInt(4096);
  pedido.addInt64(anunciado < 0 ? static_cast<int64_t>(dados.size()) : anunciado);
  Bytes b = quadro(CMD_AGENTE_LINUX_PUT_FILE, pedido);
  b.insert(b.end(), dados.begin(), dados.end());
  return b;
}

Bytes pedidoComCaminho(int codigo, const std::string& caminho, int bloco = -1) {
  MemoryStream pedido;
  pedido.addString(caminho);
  if (bloco > 0) pedido.addInt(bloco);
  return quadro(codigo, pedido);
}

Bytes juntar(std::initializer_list<Bytes> partes) {
  Bytes r;
  for (const Bytes& p : partes) r.insert(r.end(), p.begin(), p.end());
  return r;
}

Bytes repetir(const Bytes& b, int vezes) {
  Bytes r;
  for (int i = 0; i < vezes; ++i) r.insert(r.end(), b.begin(), b.end());
  return r;
}

std::string conteudo(int i) { return "arquivo " + std::to_string(i) + std::string(i * 37, 'x'); }

class LoteGravacao : public ::testing::Test {
 protected:
  void SetUp() override {
    pasta = agente.caminho("dados");
    fs::create_directories(pasta);
    agente.usarPortaLivre();
    ASSERT_TRUE(agente.iniciar());
    cliente = agente.conectarLogado();
    ASSERT_TRUE(cliente);
  }
  void enviar(const Bytes& b) { ASSERT_TRUE(cliente->enviarBytes(b.data(), b.size())); }

  AgenteProcesso agente;
  std::string pasta;
  std::unique_ptr<ClienteVorna> cliente;
};

}  // namespace

TEST_F(LoteGravacao, comandosSeguintesVeemTodasAsGravacoesEmPasso) {
  Bytes tudo;
  for (int i = 0; i < 40; ++i)
    tudo = juntar({tudo, pedidoGravacao(pasta + "/" + std::to_string(i), conteudo(i))});
  // Right behind the stores: a size, a listing and a fetch of what they stored.
  enviar(juntar({tudo, pedidoComCaminho(CMD_AGENTE_LINUX_GET_SIZE_FILE, pasta + "/39"),
                 pedidoComCaminho(CMD_AGENTE_LINUX_LIST_ALL_FILES, pasta),
                 pedidoComCaminho(CMD_AGENTE_LINUX_GET_FILE, pasta + "/2", 1 << 20)}));

  EXPECT_EQ(receber(cliente.get(), 80 * 4), repetir(OK, 80));
  // 10 + 39 * 37 = 1453 bytes: 0x05ad.
  EXPECT_EQ(receber(cliente.get(), 16),
            (Bytes{0x00, 0x0e, 0xeb, 0x71, 0, 0, 0, 8, 0xad, 0x05, 0, 0, 0, 0, 0, 0}));
  Bytes cabeca = receber(cliente.get(), 12);
  ASSERT_EQ(cabeca.size(), 12u);
  EXPECT_EQ(Bytes(cabeca.begin() + 8, cabeca.end()), (Bytes{40, 0, 0, 0})) << "all 40 listed";
  receber(cliente.get(), static_cast<size_t>(Stream::ConvertToInt32(cabeca.data() + 4)) - 4);
  // 9 + 2 * 37 = 83 bytes, in one chunk.
  Bytes esperado = {0x00, 0x0e, 0xeb, 0x71, 0, 0, 0, 8, 83, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 83};
  std::string dois = conteudo(2);
  esperado.insert(esperado.end(), dois.begin(), dois.end());
  EXPECT_EQ(receber(cliente.get(), esperado.size()), esperado);
  EXPECT_TRUE(emPasso(cliente.get()));
  for (int i = 0; i < 40; ++i) EXPECT_EQ(lerArquivo(pasta + "/" + std::to_string(i)), conteudo(i));
}

TEST_F(LoteGravacao, gravacaoQueFalhaNoLoteNaoAtingeAsVizinhas) {
  std::string comoComandos(5000, '\0');  // would be read as commands if left in the stream
  enviar(juntar({pedidoGravacao(pasta + "/antes", "antes"),
                 pedidoGravacao(pasta + "/falta/x", comoComandos),
                 pedidoGravacao(pasta + "/depois", "depois"),
                 {0, 0, 0, 3}}));
  EXPECT_EQ(receber(cliente.get(), 32), juntar({repetir(OK, 7), {0, 0, 0, 8}}));
  EXPECT_EQ(lerArquivo(pasta + "/antes"), "antes");
  EXPECT_EQ(lerArquivo(pasta + "/depois"), "depois");
  EXPECT_FALSE(fs::exists(pasta + "/falta"));
  if (AgenteProcesso::logsGravaveis()) {
    EXPECT_TRUE(agente.esperarNoLogProcesso("Não foi possível criar o arquivo " + pasta +
                                            "/falta/x - Motivo:No such file or directory"));
  }
}

TEST_F(LoteGravacao, respostasSaemAntesDeEsperarOPedidoSeguinte) {
  // A store, then only the next command's code: a server that waits for its
  // acknowledgement before it sends the request must get it.
  enviar(juntar({pedidoGravacao(pasta + "/um", "um"), {0, 0, 0, 2}}));
  EXPECT_EQ(receber(cliente.get(), 12), repetir(OK, 3));
  EXPECT_EQ(lerArquivo(pasta + "/um"), "um");
}

TEST_F(LoteGravacao, semDescritoresOLoteEhConfirmadoAntesENadaFalha) {
  // Each kept store holds its file and its folder open: with few
  // descriptors the batch so far must be committed, not the next store lost.
  struct rlimit poucos = {64, 64};
  ASSERT_EQ(prlimit(agente.pid(), RLIMIT_NOFILE, &poucos, nullptr), 0);
  const int GRAVACOES = 200;
  Bytes tudo;
  for (int i = 0; i < GRAVACOES; ++i) {
    tudo = juntar({tudo, pedidoGravacao(pasta + "/" + std::to_string(i), conteudo(i % 50))});
  }
  enviar(tudo);
  EXPECT_EQ(receber(cliente.get(), GRAVACOES * 8), repetir(OK, 2 * GRAVACOES));
  EXPECT_TRUE(emPasso(cliente.get()));
  for (int i = 0; i < GRAVACOES; ++i) {
    EXPECT_EQ(lerArquivo(pasta + "/" + std::to_string(i)), conteudo(i % 50)) << i;
  }
  if (AgenteProcesso::logsGravaveis()) {
    EXPECT_EQ(agente.logProcesso().find("Too many open files"), std::string::npos);
  }
}

TEST_F(LoteGravacao, blocosDeZerosFicamBuracos) {
  // 8 MiB: 64 KiB of data at 1 MiB, zeros around it, up to the very end.
  std::string dados(8 << 20, '\0');
  for (size_t i = 0; i < 65536; ++i) dados[(1 << 20) + i] = static_cast<char>(i * 7 + 1);
  ASSERT_TRUE(cliente->gravar(pasta + "/esparso", 65536, dados.data(), dados.size()));
  struct stat st {};
  ASSERT_EQ(stat((pasta + "/esparso").c_str(), &st), 0);
  EXPECT_EQ(st.st_size, 8 << 20);
  EXPECT_LT(st.st_blocks * 512, 1 << 20) << "the zeros take no room";
  EXPECT_EQ(lerArquivo(pasta + "/esparso"), dados);
}

TEST_F(LoteGravacao, servidorQueSaiNoMeioDoLoteDeixaAsInteirasGravadas) {
  if (!AgenteProcesso::logsGravaveis()) GTEST_SKIP() << "the end shows only in the log";
  enviar(
      juntar({pedidoGravacao(pasta + "/a", "inteiro a"), pedidoGravacao(pasta + "/b", "inteiro b"),
              pedidoGravacao(pasta + "/c", "so o comeco", 100000)}));
  cliente->fechar();
  ASSERT_TRUE(agente.esperarNoLogProcesso("Transferência interrompida do arquivo " + pasta + "/c"));
  ASSERT_TRUE(agente.esperarNoLogProcesso("Finalizando uma conexão"));
  EXPECT_EQ(lerArquivo(pasta + "/a"), "inteiro a");
  EXPECT_EQ(lerArquivo(pasta + "/b"), "inteiro b");
  EXPECT_FALSE(fs::exists(pasta + "/c"));
  EXPECT_EQ(std::distance(fs::directory_iterator(pasta), {}), 2);
}

namespace {

// Runs a shell command line, its standard output into *saida.
bool sh(const std::string& linha, std::string* saida = nullptr) {
  TResultadoPrograma r =
      executarPrograma("/bin/sh", {"-c", "PATH=$PATH:/usr/sbin:/sbin; " + linha});
  if (saida) *saida = r.saida;
  return r.status == 0;
}

// A small ext4 on a loop device with direct I/O, mounted at ponto; unmounted
// and detached when the object goes.
struct DiscoDeTeste {
  PastaTemporaria pasta;
  std::string ponto = pasta / "ponto", imagem = pasta / "imagem", dispositivo;

  bool montar() {
    if (!sh("mkdir " + ponto + " && truncate -s 128M " + imagem + " && mkfs.ext4 -q -F " + imagem +
                " && losetup --direct-io=on --show -f " + imagem,
            &dispositivo)) {
      return false;
    }
    dispositivo = dispositivo.substr(0, dispositivo.find('\n'));
    return sh("mount " + dispositivo + " " + ponto);
  }
  bool remontar() { return sh("umount " + ponto + " && mount " + dispositivo + " " + ponto); }
  ~DiscoDeTeste() {
    sh("umount " + ponto);
    if (!dispositivo.empty()) sh("losetup -d " + dispositivo);
  }
};

std::string versao(int i, bool nova) {
  std::string base = (nova ? "nova " : "velha ") + std::to_string(i) + " ";
  std::string r;
  while (r.size() < static_cast<size_t>(100 + (i * 7919) % 12000)) r += base;
  return r;
}

}  // namespace

// Power is cut at a random moment of a pipelined restore into its own ext4;
// after the remount every acknowledged store is whole, every name holds a
// whole file, and each file being replaced is either its old or its new self.
TEST(CorteDeEnergia, gravacoesConfirmadasSobrevivem) {
  if (geteuid() != 0 || access("/dev/loop-control", F_OK) != 0 || !sh("command -v mkfs.ext4")) {
    GTEST_SKIP() << "needs root, loop devices and mkfs.ext4";
  }
  const int TOTAL = 2400, SUBSTITUIDOS = 300, PASTAS = 12;
  constexpr int CONEXOES = 3;
  std::mt19937 sorteio(std::random_device{}());
  for (int rodada = 0; rodada < 3; ++rodada) {
    DiscoDeTeste disco;
    if (!disco.montar()) GTEST_SKIP() << "no loop device could be made and mounted";
    auto caminho = [&](int i) {
      return disco.ponto + "/d" + std::to_string(i % PASTAS) + "/" + std::to_string(i);
    };
    for (int p = 0; p < PASTAS; ++p) fs::create_directory(disco.ponto + "/d" + std::to_string(p));
    for (int i = 0; i < SUBSTITUIDOS; ++i) escreverArquivo(caminho(i * 8), versao(i * 8, false));
    sync();
    AgenteProcesso agente;
    agente.usarPortaLivre();
    ASSERT_TRUE(agente.iniciar());
    // Several connections, so that their batches share the flushes: store i
    // goes over connection i % CONEXOES, and each acknowledges in order.
    std::vector<std::unique_ptr<ClienteVorna>> clientes;
    for (int c = 0; c < CONEXOES; ++c) {
      clientes.push_back(agente.conectarLogado());
      ASSERT_TRUE(clientes.back());
    }
    std::vector<std::thread> escritores, leitores;
    std::atomic<size_t> oks[CONEXOES] = {};
    for (int c = 0; c < CONEXOES; ++c) {
      escritores.emplace_back([&, c] {
        for (int i = c; i < TOTAL; i += CONEXOES) {
          Bytes b = pedidoGravacao(caminho(i), versao(i, true));
          if (!clientes[c]->enviarBytes(b.data(), b.size())) return;
        }
      });
      leitores.emplace_back([&, c] {
        unsigned char bytes[4096];
        ssize_t r;
        // Only COMMAND_OKs come, 8 bytes a store.
        while ((r = clientes[c]->receberAte(bytes, sizeof bytes)) > 0) oks[c] += r / 4;
      });
    }
    // The cut comes once this many stores are acknowledged.
    size_t alvo = std::uniform_int_distribution<size_t>(TOTAL / 20, TOTAL * 9 / 10)(sorteio);
    size_t confirmadas[CONEXOES] = {}, soma = 0;
    while (soma < alvo) {
      std::this_thread::sleep_for(std::chrono::microseconds(200));
      soma = 0;
      for (int c = 0; c < CONEXOES; ++c) soma += (confirmadas[c] = oks[c] / 2);
    }
    int fd = open(disco.ponto.c_str(), O_RDONLY | O_DIRECTORY);
    uint32_t modo = 0x2;                                       // EXT4_GOING_FLAGS_NOLOGFLUSH
    ASSERT_EQ(ioctl(fd, _IOR('X', 125, uint32_t), &modo), 0);  // EXT4_IOC_SHUTDOWN
    close(fd);
    agente.parar(SIGKILL);
    for (auto& cliente : clientes) cliente->interromper();
    for (auto& t : escritores) t.join();
    for (auto& t : leitores) t.join();
    ASSERT_TRUE(disco.remontar());
    SCOPED_TRACE("cut after " + std::to_string(soma) + " acknowledged stores");
    for (int i = 0; i < TOTAL; ++i) {
      std::string nome = caminho(i);
      bool substituido = i % 8 == 0 && i / 8 < SUBSTITUIDOS;
      bool confirmada = static_cast<size_t>(i / CONEXOES) < confirmadas[i % CONEXOES];
      if (!substituido && !confirmada && access(nome.c_str(), F_OK)) {
        continue;  // not acknowledged, and not there: allowed
      }
      std::string agora = lerArquivo(nome);
      bool velha = substituido && !confirmada;
      ASSERT_TRUE(agora == versao(i, true) || (velha && agora == versao(i, false)))
          << nome << " holds " << agora.size() << " bytes: " << agora.substr(0, 12);
    }
  }
}
