#include "TCanal.h"

#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <cassert>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>
#include <system_error>
#include <thread>

#include "ClienteVorna.h"
#include "MemoryStream.h"
#include "Stream.h"
#include "TArquivoTemporario.h"
#include "TCPCliente.h"
#include "TThreadUnida.h"
#include "TUtils.h"

namespace {

const size_t TAMANHO_ENTRADA = 256 * 1024;
const size_t SAIDA_CHEIA = 64 * 1024;
const int MAIOR_MENSAGEM = 16 * 1024 * 1024;  // replies of this client are far smaller

// The sockets of every live channel, for interromperTodos: lock-free atomics
// are what a signal handler may touch.
const int VAGAS = 128;
std::atomic<int> socketsAtivos[VAGAS];
std::atomic<bool> interrompidoTodos{false};

void registrar(int fd) {
  for (std::atomic<int>& vaga : socketsAtivos) {
    int livre = 0;
    if (vaga.compare_exchange_strong(livre, fd + 1)) return;
  }
}

void desregistrar(int fd) {
  for (std::atomic<int>& vaga : socketsAtivos) {
    int ocupada = fd + 1;
    if (vaga.compare_exchange_strong(ocupada, 0)) return;
  }
}

}  // namespace

TCanal::TCanal(std::unique_ptr<ClienteVorna> inicial, const TConector& conector)
    : conector(conector), entrada(alocarAlinhado(TAMANHO_ENTRADA)) {
  trocarCliente(std::move(inicial));
}

TCanal::~TCanal() { trocarCliente(nullptr); }

void TCanal::trocarCliente(std::unique_ptr<ClienteVorna> novo) {
  if (cliente && cliente->conectado()) desregistrar(cliente->getSocket());
  cliente = std::move(novo);
  if (cliente && cliente->conectado()) {
    registrar(cliente->getSocket());
    // A signal that came before the registration must still stop us.
    if (interrompidoTodos) cliente->interromper();
  }
}

void TCanal::interromperTodos() {
  interrompidoTodos = true;
  for (std::atomic<int>& vaga : socketsAtivos) {
    int fd = vaga.load();
    if (fd > 0) shutdown(fd - 1, SHUT_RDWR);
  }
}

bool TCanal::interrompido() { return interrompidoTodos; }

bool TCanal::executar(const TProdutor& produtor) {
  escritor = std::this_thread::get_id();
  for (;;) {
    if (!cliente || !cliente->conectado() || interrompidoTodos) return false;
    if (!executarUmaVez(produtor) || perdido || interrompidoTodos) return false;
    if (!cortado) return true;
    // The cut store left the agent reading the end of our stream: the
    // rest goes over a new connection.
    trocarCliente(conector ? conector() : nullptr);
  }
}

bool TCanal::executarUmaVez(const TProdutor& produtor) {
  {
    std::lock_guard<std::mutex> guarda(trava);
    escritaTerminada = perdido = cortado = false;
    emVoo.clear();
    pesoEmVoo = 0;
  }
  saida.clear();
  inicioEntrada = fimEntrada = 0;
  try {
    TThreadUnida leitor([this] { lerAteOFim(); });
    escreverAteOFim(produtor);
  } catch (const std::system_error&) {  // no thread for the reader
    return false;
  }
  return true;
}

// The writer's body: whatever the producer or a data sender throws ends
// this connection, never the process.
void TCanal::escreverAteOFim(const TProdutor& produtor) {
  try {
    escrever(produtor);
  } catch (...) {
    {
      std::lock_guard<std::mutex> guarda(trava);
      perdido = escritaTerminada = true;
    }
    mudou.notify_all();
    cliente->interromper();
  }
}

// The reader's body: a handler that throws loses the connection like one
// that finds the reply out of step.
void TCanal::lerAteOFim() {
  leitor = std::this_thread::get_id();
  try {
    ler();
  } catch (...) {
    perder();
  }
}

bool TCanal::temSeguintes() {
  std::lock_guard<std::mutex> guarda(trava);
  return !seguintes.empty();
}

bool TCanal::perdida() {
  std::lock_guard<std::mutex> guarda(trava);
  return perdido;
}

