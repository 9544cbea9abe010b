// Fetching and storing files through the real agent.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <thread>

#include "AgenteProcesso.h"
#include "Stream.h"
#include "TCPCliente.h"

namespace {

std::string conteudoPseudoAleatorio(size_t n, uint32_t semente) {
  std::string dados(n, '\0');
  uint64_t x = semente * 2654435761u + 1;
  for (size_t i = 0; i < n; ++i) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    dados[i] = static_cast<char>(x);
  }
  return dados;
}

bool temTemporario(const std::string& pasta) {
  for (const auto& entrada : std::filesystem::directory_iterator(pasta)) {
    if (entrada.path().filename().string().find(".vorna-") != std::string::npos) return true;
  }
  return false;
}

class AgenteTransferencia : public TesteComConexao {
 protected:
  // The counts of every chunk of a fetch, checking the bytes against the file.
  std::vector<int> contagens(const std::string& caminho, int bloco, int64_t* tamanho) {
    *tamanho = cliente->iniciarBusca(caminho, bloco);
    std::vector<int> resultado;
    std::string original = lerArquivo(caminho), recebido;
    Bytes dados;
    while (static_cast<int64_t>(recebido.size()) < *tamanho) {
      int contagem;
      if (!cliente->lerBloco(&contagem, &dados)) break;
      resultado.push_back(contagem);
      if (contagem <= 0) break;
      recebido.append(dados.begin(), dados.end());
    }
    if (*tamanho > 0 && recebido.size() == static_cast<size_t>(*tamanho)) {
      EXPECT_EQ(recebido, original);
    }
    return resultado;
  }

  void emPasso() { EXPECT_TRUE(::emPasso(cliente.get())); }
};

}  // namespace

TEST_F(AgenteTransferencia, buscarEmBlocosContados) {
  escreverArquivo(base + "/vazio", "");
  escreverArquivo(base + "/tres", conteudoPseudoAleatorio(3000, 1));
  escreverArquivo(base + "/tres-e-um", conteudoPseudoAleatorio(3001, 2));
  int64_t tamanho;
  EXPECT_TRUE(contagens(base + "/vazio", 1000, &tamanho).empty());
  EXPECT_EQ(tamanho, 0);
  emPasso();
  EXPECT_TRUE(contagens(base + "/nada", 1000, &tamanho).empty());
  EXPECT_EQ(tamanho, -1);
  emPasso();
  EXPECT_EQ(contagens(base + "/tres", 1000, &tamanho), (std::vector<int>{1000, 1000, 1000}));
  emPasso();
  EXPECT_EQ(contagens(base + "/tres-e-um", 1000, &tamanho),
            (std::vector<int>{1000, 1000, 1000, 1}));
  emPasso();
  EXPECT_EQ(contagens(base + "/tres", 0, &tamanho), (std::vector<int>{0}))
      << "a chunk size of 0 ends the transfer at its first chunk";
  emPasso();
  // A folder is no file, whatever seeking its end gives on its file system.
  EXPECT_TRUE(contagens(base, 4096, &tamanho).empty());
  EXPECT_EQ(tamanho, -1);
  emPasso();
  // A chunk size above the limit is served in chunks of 16 MiB.
  escreverArquivo(base + "/grande", conteudoPseudoAleatorio(20 * 1024 * 1024 + 5, 3));
  EXPECT_EQ(contagens(base + "/grande", 64 * 1024 * 1024, &tamanho),
            (std::vector<int>{16 * 1024 * 1024, 4 * 1024 * 1024 + 5}));
  emPasso();
}

