// A connection's batch of stores on its own: a socket pair stands for the
// connection, and the test plays both the server on the far end and the
// command loop, which writes each store's two COMMAND_OKs around it.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <new>
#include <string>
#include <thread>

#include "FalhaDeMemoria.h"
#include "Logger.h"
#include "Stream.h"
#include "TCPCliente.h"
#include "TLoteGravacao.h"
#include "TUtils.h"
#include "Temporario.h"

namespace fs = std::filesystem;

namespace {

const std::string OK("\x00\x0e\xeb\x71", 4);

std::string repetir(const std::string& s, int vezes) {
  std::string r;
  for (int i = 0; i < vezes; ++i) r += s;
  return r;
}

class TLoteGravacaoTeste : public ::testing::Test {
 protected:
  void SetUp() override { abrir(); }
  void TearDown() override {
    fechar();
    unlink(log.c_str());
  }
  void abrir() {
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pontas), 0);
    stream.reset(new Stream(pontas[0]));
    lote.reset(new TLoteGravacao(stream.get(), getpid()));
  }
  void fechar() {
    lote.reset();
    stream.reset();
    for (int& p : pontas) fecharUmaVez(&p);
  }
  // One store as the command loop serves it, its data written by the peer
  // from another thread (more than the socket holds, maybe).
  void gravar(const std::string& nome, const std::string& dados, int64_t anunciado = -1) {
    stream->writeInt(COMMAND_OK);
    std::thread peer([&] { escreverTudo(pontas[1], dados.data(), dados.size()); });
    std::string caminho = nome.empty() ? nome : pasta / nome;
    lote->receber(caminho, anunciado < -1 || anunciado >= 0 ? anunciado : dados.size(),
                  &transferindo);
    peer.join();
    stream->writeInt(COMMAND_OK);
  }
  // What the peer can read without waiting.
  std::string disponivel() {
    std::string r;
    char bloco[65536];
    ssize_t n;
    while ((n = recv(pontas[1], bloco, sizeof bloco, MSG_DONTWAIT)) > 0) r.append(bloco, n);
    return r;
  }
  // How many COMMAND_OKs the peer can read now: -1 when it is anything else.
  int oksDisponiveis() {
    std::string r = disponivel();
    int n = static_cast<int>(r.size() / OK.size());
    return r == repetir(OK, n) ? n : -1;
  }
  bool existe(const std::string& nome) { return fs::exists(pasta / nome); }
  // The size of file nome, -1 when there is none.
  int64_t tamanho(const std::string& nome) {
    std::error_code erro;
    auto n = fs::file_size(pasta / nome, erro);
    return erro ? -1 : static_cast<int64_t>(n);
  }

  PastaTemporaria pasta;
  int pontas[2] = {-1, -1};
  std::unique_ptr<Stream> stream;
  std::unique_ptr<TLoteGravacao> lote;
  bool transferindo = false;
  std::string log = Logger().caminhoLog(getpid());
};

}  // namespace

TEST_F(TLoteGravacaoTeste, contaCadaGravacaoESoltaAsRespostasAoConfirmar) {
  gravar("um", "um");
  // Stores of an empty path touch no file, but their replies are held too.
  for (int i = 0; i < TLoteGravacao::MAXIMO_ARQUIVOS - 1; ++i) gravar("", "");
  EXPECT_EQ(oksDisponiveis(), 1) << "only the reply written before anything was held";
  EXPECT_FALSE(existe("um"));
  // The next store would pass the limit: the batch is committed before it,
  // and its replies leave at once, not behind the next batch.
  gravar("dois", "dois");
  EXPECT_EQ(oksDisponiveis(), 2 * TLoteGravacao::MAXIMO_ARQUIVOS);
  EXPECT_EQ(lerArquivo(pasta / "um"), "um");
  EXPECT_FALSE(existe("dois"));
  EXPECT_TRUE(lote->confirmar());
  EXPECT_EQ(oksDisponiveis(), 1);
  EXPECT_EQ(lerArquivo(pasta / "dois"), "dois");
}

TEST_F(TLoteGravacaoTeste, tamanhoNegativoNaoContaEOLimiteDeBytesNuncaEhPassado) {
  gravar("negativo", "", -(int64_t{1} << 40));
  // Zeros: stored as a hole, the test costs no disk.
  gravar("quase", std::string(TLoteGravacao::MAXIMO_BYTES - 10, '\0'));
  EXPECT_FALSE(existe("quase"));
  gravar("passaria", std::string(20, 'p'));
  EXPECT_EQ(tamanho("negativo"), 0);
  EXPECT_EQ(tamanho("quase"), TLoteGravacao::MAXIMO_BYTES - 10);
  EXPECT_FALSE(existe("passaria")) << "committed before it joined";
  EXPECT_EQ(oksDisponiveis(), 5);
}

TEST_F(TLoteGravacaoTeste, gravacaoQueEncontraOAlvoDeOutraPendenteConfirmaAntes) {
  fs::create_directories(pasta / "d/e");
  fs::create_directories(pasta / "h/i");
  gravar("d/e", "onze bytes!");  // the empty folder gives way to a file
  gravar("d/e/f", "x");          // below a pending target: as if one at a time
  EXPECT_EQ(lerArquivo(pasta / "d/e"), "onze bytes!");
  gravar("h/i/j", "j");
  gravar("h/i", "i");  // a folder of a pending target
  EXPECT_EQ(lerArquivo(pasta / "h/i/j"), "j");
  gravar("g", "1");
  gravar("g", "2");  // the same path twice
  EXPECT_EQ(lerArquivo(pasta / "g"), "1");
  EXPECT_TRUE(lote->confirmar());
  EXPECT_EQ(lerArquivo(pasta / "g"), "2");
  EXPECT_TRUE(fs::is_directory(pasta / "h/i")) << "a folder with content is never replaced";
  EXPECT_EQ(oksDisponiveis(), 12) << "failed stores keep their replies";
}

TEST_F(TLoteGravacaoTeste, excecaoNaConfirmacaoNuncaPassaPorGravacaoDuravel) {
  if (!logsGravaveis()) GTEST_SKIP() << "the failures show only in the log";
  bool confirmou = false;
  int falhas = 0;
  for (long depois = 0; !confirmou; ++depois) {
    fechar();
    unlink(log.c_str());
    abrir();
    for (const char* nome : {"a", "b", "c"}) gravar(nome + std::to_string(depois), nome);
    alocacoesAteFalhar = depois;
    confirmou = lote->confirmar();
    alocacoesAteFalhar = -1;
    if (confirmou) {
      EXPECT_EQ(oksDisponiveis(), 6) << "after " << depois;
    } else {
      // Ended before any store's reply: a store may be in place, never acknowledged.
      EXPECT_EQ(oksDisponiveis(), 1) << "after " << depois;
      EXPECT_TRUE(stream->encerrada());
      ++falhas;
    }
    // Nothing is left for a later commit to try again.
    EXPECT_TRUE(lote->confirmar());
    EXPECT_EQ(oksDisponiveis(), 0);
    std::string linhas = lerArquivo(log);
    EXPECT_EQ(linhas.find("Success"), std::string::npos) << linhas;
    EXPECT_EQ(contar(linhas, "Falha ao gravar o arquivo"), confirmou ? 0 : 3) << linhas;
    ASSERT_LT(depois, 10000);
  }
  EXPECT_GT(falhas, 3) << "the allocator must have failed commits at several points";
}