bool TCanal::aguardarRespostas() {
  assert(naEscrita());
  if (!esvaziarSaida()) return false;
  std::unique_lock<std::mutex> guarda(trava);
  mudou.wait(guarda, [this] { return perdido || cortado || emVoo.empty(); });
  return !perdido && !cortado;
}

bool TCanal::haEspaco() const { return emVoo.size() < JANELA && pesoEmVoo < PESO_JANELA; }

bool TCanal::meiaJanela() const {
  return emVoo.size() <= JANELA / 2 && pesoEmVoo <= PESO_JANELA / 2;
}

bool TCanal::esvaziarSaida() {
  assert(naEscrita());
  if (saida.empty()) return true;
  bool ok = cliente->enviarBytes(saida.data(), saida.size());
  saida.clear();
  return ok;
}

void TCanal::perder() {
  {
    std::lock_guard<std::mutex> guarda(trava);
    perdido = true;
  }
  mudou.notify_all();
  cliente->interromper();
}

bool TCanal::aguardarEspaco(std::unique_lock<std::mutex>* guarda) {
  if (!perdido && !cortado && !haEspaco()) {
    // About to wait for replies: what is queued must reach the agent.
    guarda->unlock();
    bool enviado = esvaziarSaida();
    guarda->lock();
    if (!enviado) return false;
    // Refilled only once half the window is free: one wake-up for many
    // replies, not one for each.
    mudou.wait(*guarda, [this] { return perdido || meiaJanela(); });
  }
  return !perdido && !cortado && !interrompidoTodos;
}

bool TCanal::moverSeguintes() {
  bool movidos = false;
  // Follow-ups too only while the window has room: a folder of many
  // sub-folders must not put a request for each in flight at once.
  while (!seguintes.empty() && haEspaco()) {
    saida += seguintes.front().bytes;
    seguintes.front().bytes.clear();
    pesoEmVoo += seguintes.front().peso;
    emVoo.push_back(std::move(seguintes.front()));
    seguintes.pop_front();
    movidos = true;
  }
  return movidos;
}

void TCanal::escrever(const TProdutor& produtor) {
  bool fimProdutor = false;
  for (;;) {
    std::unique_lock<std::mutex> guarda(trava);
    if (!aguardarEspaco(&guarda)) break;
    bool movidos = moverSeguintes(), esperam = !seguintes.empty();
    guarda.unlock();
    if (movidos) mudou.notify_all();
    if (saida.size() >= SAIDA_CHEIA && !esvaziarSaida()) break;
    if (movidos || esperam) continue;
    if (!fimProdutor && produtor(this)) continue;
    fimProdutor = true;
    if (!esvaziarSaida()) break;
    guarda.lock();
    mudou.wait(guarda,
               [this] { return perdido || cortado || !seguintes.empty() || emVoo.empty(); });
    if (perdido || cortado || seguintes.empty()) break;
  }
  terminarEscrita();
}

void TCanal::terminarEscrita() {
  std::unique_lock<std::mutex> guarda(trava);
  if (cortado) {
    cliente->encerrarEnvio();
  } else if (!perdido) {
    guarda.unlock();
    bool enviado = esvaziarSaida();
    guarda.lock();
    if (!enviado) perdido = true;
  }
  if (cliente->conexaoPerdida()) perdido = true;
  escritaTerminada = true;
  bool perdeu = perdido;
  guarda.unlock();
  mudou.notify_all();
  if (perdeu) cliente->interromper();
}

void TCanal::pedir(int codigo, const MemoryStream& pedido, int64_t peso, TTratador tratador,
                   const void* corpo, size_t n, TEnvio dados) {
  assert(naEscrita());
  ClienteVorna::acrescentarComando(&saida, codigo, pedido);
  if (n > 0) saida.append(static_cast<const char*>(corpo), n);
  {
    std::lock_guard<std::mutex> guarda(trava);
    TPedido item;
    item.peso = peso;
    item.tratador = std::move(tratador);
    pesoEmVoo += peso;
    emVoo.push_back(std::move(item));
  }
  mudou.notify_all();
  if (!dados) return;
  bool enviado = esvaziarSaida() && dados(this);
  if (enviado) return;
  std::lock_guard<std::mutex> guarda(trava);
  if (cliente->conexaoPerdida()) {
    perdido = true;
  } else {
    cortado = true;
  }
}

