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
#include <iostream>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "AgenteProcesso.h"
#include "Stream.h"
#include "TCPCliente.h"
#include "TRegraDescarga.h"

namespace fs = std::filesystem;

namespace {

const Bytes OK = {0x00, 0x0e, 0xeb, 0x71};

// A whole store as a pipelining server sends it: code, request, data.
std::string pedidoGravacao(const std::string& caminho, const std::string& dados,
                           int64_t anunciado = -1) {
  std::string b;
  ClienteVorna::acrescentarComando(
      &b, CMD_AGENTE_LINUX_PUT_FILE,
      ClienteVorna::pedidoDeGravacao(
          caminho, 4096, anunciado < 0 ? static_cast<int64_t>(dados.size()) : anunciado));
  return b + dados;
}

// A command whose request is a path (and, for a fetch, the chunk size).
std::string pedidoComCaminho(int codigo, const std::string& caminho, int bloco = -1) {
  MemoryStream pedido = ClienteVorna::pedidoDeCaminho(caminho);
  if (bloco > 0) pedido.addInt(bloco);
  std::string b;
  ClienteVorna::acrescentarComando(&b, codigo, pedido);
  return b;
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

// Runs a shell command line, its standard output into *saida.
bool sh(const std::string& linha, std::string* saida = nullptr) {
  TResultadoPrograma r =
      executarPrograma("/bin/sh", {"-c", "PATH=$PATH:/usr/sbin:/sbin; " + linha});
  if (saida) *saida = r.saida;
  return r.status == 0;
}

// A small file system of its own, mounted at ponto: "ext4", "ext4-sem-diario"
// or "xfs" on a loop device with direct I/O, or "tmpfs". Unmounted (and the
// device detached) when the object goes.
struct DiscoDeTeste {
  PastaTemporaria pasta;
  std::string ponto = pasta / "ponto", imagem = pasta / "imagem", dispositivo;

  static bool possivel(const std::string& tipo) {
    if (geteuid() != 0) return false;
    if (tipo == "tmpfs") return true;
    return access("/dev/loop-control", F_OK) == 0 &&
           sh(tipo == "xfs" ? "command -v mkfs.xfs" : "command -v mkfs.ext4");
  }
  bool montar(const std::string& tipo) {
    if (!sh("mkdir " + ponto)) return false;
    if (tipo == "tmpfs") return sh("mount -t tmpfs -o size=64m vorna " + ponto);
    std::string mkfs = tipo == "xfs" ? "truncate -s 320M " + imagem + " && mkfs.xfs -q -f "
                       : tipo == "ext4"
                           ? "truncate -s 128M " + imagem + " && mkfs.ext4 -q -F "
                           : "truncate -s 128M " + imagem + " && mkfs.ext4 -q -F -O ^has_journal ";
    if (!sh(mkfs + imagem + " && losetup --direct-io=on --show -f " + imagem, &dispositivo)) {
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

std::string conteudo(int i) { return "arquivo " + std::to_string(i) + std::string(i * 37, 'x'); }

class LoteGravacao : public TesteComConexao {
 protected:
  void enviar(const std::string& b) { ASSERT_TRUE(cliente->enviarBytes(b.data(), b.size())); }
};

}  // namespace

TEST_F(LoteGravacao, comandosSeguintesVeemTodasAsGravacoesEmPasso) {
  std::string tudo;
  for (int i = 0; i < 40; ++i) tudo += pedidoGravacao(base + "/" + std::to_string(i), conteudo(i));
  // Right behind the stores: a size, a listing and a fetch of what they stored.
  enviar(tudo + pedidoComCaminho(CMD_AGENTE_LINUX_GET_SIZE_FILE, base + "/39") +
         pedidoComCaminho(CMD_AGENTE_LINUX_LIST_ALL_FILES, base) +
         pedidoComCaminho(CMD_AGENTE_LINUX_GET_FILE, base + "/2", 1 << 20));

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
  for (int i = 0; i < 40; ++i) EXPECT_EQ(lerArquivo(base + "/" + std::to_string(i)), conteudo(i));
}

TEST_F(LoteGravacao, gravacaoQueFalhaNoLoteNaoAtingeAsVizinhas) {
  std::string comoComandos(5000, '\0');  // would be read as commands if left in the stream
  enviar(pedidoGravacao(base + "/antes", "antes") +
         pedidoGravacao(base + "/falta/x", comoComandos) +
         pedidoGravacao(base + "/depois", "depois") + std::string("\0\0\0\3", 4));
  EXPECT_EQ(receber(cliente.get(), 32), juntar({repetir(OK, 7), {0, 0, 0, 8}}));
  EXPECT_EQ(lerArquivo(base + "/antes"), "antes");
  EXPECT_EQ(lerArquivo(base + "/depois"), "depois");
}

TEST_F(LoteGravacao, respostasSaemAntesDeEsperarOPedidoSeguinte) {
  // A store, then only the next command's code: a server that waits for its
  // acknowledgement before it sends the request must get it.
  enviar(pedidoGravacao(base + "/um", "um") + std::string("\0\0\0\2", 4));
  EXPECT_EQ(receber(cliente.get(), 12), repetir(OK, 3));
  EXPECT_EQ(lerArquivo(base + "/um"), "um");
}

TEST_F(LoteGravacao, semDescritoresOLoteEhConfirmadoAntesENadaFalha) {
  // Each kept store holds its file and its folder open: with few
  // descriptors the batch so far must be committed, not the next store lost,
  // whichever open runs out (an empty folder at the target is opened too).
  struct rlimit poucos = {64, 64};
  ASSERT_EQ(prlimit(agente.pid(), RLIMIT_NOFILE, &poucos, nullptr), 0);
  const int GRAVACOES = 200;
  std::string tudo;
  for (int i = 0; i < GRAVACOES; ++i) {
    if (i % 2 == 0) fs::create_directory(base + "/" + std::to_string(i));
    tudo += pedidoGravacao(base + "/" + std::to_string(i), conteudo(i % 50));
  }
  enviar(tudo);
  EXPECT_EQ(receber(cliente.get(), GRAVACOES * 8), repetir(OK, 2 * GRAVACOES));
  EXPECT_TRUE(emPasso(cliente.get()));
  for (int i = 0; i < GRAVACOES; ++i) {
    EXPECT_EQ(lerArquivo(base + "/" + std::to_string(i)), conteudo(i % 50)) << i;
  }
  std::string linhas = agente.logProcesso();
  EXPECT_EQ(linhas.find("Too many open files"), std::string::npos);
  EXPECT_EQ(linhas.find("Is a directory"), std::string::npos);
}

TEST_F(LoteGravacao, blocosDeZerosFicamBuracos) {
  // 8 MiB: 64 KiB of data at 1 MiB, zeros around it, up to the very end.
  std::string dados(8 << 20, '\0');
  for (size_t i = 0; i < 65536; ++i) dados[(1 << 20) + i] = static_cast<char>(i * 7 + 1);
  ASSERT_TRUE(cliente->gravar(base + "/esparso", 65536, dados.data(), dados.size()));
  struct stat st {};
  ASSERT_EQ(stat((base + "/esparso").c_str(), &st), 0);
  EXPECT_EQ(st.st_size, 8 << 20);
  EXPECT_LT(st.st_blocks * 512, 1 << 20) << "the zeros take no room";
  EXPECT_EQ(lerArquivo(base + "/esparso"), dados);
}

TEST_F(LoteGravacao, servidorQueSaiNoMeioDoLoteDeixaAsInteirasGravadas) {
  if (!logsGravaveis()) GTEST_SKIP() << "the end shows only in the log";
  enviar(pedidoGravacao(base + "/a", "inteiro a") + pedidoGravacao(base + "/b", "inteiro b") +
         pedidoGravacao(base + "/c", "so o comeco", 100000));
  cliente->fechar();
  ASSERT_TRUE(agente.esperarNoLogProcesso("Transferência interrompida do arquivo " + base + "/c"));
  ASSERT_TRUE(agente.esperarNoLogProcesso("Finalizando uma conexão"));
  EXPECT_EQ(lerArquivo(base + "/a"), "inteiro a");
  EXPECT_EQ(lerArquivo(base + "/b"), "inteiro b");
  EXPECT_FALSE(fs::exists(base + "/c"));
  EXPECT_EQ(std::distance(fs::directory_iterator(base), {}), 2);
}

// A folder the agent may write into but not read is open to it only as a
// path. On ext4 and xfs the stored file's own flush commits its name; on any
// other file system the folder's flush fails, so the store is never
// acknowledged: the connection ends before its closing reply, and so does
// every store of its batch after it.
TEST(DescargaDeNomes, impossivelEncerraAConexaoAntesDaResposta) {
  DiscoDeTeste disco;
  if (!DiscoDeTeste::possivel("tmpfs") || !disco.montar("tmpfs")) {
    GTEST_SKIP() << "needs root and a tmpfs";
  }
  std::string escrita = disco.ponto + "/escrita", livre = disco.ponto + "/livre";
  ASSERT_EQ(mkdir(escrita.c_str(), 0300), 0);
  ASSERT_EQ(mkdir(livre.c_str(), 0755), 0);
  AgenteProcesso agente;
  agente.usarPortaLivre();
  agente.tirarLeituraForcada();
  ASSERT_TRUE(agente.iniciar());
  auto sozinha = agente.conectarLogado();
  std::string b = pedidoGravacao(escrita + "/x", "x");
  ASSERT_TRUE(sozinha->enviarBytes(b.data(), b.size()));
  EXPECT_EQ(receber(sozinha.get(), 8), OK) << "the first acknowledgement, then the end";
  auto emLote = agente.conectarLogado();
  b = pedidoGravacao(livre + "/a", "a") + pedidoGravacao(escrita + "/b", "b") +
      pedidoGravacao(livre + "/c", "c");
  ASSERT_TRUE(emLote->enviarBytes(b.data(), b.size()));
  EXPECT_EQ(receber(emLote.get(), 24), repetir(OK, 3)) << "a acknowledged, b and c not";
  EXPECT_EQ(lerArquivo(livre + "/a"), "a");
  EXPECT_TRUE(agente.esperarNoLogProcesso("Falha ao gravar o arquivo " + escrita +
                                          "/x - Motivo:Bad file descriptor"));
  EXPECT_TRUE(agente.esperarNoLogProcesso("Falha ao gravar o arquivo " + escrita +
                                          "/b - Motivo:Bad file descriptor"));
  EXPECT_TRUE(agente.esperarNoLogProcesso("Falha ao gravar o arquivo " + livre +
                                          "/c - Motivo:conexão encerrada antes da confirmação"));
}

// Where the agent cannot reach its own descriptors (no /proc) a store fills
// a named temporary file, which only the agent may read until the commit;
// and a store that meets the target of one still pending ends as it would
// one at a time.
TEST(GravacaoComNomeTemporario, privadaAteAConfirmacaoEComoUmaPorVez) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to hide /proc from the agent";
  AgenteProcesso agente;
  agente.usarPortaLivre();
  agente.esconderProc();
  ASSERT_TRUE(agente.iniciar());
  auto cliente = agente.conectarLogado();
  std::string pasta = agente.caminho("dados");
  fs::create_directories(pasta + "/d/e");
  std::string b = pedidoGravacao(pasta + "/h", "metade", 12);
  ASSERT_TRUE(cliente->enviarBytes(b.data(), b.size()));
  std::string temporario;
  ASSERT_TRUE(esperarAte(
      [&] {
        for (const auto& entrada : fs::directory_iterator(pasta)) {
          std::string nome = entrada.path().filename();
          if (nome.rfind(".h.vorna-", 0) == 0) temporario = entrada.path();
        }
        return !temporario.empty();
      },
      5000));
  EXPECT_EQ(estado(temporario).st_mode & 07777, 0600u) << "private while it fills";
  ASSERT_TRUE(cliente->enviarBytes("metade", 6));
  EXPECT_EQ(receber(cliente.get(), 8), repetir(OK, 2));
  EXPECT_EQ(estado(pasta + "/h").st_mode & 07777, 0777u & ~umaskAtual()) << "a new file's mode";
  EXPECT_FALSE(fs::exists(temporario));
  // The empty folder d/e gives way to a file; d/e/f then finds no folder.
  b = pedidoGravacao(pasta + "/d/e", "onze bytes!") + pedidoGravacao(pasta + "/d/e/f", "x") +
      pedidoComCaminho(CMD_AGENTE_LINUX_GET_SIZE_FILE, pasta + "/d/e") +
      pedidoGravacao(pasta + "/g", "1") + pedidoGravacao(pasta + "/g", "2") +
      pedidoComCaminho(CMD_AGENTE_LINUX_GET_SIZE_FILE, pasta + "/g");
  ASSERT_TRUE(cliente->enviarBytes(b.data(), b.size()));
  Bytes tamanho11 = {0x00, 0x0e, 0xeb, 0x71, 0, 0, 0, 8, 11, 0, 0, 0, 0, 0, 0, 0};
  Bytes tamanho1 = {0x00, 0x0e, 0xeb, 0x71, 0, 0, 0, 8, 1, 0, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(receber(cliente.get(), 64),
            juntar({repetir(OK, 4), tamanho11, repetir(OK, 4), tamanho1}));
  EXPECT_EQ(lerArquivo(pasta + "/g"), "2");
  EXPECT_EQ(std::distance(fs::directory_iterator(pasta), {}), 3) << "d, g and h: nothing left";
}

// How a store is made durable on each file system this machine can make.
TEST(TRegraDescarga, umaConfirmacaoSoEmExt4ComDiarioEEmXfs) {
  for (const char* tipo : {"ext4", "ext4-sem-diario", "xfs", "tmpfs"}) {
    SCOPED_TRACE(tipo);
    DiscoDeTeste disco;
    if (!DiscoDeTeste::possivel(tipo) || !disco.montar(tipo)) {
      std::cout << "  [ note ] " << tipo << " not tried: needs root and its mkfs\n";
      continue;
    }
    int fd = open(disco.ponto.c_str(), O_WRONLY | O_TMPFILE | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    struct stat st {};
    ASSERT_EQ(fstat(fd, &st), 0);
    bool umaSo = std::string(tipo) == "ext4" || std::string(tipo) == "xfs";
    EXPECT_EQ(TRegraDescarga::modoDe(fd, st.st_dev),
              umaSo ? TRegraDescarga::UMA_CONFIRMACAO : TRegraDescarga::DUAS_DESCARGAS);
    close(fd);
  }
}

namespace {

std::string versao(int i, bool nova) {
  std::string base = (nova ? "nova " : "velha ") + std::to_string(i) + " ";
  std::string r;
  while (r.size() < static_cast<size_t>(100 + (i * 7919) % 12000)) r += base;
  return r;
}

// One power cut during a restore into a new file system of kind tipo. Store
// i goes over connection i % CONEXOES: the first two send all theirs ahead
// (batches), the others one at a time, each waiting for its reply before the
// next (lone stores, as a server that waits gets them). One store in five
// goes to a folder of mode 0300, which the agent, without its read-override
// capabilities, may write into but not read; one in eight replaces an old
// file. Power is cut once a random number of stores is acknowledged, or of
// lone stores when pelasSozinhas. After
// the remount every acknowledged store holds its new content, and every name
// holds a whole file: the old one, or the new one.
void cortarEnergia(const std::string& tipo, bool pelasSozinhas, std::mt19937* sorteio) {
  const int TOTAL = 2400, SUBSTITUIDOS = 300, PASTAS = 12;
  constexpr int CONEXOES = 4;
  DiscoDeTeste disco;
  ASSERT_TRUE(disco.montar(tipo));
  auto caminho = [&](int i) {
    std::string pasta = i % 5 == 4 ? "/escrita" : "/d" + std::to_string(i % PASTAS);
    return disco.ponto + pasta + "/" + std::to_string(i);
  };
  for (int p = 0; p < PASTAS; ++p) fs::create_directory(disco.ponto + "/d" + std::to_string(p));
  fs::create_directory(disco.ponto + "/escrita");
  for (int i = 0; i < SUBSTITUIDOS; ++i) escreverArquivo(caminho(i * 8), versao(i * 8, false));
  ASSERT_EQ(chmod((disco.ponto + "/escrita").c_str(), 0300), 0);
  sync();
  AgenteProcesso agente;
  agente.usarPortaLivre();
  agente.tirarLeituraForcada();
  ASSERT_TRUE(agente.iniciar());
  std::vector<std::unique_ptr<ClienteVorna>> clientes;
  for (int c = 0; c < CONEXOES; ++c) clientes.push_back(agente.conectarLogado());
  std::vector<std::thread> threads;
  std::atomic<size_t> confirmadas[CONEXOES] = {};  // stores acknowledged, in order
  // A neighbour that flushes a file of its own all the time, as a database
  // would: its commits take along whatever names the agent gave meanwhile.
  std::atomic<bool> cortado{false};
  threads.emplace_back([&] {
    int vizinho = open((disco.ponto + "/vizinho").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    for (char c = 0; vizinho >= 0 && !cortado; ++c) {
      if (pwrite(vizinho, &c, 1, 0) != 1 || fsync(vizinho) != 0) break;
    }
    if (vizinho >= 0) close(vizinho);
  });
  // The cut comes once this many stores are acknowledged: all told (mostly
  // batched ones, while batches are being committed), a little later; or
  // lone ones, at once after the next lone store into the folder the agent
  // may not read, from the thread that got its reply.
  size_t alvo = std::uniform_int_distribution<size_t>(TOTAL / 20, TOTAL / 2)(*sorteio);
  size_t alvoSozinhas = std::uniform_int_distribution<size_t>(10, 80)(*sorteio);
  std::atomic<size_t> sozinhas{0};
  std::atomic<bool> feito{false};
  // Acknowledged before the cut. One that comes after it may be a store
  // the agent could not make, which gets its reply too.
  size_t vistas[CONEXOES] = {}, soma = 0;
  auto cortar = [&] {
    if (feito.exchange(true)) return;
    for (int c = 0; c < CONEXOES; ++c) soma += (vistas[c] = confirmadas[c]);
    int fd = open(disco.ponto.c_str(), O_RDONLY | O_DIRECTORY);
    // EXT4_IOC_SHUTDOWN and XFS_IOC_GOINGDOWN, with their NOLOGFLUSH: what
    // the journal has not committed is lost, as in a power cut.
    uint32_t modo = 0x2;
    EXPECT_EQ(ioctl(fd, _IOR('X', 125, uint32_t), &modo), 0);
    close(fd);
    cortado = true;
  };
  for (int c = 0; c < CONEXOES; ++c) {
    bool umaPorVez = c >= 2;
    threads.emplace_back([&, c, umaPorVez] {
      for (int i = c; i < TOTAL; i += CONEXOES) {
        std::string b = pedidoGravacao(caminho(i), versao(i, true));
        if (!clientes[c]->enviarBytes(b.data(), b.size())) return;
        if (!umaPorVez) continue;
        if (receber(clientes[c].get(), 8) != repetir(OK, 2)) return;
        ++confirmadas[c];
        // Right after a store into the folder it may not read.
        if (++sozinhas >= alvoSozinhas && pelasSozinhas && i % 5 == 4) cortar();
      }
    });
    if (umaPorVez) continue;
    threads.emplace_back([&, c] {
      unsigned char bytes[4096];
      size_t recebidos = 0;
      ssize_t r;
      // Only COMMAND_OKs come, 8 bytes a store.
      while ((r = clientes[c]->receberAte(bytes, sizeof bytes)) > 0) {
        recebidos += static_cast<size_t>(r);
        confirmadas[c] = recebidos / 8;
      }
    });
  }
  esperarAte(
      [&] {
        size_t soma = 0;
        for (auto& n : confirmadas) soma += n;
        return feito || (!pelasSozinhas && soma >= alvo);
      },
      60000);
  // Acknowledgements come right after a commit: a little later, the next
  // batch may be anywhere between its names and its flush.
  std::this_thread::sleep_for(
      std::chrono::microseconds(std::uniform_int_distribution<int>(0, 20000)(*sorteio)));
  cortar();
  agente.parar(SIGKILL);
  for (auto& cliente : clientes) cliente->interromper();
  for (auto& t : threads) t.join();
  ASSERT_TRUE(disco.remontar());
  std::cout << "  [ cut ] " << tipo << ": after " << soma << " acknowledged stores, "
            << vistas[2] + vistas[3] << " of them lone\n";
  for (int i = 0; i < TOTAL; ++i) {
    std::string nome = caminho(i);
    bool substituido = i % 8 == 0 && i / 8 < SUBSTITUIDOS;
    bool confirmada = static_cast<size_t>(i / CONEXOES) < vistas[i % CONEXOES];
    if (!substituido && !confirmada && access(nome.c_str(), F_OK)) {
      continue;  // not acknowledged, and not there: allowed
    }
    std::string agora = lerArquivo(nome);
    bool velha = substituido && !confirmada;
    ASSERT_TRUE(agora == versao(i, true) || (velha && agora == versao(i, false)))
        << nome << (confirmada ? " (acknowledged)" : "")
        << (access(nome.c_str(), F_OK)
                ? " is missing"
                : " holds " + std::to_string(agora.size()) + " bytes: " + agora.substr(0, 12));
  }
}

}  // namespace

TEST(CorteDeEnergia, gravacoesConfirmadasSobrevivem) {
  if (!DiscoDeTeste::possivel("ext4")) GTEST_SKIP() << "needs root, loop devices and mkfs.ext4";
  std::mt19937 sorteio(std::random_device{}());
  for (const char* tipo : {"ext4", "xfs"}) {
    if (!DiscoDeTeste::possivel(tipo)) {
      std::cout << "  [ note ] no " << tipo << " round: mkfs." << tipo << " is not installed\n";
      continue;
    }
    for (int rodada = 0; rodada < 2; ++rodada) {
      cortarEnergia(tipo, rodada == 1, &sorteio);
      if (HasFatalFailure()) return;
    }
  }
}