TEST_F(AgenteTransferencia, arquivoQueMudaDepoisDoTamanhoSaiComOAnunciado) {
  // The client reads slowly, so the agent is still sending when the file
  // changes: far more than the socket buffers hold is still due.
  int pequeno = 64 * 1024;
  setsockopt(cliente->getSocket(), SOL_SOCKET, SO_RCVBUF, &pequeno, sizeof pequeno);
  const size_t TAMANHO = 32 * 1024 * 1024 + 1;
  std::string original = conteudoPseudoAleatorio(TAMANHO, 8);
  for (bool cresce : {true, false}) {
    std::string arquivo = base + (cresce ? "/cresce" : "/encolhe");
    escreverArquivo(arquivo, original);
    ASSERT_EQ(cliente->iniciarBusca(arquivo, 65536), static_cast<int64_t>(TAMANHO));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    if (cresce) {
      escreverArquivo(arquivo, original + std::string(2 * 65536, 'x'));
    } else {
      ASSERT_EQ(truncate(arquivo.c_str(), 1024 * 1024), 0);
    }
    std::string recebido;
    Bytes dados;
    int contagem = 0;
    while (recebido.size() < TAMANHO && cliente->lerBloco(&contagem, &dados) && contagem > 0) {
      recebido.append(dados.begin(), dados.end());
    }
    if (cresce) {
      EXPECT_EQ(recebido.size(), TAMANHO) << "cut at the announced size";
      EXPECT_EQ(contagem, 1);
      EXPECT_TRUE(recebido == original);
    } else {
      EXPECT_EQ(contagem, -1) << "a file that shrank ends as a failed read does";
      EXPECT_LT(recebido.size(), TAMANHO);
      EXPECT_TRUE(recebido == original.substr(0, recebido.size()));
    }
    emPasso();
  }
  // A chunk larger than the agent's buffer is announced before it is all
  // read: a file that shrinks under it is made up with zeros, then -1 follows.
  std::string arquivo = base + "/encolhe-no-bloco";
  escreverArquivo(arquivo, original);
  ASSERT_EQ(cliente->iniciarBusca(arquivo, 16 * 1024 * 1024), static_cast<int64_t>(TAMANHO));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  ASSERT_EQ(truncate(arquivo.c_str(), 1024 * 1024), 0);
  int contagem = 0;
  Bytes dados;
  ASSERT_TRUE(cliente->lerBloco(&contagem, &dados));
  ASSERT_EQ(contagem, 16 * 1024 * 1024);
  auto fimDoOriginal = std::mismatch(dados.begin(), dados.end(), original.begin(),
                                     [](unsigned char a, char b) { return a == (unsigned char)b; });
  EXPECT_GE(fimDoOriginal.first - dados.begin(), 1024 * 1024);
  EXPECT_TRUE(
      std::all_of(fimDoOriginal.first, dados.end(), [](unsigned char c) { return c == 0; }));
  ASSERT_TRUE(cliente->lerBloco(&contagem, &dados));
  EXPECT_EQ(contagem, -1);
  emPasso();
}

TEST_F(AgenteTransferencia, gravarCriaSubstituiEFechaComOk) {
  std::string dados = conteudoPseudoAleatorio(100000, 4);
  ASSERT_TRUE(cliente->gravar(base + "/novo", 4096, dados.data(), dados.size()));
  EXPECT_EQ(lerArquivo(base + "/novo"), dados);
  EXPECT_EQ(estado(base + "/novo").st_mode & 07777, 0777u & ~umaskAtual());

  // A file replaced passes on its mode and (where the agent is root) its owner.
  escreverArquivo(base + "/velho", std::string(500000, 'v'));
  chmod((base + "/velho").c_str(), 0600);
  bool root = geteuid() == 0;
  if (root) {
    ASSERT_EQ(chown((base + "/velho").c_str(), 65534, 65534), 0);
  }
  ASSERT_TRUE(cliente->gravar(base + "/velho", 1000, "curto", 5));
  EXPECT_EQ(lerArquivo(base + "/velho"), "curto");
  struct stat st = estado(base + "/velho");
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  if (root) {
    EXPECT_EQ(st.st_uid, 65534u);
    EXPECT_EQ(st.st_gid, 65534u);
  }

  ASSERT_TRUE(cliente->gravar(base + "/zero", 1000, "", 0));
  EXPECT_TRUE(std::filesystem::is_regular_file(base + "/zero"));
  EXPECT_EQ(std::filesystem::file_size(base + "/zero"), 0u);

  // The chunk size only bounds a receive: 0 or less still stores the file.
  ASSERT_TRUE(cliente->gravar(base + "/sem-bloco", 0, dados.data(), dados.size()));
  EXPECT_EQ(lerArquivo(base + "/sem-bloco"), dados);
  ASSERT_TRUE(cliente->gravar(base + "/bloco-negativo", -5, "abc", 3));
  EXPECT_EQ(lerArquivo(base + "/bloco-negativo"), "abc");

  std::filesystem::create_directories(base + "/base-vazia");
  ASSERT_TRUE(cliente->gravar(base + "/base-vazia", 10, "agora arquivo", 13));
  EXPECT_EQ(lerArquivo(base + "/base-vazia"), "agora arquivo");
  EXPECT_FALSE(temTemporario(base));
  emPasso();
}

TEST_F(AgenteTransferencia, gravacaoImpossivelDescartaOsBytesESegueEmPasso) {
  std::filesystem::create_directories(base + "/cheia");
  escreverArquivo(base + "/cheia/dentro", "x");
  std::string dados = conteudoPseudoAleatorio(200000, 5);  // would look like commands if left
  ASSERT_TRUE(cliente->gravar(base + "/cheia", 1000, dados.data(), dados.size()));
  EXPECT_TRUE(std::filesystem::is_directory(base + "/cheia"));
  EXPECT_EQ(lerArquivo(base + "/cheia/dentro"), "x");
  ASSERT_TRUE(cliente->gravar(base + "/falta/arquivo", 1000, dados.data(), dados.size()));
  EXPECT_FALSE(std::filesystem::exists(base + "/falta"));
  emPasso();
  EXPECT_TRUE(agente.esperarNoLogProcesso("Não foi possível criar o arquivo " + base +
                                          "/falta/arquivo - Motivo:No such file or directory"));
}