void TCanal::pedirDepois(int codigo, const MemoryStream& pedido, int64_t peso, TTratador tratador) {
  assert(naLeitura());
  TPedido item;
  ClienteVorna::acrescentarComando(&item.bytes, codigo, pedido);
  item.peso = peso;
  item.tratador = std::move(tratador);
  {
    std::lock_guard<std::mutex> guarda(trava);
    seguintes.push_back(std::move(item));
  }
  mudou.notify_all();
}

void TCanal::consumido(int64_t n) {
  assert(naLeitura());
  {
    std::lock_guard<std::mutex> guarda(trava);
    if (emVoo.empty()) return;
    n = std::min(n, emVoo.front().peso);
    emVoo.front().peso -= n;
    pesoEmVoo -= n;
  }
  mudou.notify_all();
}

void TCanal::ler() {
  for (;;) {
    TTratador tratador;
    {
      std::unique_lock<std::mutex> guarda(trava);
      mudou.wait(guarda, [this] { return perdido || !emVoo.empty() || escritaTerminada; });
      if (perdido || emVoo.empty()) return;
      tratador = std::move(emVoo.front().tratador);
    }
    bool ok = tratador(this);
    {
      std::lock_guard<std::mutex> guarda(trava);
      pesoEmVoo -= emVoo.front().peso;
      emVoo.pop_front();
    }
    mudou.notify_all();
    if (!ok) {
      perder();
      return;
    }
  }
}

bool TCanal::encherEntrada() {
  ssize_t r = cliente->receberAte(entrada.get(), TAMANHO_ENTRADA);
  if (r < 0) return false;
  inicioEntrada = 0;
  fimEntrada = static_cast<size_t>(r);
  return true;
}

bool TCanal::lerBytes(void* dados, size_t n) {
  assert(naLeitura());
  unsigned char* p = static_cast<unsigned char*>(dados);
  while (n > 0) {
    if (inicioEntrada == fimEntrada) {
      // A large part goes straight to its place, without the extra copy.
      if (n >= TAMANHO_ENTRADA) return cliente->receberBytes(p, n);
      if (!encherEntrada()) return false;
    }
    size_t k = std::min(n, fimEntrada - inicioEntrada);
    std::memcpy(p, entrada.get() + inicioEntrada, k);
    inicioEntrada += k;
    p += k;
    n -= k;
  }
  return true;
}

bool TCanal::lerInt(int* valor) {
  unsigned char bytes[4];
  if (!lerBytes(bytes, sizeof bytes)) return false;
  *valor = Stream::ConvertToInt32(bytes);
  return true;
}

bool TCanal::lerMensagem(MemoryStream* mensagem) {
  int tamanho;
  if (!lerInt(&tamanho) || tamanho < 0 || tamanho > MAIOR_MENSAGEM) return false;
  mensagem->clearAll();
  return tamanho == 0 ||
         lerBytes(mensagem->acrescentarEspaco(tamanho), static_cast<size_t>(tamanho));
}

bool TCanal::lerRespostaMensagem(MemoryStream* resposta) {
  int ok;
  return lerInt(&ok) && ok == COMMAND_OK && lerMensagem(resposta);
}

bool TCanal::lerRegistro(InfoObjectLinux* registro) {
  MemoryStream resposta;
  return lerRespostaMensagem(&resposta) && ClienteVorna::lerRegistro(&resposta, registro);
}

bool TCanal::lerDoisOk() {
  int ok, fim;
  return lerInt(&ok) && ok == COMMAND_OK && lerInt(&fim) && fim == COMMAND_OK;
}

bool TCanal::copiarPara(TArquivoTemporario* destino, size_t n, int* erroLocal) {
  assert(naLeitura());
  while (n > 0) {
    if (inicioEntrada == fimEntrada && !encherEntrada()) return false;
    size_t k = std::min(n, fimEntrada - inicioEntrada);
    if (destino != nullptr && *erroLocal == 0 &&
        !destino->escrever(reinterpret_cast<const char*>(entrada.get()) + inicioEntrada, k)) {
      *erroLocal = errno;
    }
    inicioEntrada += k;
    n -= k;
  }
  return true;
}
