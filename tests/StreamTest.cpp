#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>
#include <thread>
#include <vector>

#include "MemoryStream.h"
#include "Stream.h"
#include "TCPCliente.h"

namespace {

// Two connected sockets: the agent's end and the peer's end.
class ParDeSockets {
 public:
  ParDeSockets() {
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) throw std::runtime_error("socketpair");
    agente = fds[0];
    par = fds[1];
  }
  ~ParDeSockets() {
    if (agente >= 0) close(agente);
    if (par >= 0) close(par);
  }
  void enviar(const std::vector<unsigned char>& dados) const {
    ASSERT_EQ(write(par, dados.data(), dados.size()), static_cast<ssize_t>(dados.size()));
  }
  // Whether the peer's end reads the end of the connection, with no byte before it.
  bool nadaMais() const {
    char c;
    return read(par, &c, 1) <= 0;
  }
  void fecharPar() {
    close(par);
    par = -1;
  }
  int agente;
  int par;
};

}  // namespace

TEST(Stream, escritaParaParQueSaiuFalhaSemSigpipe) {
  // SIGPIPE keeps its default action here: raising it would end the test.
  ParDeSockets sockets;
  sockets.fecharPar();
  Stream stream(sockets.agente);
  EXPECT_EQ(stream.writeInt(1), -1);
  MemoryStream m;
  m.addInt(1);
  EXPECT_EQ(stream.enviarMensagem(m), -1);
  // A stopped stream writes nothing at all.
  ParDeSockets outro;
  Stream parado(outro.agente);
  parado.encerrar();
  EXPECT_EQ(parado.writeInt(7), -1);
  EXPECT_TRUE(outro.nadaMais());
}

TEST(TCPClienteMensagem, tamanhoAcimaDoLimiteEncerraAConexao) {
  for (std::vector<unsigned char> prefixo :
       {std::vector<unsigned char>{0xff, 0xff, 0xff, 0xff},
        std::vector<unsigned char>{0x80, 0x00, 0x00, 0x00},
        std::vector<unsigned char>{0x01, 0x00, 0x00, 0x01},     // 16 MiB + 1
        std::vector<unsigned char>{0x7f, 0xff, 0xff, 0xff}}) {  // 2 GiB - 1
    ParDeSockets sockets;
    Stream stream(sockets.agente);
    TCPCliente cliente(-1);
    sockets.enviar(prefixo);
    sockets.enviar({0x00, 0x00, 0x00, 0x03});  // what would have been the next command
    EXPECT_THROW(cliente.ReadMemoryStream(&stream), std::length_error);
    // Stopped: the next read sees the end, not the bytes that followed.
    EXPECT_EQ(stream.readInt(), -1);
    EXPECT_TRUE(sockets.nadaMais());
  }
  // Exactly the limit is a message.
  ParDeSockets sockets;
  Stream stream(sockets.agente);
  TCPCliente cliente(-1);
  std::vector<unsigned char> corpo(TAMANHO_MAXIMO_MENSAGEM, 0x5a);
  std::thread remetente([&] {
    sockets.enviar({0x01, 0x00, 0x00, 0x00});
    sockets.enviar(corpo);
  });
  MemoryStream m = cliente.ReadMemoryStream(&stream);
  remetente.join();
  ASSERT_EQ(m.getSize(), TAMANHO_MAXIMO_MENSAGEM);
  EXPECT_EQ(m.getBuffer()[TAMANHO_MAXIMO_MENSAGEM - 1], 0x5a);
}
