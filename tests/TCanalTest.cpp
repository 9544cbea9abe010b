// A pipelined channel against a scripted fake agent on loopback: the window
// holds follow-ups too, replies are read in order, and whatever goes wrong
// on either thread ends the run with false, never the process.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>
#include <vector>

#include "AgenteProcesso.h"
#include "ClienteVorna.h"
#include "MemoryStream.h"
#include "Stream.h"
#include "TCPCliente.h"
#include "TCanal.h"
#include "TThreadUnida.h"

namespace {

// The agent's end of one connection, driven by the test's script.
class AgenteFalso {
 public:
  AgenteFalso() {
    int porta = 0;
    int escuta = escutarNaLoopback(&porta);
    cliente.reset(new ClienteVorna());
    EXPECT_TRUE(cliente->conectar("127.0.0.1", porta));
    fd = accept(escuta, nullptr, nullptr);
    close(escuta);
  }
  ~AgenteFalso() { fechar(); }
  void fechar() {
    if (fd >= 0) close(fd);
    fd = -1;
  }

  // Requests (code and message) that arrive before a silence of 300 ms.
  int lerLevaDePedidos() {
    int n = 0;
    struct pollfd espera = {fd, POLLIN, 0};
    while (poll(&espera, 1, 300) == 1) {
      Bytes cabeca = receber(fd, 8);
      if (cabeca.size() < 8) break;
      size_t tamanho = static_cast<size_t>(Stream::ConvertToInt32(cabeca.data() + 4));
      if (receber(fd, tamanho).size() < tamanho) break;
      ++n;
    }
    return n;
  }
  void enviarInt(int valor) {
    int32_t rede = Stream::convertToBigEndian(valor);
    ASSERT_EQ(send(fd, &rede, 4, MSG_NOSIGNAL), 4);
  }

  std::unique_ptr<ClienteVorna> cliente;
  int fd = -1;
};

// A producer that asks once, with tratador for the reply.
TCanal::TProdutor pedirUmaVez(TCanal::TTratador tratador) {
  auto pedido = std::make_shared<bool>(false);
  return [pedido, tratador](TCanal* c) {
    if (*pedido) return false;
    *pedido = true;
    c->pedir(CMD_AGENTE_LINUX_GET_VERSION, MemoryStream(), 0, tratador);
    return true;
  };
}

}  // namespace

TEST(TCanal, seguintesEsperamEspacoNaJanelaERespostasVemEmOrdem) {
  AgenteFalso agente;
  TCanal canal(std::move(agente.cliente), nullptr);
  const int SEGUINTES = 200;
  std::vector<int> lidos;
  // The first reply asks for many follow-ups at once, as a folder of many
  // sub-folders does.
  auto seguinte = [&](TCanal* c) {
    int valor;
    if (!c->lerInt(&valor)) return false;
    lidos.push_back(valor);
    return true;
  };
  auto primeira = [&](TCanal* c) {
    int valor;
    if (!c->lerInt(&valor)) return false;
    for (int i = 0; i < SEGUINTES; ++i)
      c->pedirDepois(CMD_AGENTE_LINUX_GET_VERSION, MemoryStream(), 0, seguinte);
    return true;
  };
  int maiorLeva = 0, respondidos = 0;
  TThreadUnida roteiro([&] {
    EXPECT_EQ(agente.lerLevaDePedidos(), 1);
    agente.enviarInt(0);
    while (respondidos < SEGUINTES) {
      int leva = agente.lerLevaDePedidos();
      if (leva == 0) break;
      maiorLeva = std::max(maiorLeva, leva);
      for (int i = 0; i < leva; ++i) agente.enviarInt(++respondidos);
    }
  });
  EXPECT_TRUE(canal.executar(pedirUmaVez(primeira)));
  roteiro.unir();
  EXPECT_EQ(respondidos, SEGUINTES);
  EXPECT_GT(maiorLeva, 0);
  EXPECT_LE(maiorLeva, static_cast<int>(TCanal::JANELA));
  ASSERT_EQ(lidos.size(), static_cast<size_t>(SEGUINTES));
  for (int i = 0; i < SEGUINTES; ++i) EXPECT_EQ(lidos[static_cast<size_t>(i)], i + 1);
}

TEST(TCanal, respostaForaDePassoFimNoMeioOuExcecaoPerdemSoOCanal) {
  enum TFalha { FORA_DE_PASSO, FECHA_NO_MEIO, TRATADOR_LANCA, PRODUTOR_LANCA };
  for (TFalha falha : {FORA_DE_PASSO, FECHA_NO_MEIO, TRATADOR_LANCA, PRODUTOR_LANCA}) {
    AgenteFalso agente;
    TCanal canal(std::move(agente.cliente), nullptr);
    int depois = 0;
    auto tratador = [&](TCanal* c) -> bool {
      int ok;
      if (falha == TRATADOR_LANCA) throw std::runtime_error("tratador");
      return c->lerInt(&ok) && ok == COMMAND_OK;
    };
    int chamadas = 0;
    TCanal::TProdutor produtor = [&](TCanal* c) {
      if (falha == PRODUTOR_LANCA && chamadas == 1) throw std::bad_alloc();
      if (chamadas++ > 0) return false;
      c->pedir(CMD_AGENTE_LINUX_GET_VERSION, MemoryStream(), 0, tratador);
      // Never read: the channel is lost before its reply.
      c->pedir(CMD_AGENTE_LINUX_GET_VERSION, MemoryStream(), 0,
               [&](TCanal*) { return ++depois > 0; });
      return true;
    };
    TThreadUnida roteiro([&] {
      agente.lerLevaDePedidos();
      if (falha == FORA_DE_PASSO) agente.enviarInt(COMMAND_ERRO);
      if (falha == FECHA_NO_MEIO) {
        ASSERT_EQ(send(agente.fd, "\0\016", 2, MSG_NOSIGNAL), 2);
      }
      if (falha != PRODUTOR_LANCA) agente.fechar();
    });
    EXPECT_FALSE(canal.executar(produtor)) << falha;
    EXPECT_EQ(depois, 0) << falha;
    EXPECT_TRUE(canal.perdida()) << falha;
    roteiro.unir();
  }
}