TEST_F(AgenteTransferencia, gravacaoLeSoOAnunciadoEmQualquerPedaco) {
  // An empty path stores nothing, but its bytes are read all the same.
  pedirGravacao(cliente.get(), "", 6, 100);
  ASSERT_TRUE(cliente->enviarBytes("\0\0\0\x03xx", 6));  // a "command 3" that is only data
  EXPECT_EQ(receber(cliente.get(), 4), (Bytes{0x00, 0x0e, 0xeb, 0x71}));
  emPasso();
  // Only the path: the two acknowledgements follow each other at once.
  ASSERT_TRUE(cliente->enviarInt(CMD_AGENTE_LINUX_PUT_FILE));
  ASSERT_TRUE(cliente->enviarMensagem(ClienteVorna::pedidoDeCaminho("")));
  EXPECT_EQ(receber(cliente.get(), 8), (Bytes{0x00, 0x0e, 0xeb, 0x71, 0x00, 0x0e, 0xeb, 0x71}));
  emPasso();
  // Data in small pieces; the last byte and the next command in one segment.
  pedirGravacao(cliente.get(), base + "/pedacos", 10, 1 << 20);
  for (const char* pedaco : {"01", "234", "5678"}) {
    ASSERT_TRUE(cliente->enviarBytes(pedaco, std::strlen(pedaco)));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ASSERT_TRUE(cliente->enviarBytes("9\0\0\0\x03", 5));
  EXPECT_EQ(receber(cliente.get(), 12),
            (Bytes{0x00, 0x0e, 0xeb, 0x71, 0x00, 0x0e, 0xeb, 0x71, 0, 0, 0, 8}));
  EXPECT_EQ(lerArquivo(base + "/pedacos"), "0123456789");
}

TEST_F(AgenteTransferencia, duasConexoesGravandoOMesmoCaminho) {
  std::string a = std::string(3000000, 'a'), b = std::string(3000000, 'b');
  auto outro = agente.conectarLogado();
  std::atomic<int> certos{0};
  std::thread ta(
      [&] { certos += cliente->gravar(base + "/disputado", 65536, a.data(), a.size()); });
  std::thread tb([&] { certos += outro->gravar(base + "/disputado", 65536, b.data(), b.size()); });
  ta.join();
  tb.join();
  EXPECT_EQ(certos.load(), 2);
  std::string final = lerArquivo(base + "/disputado");
  EXPECT_TRUE(final == a || final == b) << "one whole file, never a mix";
  EXPECT_FALSE(temTemporario(base));
}

TEST_F(AgenteTransferencia, gravacaoPelaMetadeNuncaApareceEDeixaOAntigo) {
  escreverArquivo(base + "/precioso", "versão antiga");
  auto metade = [&](ClienteVorna* c) {
    pedirGravacao(c, base + "/precioso", 1000000, 65536);
    std::string dados(500000, 'm');
    ASSERT_TRUE(c->enviarBytes(dados.data(), dados.size()));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  };
  metade(cliente.get());
  // Neither a listing nor the folder itself shows a file being filled.
  auto outro = agente.conectarLogado();
  TListaInfoObjectLinux lista;
  ASSERT_TRUE(outro->listar(CMD_AGENTE_LINUX_LIST, base, &lista));
  ASSERT_EQ(lista.size(), 1u);
  EXPECT_EQ(lista[0].getNome(), base + "/precioso");
  EXPECT_FALSE(temTemporario(base));
  // A server that leaves midway: the old file stays, nothing is left over.
  cliente->fechar();
  EXPECT_TRUE(agente.esperarNoLogProcesso("Transferência interrompida do arquivo " + base));
  EXPECT_EQ(lerArquivo(base + "/precioso"), "versão antiga");
  EXPECT_FALSE(temTemporario(base));
  // An agent that dies midway leaves nothing behind either.
  metade(outro.get());
  agente.parar(SIGKILL);
  EXPECT_EQ(lerArquivo(base + "/precioso"), "versão antiga");
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(base),
                          std::filesystem::directory_iterator()),
            1);
}

TEST_F(AgenteTransferencia, caminhoQuaseNoLimiteDoSistema) {
  // A target path of 4,090 bytes: valid, so it must store, although a
  // temporary name beside it would be longer than any whole path may be.
  std::string caminho = base;
  while (caminho.size() < 4090 - 250) caminho += "/" + std::string(200, 'p');
  std::filesystem::create_directories(caminho);
  caminho += "/" + std::string(4090 - caminho.size() - 1, 'f');
  ASSERT_EQ(caminho.size(), 4090u);
  ASSERT_TRUE(cliente->gravar(caminho, 1000, "longe", 5));
  EXPECT_EQ(lerArquivo(caminho), "longe");
  emPasso();
}
