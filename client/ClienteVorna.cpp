#include "ClienteVorna.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <stdexcept>

#include "Stream.h"
#include "TCPCliente.h"
#include "TDataTexto.h"
#include "TLimiteBanda.h"
#include "TUtils.h"

ClienteVorna::ClienteVorna(TLimiteBanda* limite) : handle(-1), perdida(false), limite(limite) {}

ClienteVorna::~ClienteVorna() { fechar(); }

namespace {

// A socket of destino's family connected to it, bound first to origem when
// one is given (an address of that family, or the attempt fails): -1 when
// it cannot.
int ligar(const struct addrinfo& destino, const std::string& origem) {
  struct sockaddr_storage local;
  std::memset(&local, 0, sizeof local);
  local.ss_family = static_cast<sa_family_t>(destino.ai_family);
  void* endereco = destino.ai_family == AF_INET6
                       ? static_cast<void*>(&reinterpret_cast<sockaddr_in6*>(&local)->sin6_addr)
                       : static_cast<void*>(&reinterpret_cast<sockaddr_in*>(&local)->sin_addr);
  if (!origem.empty() && inet_pton(destino.ai_family, origem.c_str(), endereco) != 1) return -1;
  int s = socket(destino.ai_family, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
  if (s < 0) return -1;
  socklen_t tamanho = destino.ai_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
  if ((!origem.empty() && bind(s, reinterpret_cast<struct sockaddr*>(&local), tamanho) != 0) ||
      connect(s, destino.ai_addr, destino.ai_addrlen) != 0) {
    close(s);
    return -1;
  }
  return s;
}

}  // namespace

bool ClienteVorna::conectar(const std::string& host, int porta, const std::string& origem) {
  fechar();
  // [2001:db8::5], as in a URL, is the address inside the brackets.
  bool entreColchetes = host.size() > 2 && host.front() == '[' && host.back() == ']';
  std::string nome = entreColchetes ? host.substr(1, host.size() - 2) : host;
  struct addrinfo dica;
  std::memset(&dica, 0, sizeof dica);
  dica.ai_family = AF_UNSPEC;
  dica.ai_socktype = SOCK_STREAM;
  dica.ai_protocol = IPPROTO_TCP;
  dica.ai_flags = AI_NUMERICSERV | (entreColchetes ? AI_NUMERICHOST : 0);
  struct addrinfo* destinos = nullptr;
  std::string servico = std::to_string(static_cast<uint16_t>(porta));
  if (nome.empty() || getaddrinfo(nome.c_str(), servico.c_str(), &dica, &destinos) != 0) {
    return false;
  }
  // A name may stand for several addresses: the first that answers.
  for (struct addrinfo* destino = destinos; destino != nullptr && handle < 0;
       destino = destino->ai_next) {
    handle = ligar(*destino, origem);
  }
  freeaddrinfo(destinos);
  if (handle < 0) return false;
  perdida = false;
  int ligado = 1;
  setsockopt(handle, IPPROTO_TCP, TCP_NODELAY, &ligado, sizeof ligado);
  setTempoLimite(30000);
  return true;
}

void ClienteVorna::fechar() {
  if (handle >= 0) close(handle);
  handle = -1;
  perdida = true;
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

void ClienteVorna::interromper() {
  if (handle >= 0) shutdown(handle, SHUT_RDWR);
}

bool ClienteVorna::enviarBytes(const void* dados, size_t n) {
  const char* p = static_cast<const char*>(dados);
  while (n > 0) {
    size_t k = limite == nullptr ? n : std::min(n, limite->pedacoMaximo());
    if (limite != nullptr) aguardarVez(static_cast<int64_t>(k));
    if (enviarTudo(handle, p, k) < 0) {
      perdida = true;
      return false;
    }
    p += k;
    n -= k;
  }
  return true;
}

void ClienteVorna::aguardarVez(int64_t bytes) {
  auto fim = std::chrono::steady_clock::now() + limite->tomar(bytes);
  for (;;) {
    auto falta = fim - std::chrono::steady_clock::now();
    if (falta <= std::chrono::nanoseconds(0)) return;
    auto segundos = std::chrono::duration_cast<std::chrono::seconds>(falta);
    struct timespec espera {};
    espera.tv_sec = segundos.count();
    espera.tv_nsec = static_cast<long>((falta - segundos).count());
    // No event asked for: only a hang-up or an error ends the wait early.
    struct pollfd conexao {};
    conexao.fd = handle;
    int r = ppoll(&conexao, 1, &espera, nullptr);
    if (r > 0 || (r < 0 && errno != EINTR)) return;
  }
}

bool ClienteVorna::receberBytes(void* dados, size_t n) {
  char* p = static_cast<char*>(dados);
  while (n > 0) {
    ssize_t r = receberAte(p, n);
    if (r < 0) return false;
    p += r;
    n -= static_cast<size_t>(r);
  }
  return true;
}

ssize_t ClienteVorna::receberAte(void* dados, size_t n) {
  if (limite != nullptr) n = std::min(n, limite->pedacoMaximo());
  for (;;) {
    ssize_t r = recv(handle, dados, n, 0);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) {
      perdida = true;
      return -1;
    }
    // Taken once they are here: how many would come is not known before.
    if (limite != nullptr) aguardarVez(r);
    return r;
  }
}

void ClienteVorna::acrescentarComando(std::string* saida, int codigo, const MemoryStream& pedido) {
  int32_t rede[2] = {Stream::convertToBigEndian(codigo),
                     Stream::convertToBigEndian(pedido.getSize())};
  saida->append(reinterpret_cast<const char*>(rede), sizeof rede);
  saida->append(reinterpret_cast<const char*>(pedido.getBuffer()),
                static_cast<size_t>(pedido.getSize()));
}

MemoryStream ClienteVorna::pedidoDeCaminho(const std::string& caminho) {
  MemoryStream pedido;
  pedido.addString(caminho);
  return pedido;
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
  // Grown as the bytes arrive: an announced length alone takes no memory.
  while (mensagem->getSize() < tamanho) {
    int parte = std::min(tamanho - mensagem->getSize(), std::max(mensagem->getSize(), 1 << 16));
    unsigned char* area = mensagem->acrescentarEspaco(parte);
    if (!receberBytes(area, static_cast<size_t>(parte))) return false;
  }
  return true;
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
  return consultar(codigo, textos, &resposta) && lerListagem(&resposta, registros);
}

bool ClienteVorna::lerListagem(MemoryStream* resposta, TListaInfoObjectLinux* registros) {
  registros->clear();
  try {
    int quantidade = resposta->readIntFromMemoryStream();
    if (quantidade < 0) return false;
    for (int i = 0; i < quantidade; ++i) {
      InfoObjectLinux registro;
      registro.loadFromMemoryStream(resposta);
      registros->push_back(std::move(registro));
    }
  } catch (const std::out_of_range&) {
    return false;
  }
  return resposta->getPosicao() == resposta->getSize();
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
  auto receber = [this, conteudo](size_t n) {
    size_t antes = conteudo->size();
    conteudo->resize(antes + n);
    return receberBytes(&(*conteudo)[antes], n);
  };
  TFimPedacos fim = lerPedacos(
      tamanho, [this](int* contagem) { return lerInt(contagem); }, receber);
  return fim == PEDACOS_INTEIROS || fim == PEDACOS_A_MAIS;
}

ClienteVorna::TFimPedacos ClienteVorna::lerPedacos(int64_t tamanho,
                                                   const std::function<bool(int*)>& lerContagem,
                                                   const std::function<bool(size_t)>& receber) {
  int64_t recebidos = 0;
  while (recebidos < tamanho) {
    int contagem;
    if (!lerContagem(&contagem)) return PEDACOS_PERDIDOS;
    // The agent's transfer ends with this chunk.
    if (contagem <= 0) return contagem < 0 ? PEDACOS_SEM_LEITURA : PEDACOS_CURTOS;
    if (contagem > MAIOR_PEDACO || !receber(static_cast<size_t>(contagem))) {
      return PEDACOS_PERDIDOS;
    }
    recebidos += contagem;
    if (recebidos > tamanho) return PEDACOS_A_MAIS;  // the file grew: the agent stops after it
  }
  return PEDACOS_INTEIROS;
}

MemoryStream ClienteVorna::pedidoDeGravacao(const std::string& caminho, int bloco, int64_t n) {
  MemoryStream pedido;
  pedido.addString(caminho);
  pedido.addInt(bloco);
  pedido.addInt64(n);
  return pedido;
}

bool ClienteVorna::gravar(const std::string& caminho, int bloco, const void* dados, int64_t n) {
  int fim;
  return comando(CMD_AGENTE_LINUX_PUT_FILE) &&
         enviarMensagem(pedidoDeGravacao(caminho, bloco, n)) &&
         enviarBytes(dados, static_cast<size_t>(n)) && lerInt(&fim) && fim == COMMAND_OK;
}

bool ClienteVorna::getTexto(int codigo, std::string* texto) {
  MemoryStream resposta;
  return comando(codigo) && lerMensagem(&resposta) && lerTexto(&resposta, texto);
}

bool ClienteVorna::is32Bits(bool* valor) {
  MemoryStream resposta;
  return comando(CMD_AGENTE_LINUX_CHECK_IS_APP_32_BITS) && lerMensagem(&resposta) &&
         lerFlag(resposta, valor);
}

bool ClienteVorna::perguntarFlag(int codigo, const std::string& caminho, bool* valor) {
  MemoryStream resposta;
  return consultar(codigo, {caminho}, &resposta) && lerFlag(resposta, valor);
}

bool ClienteVorna::perguntarTamanho(int codigo, const std::string& caminho, int64_t* valor) {
  MemoryStream resposta;
  if (!consultar(codigo, {caminho}, &resposta) || resposta.getSize() != 8) return false;
  *valor = resposta.readInt64FromMemoryStream();
  return true;
}

bool ClienteVorna::getRegistro(const std::string& caminho, InfoObjectLinux* registro) {
  MemoryStream resposta;
  return consultar(CMD_AGENTE_LINUX_GET_FILE_INFO, {caminho}, &resposta) &&
         lerRegistro(&resposta, registro);
}

bool ClienteVorna::lerRegistro(MemoryStream* resposta, InfoObjectLinux* registro) {
  try {
    registro->loadFromMemoryStream(resposta);
  } catch (const std::out_of_range&) {
    return false;
  }
  return true;
}

bool ClienteVorna::lerFlag(const MemoryStream& resposta, bool* valor) {
  if (resposta.getSize() != 1) return false;
  *valor = resposta.getBuffer()[0] != 0;
  return true;
}

bool ClienteVorna::lerTexto(MemoryStream* resposta, std::string* texto) {
  try {
    *texto = resposta->readStringFromMemoryStream();
  } catch (const std::out_of_range&) {
    return false;
  }
  return true;
}

bool ClienteVorna::definirData(const std::string& caminho, const std::string& data) {
  MemoryStream pedido;
  InfoObjectLinux(caminho, ARQUIVO, 0, data).writeToMemoryStream(&pedido);
  int fim;
  return comando(CMD_AGENTE_LINUX_SET_DATE_MODIFICATION_SERVER) && enviarMensagem(pedido) &&
         lerInt(&fim) && fim == COMMAND_OK;
}

int ClienteVorna::criarPasta(const std::string& caminho, std::string* erro) {
  MemoryStream pedido;
  pedido.addString(caminho);
  int resultado;
  if (!comando(CMD_AGENTE_LINUX_CREATE_DIR_SERVER_LINUX) || !enviarMensagem(pedido) ||
      !lerInt(&resultado)) {
    return ERRO_CONEXAO;
  }
  if (resultado == COMMAND_OK) return COMMAND_OK;
  MemoryStream motivo;
  if (resultado != COMMAND_ERRO || !lerMensagem(&motivo) || !lerTexto(&motivo, erro)) {
    return ERRO_CONEXAO;
  }
  return COMMAND_ERRO;
}
