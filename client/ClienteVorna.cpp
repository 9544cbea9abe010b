#include "ClienteVorna.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "Stream.h"
#include "TCPCliente.h"

ClienteVorna::ClienteVorna() : handle(-1) {}

ClienteVorna::~ClienteVorna() { fechar(); }

bool ClienteVorna::conectar(const std::string& host, int porta) {
  fechar();
  struct sockaddr_in destino;
  std::memset(&destino, 0, sizeof destino);
  destino.sin_family = AF_INET;
  destino.sin_port = htons(static_cast<uint16_t>(porta));
  if (inet_pton(AF_INET, host.c_str(), &destino.sin_addr) != 1) return false;
  handle = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
  if (handle < 0) return false;
  if (connect(handle, reinterpret_cast<struct sockaddr*>(&destino), sizeof destino) != 0) {
    fechar();
    return false;
  }
  int ligado = 1;
  setsockopt(handle, IPPROTO_TCP, TCP_NODELAY, &ligado, sizeof ligado);
  setTempoLimite(30000);
  return true;
}

void ClienteVorna::fechar() {
  if (handle >= 0) close(handle);
  handle = -1;
}

void ClienteVorna::setTempoLimite(int milissegundos) {
  struct timeval limite;
  limite.tv_sec = milissegundos / 1000;
  limite.tv_usec = (milissegundos % 1000) * 1000;
  setsockopt(handle, SOL_SOCKET, SO_RCVTIMEO, &limite, sizeof limite);
  setsockopt(handle, SOL_SOCKET, SO_SNDTIMEO, &limite, sizeof limite);
}

void ClienteVorna::encerrarEnvio() {
  if (handle >= 0) shutdown(handle, SHUT_WR);
}

bool ClienteVorna::enviarBytes(const void* dados, size_t n) {
  const char* p = static_cast<const char*>(dados);
  while (n > 0) {
    ssize_t r = ::send(handle, p, n, MSG_NOSIGNAL);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    p += r;
    n -= static_cast<size_t>(r);
  }
  return true;
}

bool ClienteVorna::receberBytes(void* dados, size_t n) {
  char* p = static_cast<char*>(dados);
  while (n > 0) {
    ssize_t r = recv(handle, p, n, 0);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    p += r;
    n -= static_cast<size_t>(r);
  }
  return true;
}

bool ClienteVorna::enviarInt(int valor) {
  int32_t rede = Stream::convertToBigEndian(valor);
  return enviarBytes(&rede, sizeof rede);
}

bool ClienteVorna::lerInt(int* valor) {
  unsigned char bytes[4];
  if (!receberBytes(bytes, sizeof bytes)) return false;
  *valor = Stream::ConvertToInt32(bytes);
  return true;
}

bool ClienteVorna::enviarMensagem(const MemoryStream& mensagem) {
  MemoryStream completa;
  int32_t rede = Stream::convertToBigEndian(mensagem.getSize());
  completa.addBytes(&rede, sizeof rede);
  completa.addBytes(mensagem.getBuffer(), mensagem.getSize());
  return enviarBytes(completa.getBuffer(), static_cast<size_t>(completa.getSize()));
}

bool ClienteVorna::lerMensagem(MemoryStream* mensagem) {
  int tamanho;
  if (!lerInt(&tamanho) || tamanho < 0) return false;
  mensagem->clearAll();
  unsigned char* area = mensagem->acrescentarEspaco(tamanho);
  return receberBytes(area, static_cast<size_t>(tamanho));
}

bool ClienteVorna::aguardarFechamento(int milissegundos) {
  struct pollfd espera = {handle, POLLIN, 0};
  int r = poll(&espera, 1, milissegundos);
  if (r <= 0) return false;
  char byte;
  ssize_t lido = recv(handle, &byte, 1, MSG_DONTWAIT);
  // A reset after the agent closed with unread data of ours also means closed.
  return lido == 0 || (lido < 0 && errno == ECONNRESET);
}

int ClienteVorna::login(const std::string& usuario, const std::string& senha) {
  MemoryStream mensagem;
  mensagem.addString(usuario);
  mensagem.addString(senha);
  int resposta;
  if (!enviarMensagem(mensagem) || !lerInt(&resposta)) return ERRO_CONEXAO;
  return resposta;
}

bool ClienteVorna::comando(int codigo) {
  int resposta;
  return enviarInt(codigo) && lerInt(&resposta) && resposta == COMMAND_OK;
}

int ClienteVorna::getVersao() {
  int versao;
  if (!comando(CMD_AGENTE_LINUX_GET_VERSION) || !lerInt(&versao)) return ERRO_CONEXAO;
  return versao;
}

bool ClienteVorna::consultar(int codigo, const std::vector<std::string>& textos,
                             MemoryStream* resposta) {
  MemoryStream pedido;
  for (const std::string& texto : textos) pedido.addString(texto);
  return comando(codigo) && enviarMensagem(pedido) && lerMensagem(resposta);
}

bool ClienteVorna::listar(int codigo, const std::string& diretorio,
                          TListaInfoObjectLinux* registros, const std::string& data) {
  std::vector<std::string> textos = {diretorio};
  if (codigo == CMD_AGENTE_LINUX_LIST_ALL_FILES_INCREMENTAL) textos.push_back(data);
  MemoryStream resposta;
  if (!consultar(codigo, textos, &resposta)) return false;
  registros->clear();
  try {
    int quantidade = resposta.readIntFromMemoryStream();
    if (quantidade < 0) return false;
    for (int i = 0; i < quantidade; ++i) {
      InfoObjectLinux registro;
      registro.loadFromMemoryStream(&resposta);
      registros->push_back(std::move(registro));
    }
  } catch (const std::out_of_range&) {
    return false;
  }
  return resposta.getPosicao() == resposta.getSize();
}

int64_t ClienteVorna::iniciarBusca(const std::string& caminho, int bloco) {
  MemoryStream pedido;
  pedido.addString(caminho);
  pedido.addInt(bloco);
  MemoryStream resposta;
  if (!comando(CMD_AGENTE_LINUX_GET_FILE) || !enviarMensagem(pedido) || !lerMensagem(&resposta)) {
    return ERRO_CONEXAO;
  }
  try {
    return resposta.readInt64FromMemoryStream();
  } catch (const std::out_of_range&) {
    return ERRO_CONEXAO;
  }
}

bool ClienteVorna::lerBloco(int* contagem, std::vector<unsigned char>* dados) {
  if (!lerInt(contagem)) return false;
  dados->resize(*contagem > 0 ? static_cast<size_t>(*contagem) : 0);
  return dados->empty() || receberBytes(dados->data(), dados->size());
}

bool ClienteVorna::buscar(const std::string& caminho, int bloco, std::string* conteudo) {
  conteudo->clear();
  int64_t tamanho = iniciarBusca(caminho, bloco);
  if (tamanho < 0) return false;
  std::vector<unsigned char> dados;
  while (static_cast<int64_t>(conteudo->size()) < tamanho) {
    int contagem;
    if (!lerBloco(&contagem, &dados) || contagem <= 0) return false;
    conteudo->append(reinterpret_cast<const char*>(dados.data()), dados.size());
  }
  return true;
}

bool ClienteVorna::gravar(const std::string& caminho, int bloco, const void* dados, int64_t n) {
  MemoryStream pedido;
  pedido.addString(caminho);
  pedido.addInt(bloco);
  pedido.addInt64(n);
  int fim;
  return comando(CMD_AGENTE_LINUX_PUT_FILE) && enviarMensagem(pedido) &&
         enviarBytes(dados, static_cast<size_t>(n)) && lerInt(&fim) && fim == COMMAND_OK;
}
