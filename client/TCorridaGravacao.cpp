#include "TCorridaGravacao.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>

#include "ClienteVorna.h"
#include "MemoryStream.h"
#include "TCPCliente.h"
#include "TCanal.h"
#include "TContagemCopia.h"
#include "TDataTexto.h"
#include "TDescritor.h"
#include "TGravacaoConferida.h"
#include "TTransferenciaArquivo.h"
#include "TUtils.h"

namespace {

// Files up to this size are read whole before their store is sent, so that
// one that changes meanwhile is caught before a byte of it is on the wire.
const int64_t LIMITE_EM_MEMORIA = 1 << 20;
// Stores sent back to back at most: enough for the agent to commit them
// together, few enough that an interrupted run leaves few files stored but
// not yet given their time (which a run again must store once more).
// Their data is held in memory until sent: at most about this much a run.
const size_t CORRIDA_ARQUIVOS = 32;
const int64_t CORRIDA_BYTES = 1 << 20;

bool lerDoisOk(TCanal* canal) { return canal->lerDoisOk(); }

}  // namespace

TCorridaGravacao::TCorridaGravacao(TContagemCopia* contagem, std::vector<TArquivo>* arquivos,
                                   int bloco, bool umaPorVez)
    : contagem(contagem), arquivos(*arquivos), bloco(bloco), umaPorVez(umaPorVez) {}

// One file's store, shared by the handlers of its requests.
struct TCorridaGravacao::TEstadoGravacao {
  TArquivo arquivo;
  int64_t tamanho = 0;
  struct timespec modificacao {};
  TGravacaoConferida gravacao;
  bool sentinela = false;   // the old file first gets the sentinel time
  std::vector<char> dados;  // a small file, read whole; emptied once queued
  // Set on the writer thread before the reader can see them: motivo first,
  // then the flag.
  std::string motivo;
  std::atomic<bool> cortado{false};  // the store was cut short: the local file shrank
  std::atomic<bool> mudou{false};    // sent whole, but the local file changed meanwhile
  TDescritor fd;
};

void TCorridaGravacao::enviarCorrida(TCanal* canal, TLoteRestauracao* lote) {
  std::vector<std::shared_ptr<TEstadoGravacao>> corrida;
  int64_t bytes = 0;
  while (lote->lote.proximo < lote->lote.fim && corrida.size() < CORRIDA_ARQUIVOS &&
         bytes < CORRIDA_BYTES) {
    size_t i = lote->lote.proximo;
    auto estado = prepararArquivo(arquivos[i], lote->antes[i - lote->primeiro], lote->inicio);
    // A file sent from its descriptor goes alone: its store may be cut
    // short, which ends this connection, and the rest of the lot goes over
    // the next one.
    bool sozinho = estado && estado->fd.valido();
    if (sozinho && !corrida.empty()) break;  // opened again on the next call
    ++lote->lote.proximo;
    if (!estado) continue;
    corrida.push_back(estado);
    bytes += estado->tamanho;
    if (sozinho) break;
  }
  // Every store of the run back to back, then their checks: the agent finds
  // the next store waiting and commits them together.
  for (const auto& estado : corrida) {
    if (estado->sentinela) distinguirAntigo(canal, estado);
  }
  for (const auto& estado : corrida) {
    pedirGravacao(canal, estado);
    if (umaPorVez) canal->aguardarRespostas();
  }
  for (const auto& estado : corrida) {
    if (estado->cortado) continue;
    canal->pedir(CMD_AGENTE_LINUX_GET_FILE_INFO,
                 ClienteVorna::pedidoDeCaminho(estado->arquivo.destino), 0,
                 [this, estado](TCanal* c) { return conferirGravacao(c, estado); });
  }
}

std::shared_ptr<TCorridaGravacao::TEstadoGravacao> TCorridaGravacao::prepararArquivo(
    const TArquivo& arquivo, const InfoObjectLinux& antes, time_t inicio) {
  auto estado = std::make_shared<TEstadoGravacao>();
  estado->arquivo = arquivo;
  if (!abrirOrigem(estado.get(), &estado->dados)) return nullptr;
  estado->gravacao = TGravacaoConferida(arquivo.destino, estado->tamanho, inicio);
  estado->sentinela = estado->gravacao.guardarAntes(antes);
  return estado;
}

bool TCorridaGravacao::abrirOrigem(TEstadoGravacao* estado, std::vector<char>* dados) {
  const std::string& origem = estado->arquivo.origem;
  estado->fd = TDescritor(open(origem.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  struct stat st {};
  if (!estado->fd.valido() || fstat(estado->fd.get(), &st) != 0) {
    contagem->falhar(origem, textoDoErro(errno));
    return false;
  }
  if (!S_ISREG(st.st_mode)) {
    contagem->falhar(origem, "no longer a regular file");
    return false;
  }
  estado->tamanho = st.st_size;
  estado->modificacao = st.st_mtim;
  return st.st_size > LIMITE_EM_MEMORIA || lerInteiro(estado, dados);
}

bool TCorridaGravacao::lerInteiro(TEstadoGravacao* estado, std::vector<char>* dados) {
  // One byte more than the size: a file that grew shows it.
  dados->resize(static_cast<size_t>(estado->tamanho) + 1);
  size_t lidos = 0;
  while (lidos < dados->size()) {
    ssize_t r = read(estado->fd.get(), dados->data() + lidos, dados->size() - lidos);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) {
      contagem->falhar(estado->arquivo.origem, "local read failed: " + textoDoErro(errno));
      return false;
    }
    if (r == 0) break;
    lidos += static_cast<size_t>(r);
  }
  if (lidos != static_cast<size_t>(estado->tamanho) || !mesmoArquivo(estado)) {
    contagem->falhar(estado->arquivo.origem, "the local file changed while it was read");
    return false;
  }
  estado->fd.fechar();
  return true;
}

void TCorridaGravacao::pedirGravacao(TCanal* canal,
                                     const std::shared_ptr<TEstadoGravacao>& estado) {
  const std::vector<char>& dados = estado->dados;
  MemoryStream pedido = estado->gravacao.pedidoGravacao(bloco);
  TCanal::TTratador gravado = [this, estado](TCanal* c) { return tratarGravacao(c, estado.get()); };
  int64_t peso = std::max<int64_t>(estado->tamanho, 1);
  if (!estado->fd.valido()) {
    canal->pedir(CMD_AGENTE_LINUX_PUT_FILE, pedido, peso, gravado, dados.data(),
                 static_cast<size_t>(estado->tamanho));
    std::vector<char>().swap(estado->dados);  // copied into the channel's output
  } else {
    canal->pedir(CMD_AGENTE_LINUX_PUT_FILE, pedido, peso, gravado, nullptr, 0,
                 [this, estado](TCanal* c) { return enviarArquivo(c, estado.get()); });
  }
}

bool TCorridaGravacao::tratarGravacao(TCanal* canal, TEstadoGravacao* estado) {
  bool ok = lerDoisOk(canal);
  if (estado->cortado) {
    contagem->falhar(estado->arquivo.origem, estado->motivo);
    return true;  // the agent has read the end of our stream: nothing follows
  }
  if (ok) contagem->avancar(estado->tamanho);
  return ok;
}

bool TCorridaGravacao::enviarArquivo(TCanal* canal, TEstadoGravacao* estado) {
  switch (
      TTransferenciaArquivo(canal->getCliente())
          .enviarDeDescritor(estado->fd.get(), estado->tamanho, bloco, nullptr, &estado->motivo)) {
    case TTransferenciaArquivo::DADOS_ENVIADOS:
      break;
    case TTransferenciaArquivo::LEITURA_FALHOU:
      // The agent waits for every announced byte: the connection is cut,
      // and the agent drops the file.
      estado->cortado = true;
      return false;
    case TTransferenciaArquivo::CONEXAO_PERDIDA:
      return false;
  }
  if (!mesmoArquivo(estado)) {
    estado->motivo = "the local file changed while it was sent";
    estado->mudou = true;
  }
  estado->fd.fechar();
  return true;
}

bool TCorridaGravacao::mesmoArquivo(TEstadoGravacao* estado) {
  struct stat st {};
  return fstat(estado->fd.get(), &st) == 0 && st.st_size == estado->tamanho &&
         st.st_mtim.tv_sec == estado->modificacao.tv_sec &&
         st.st_mtim.tv_nsec == estado->modificacao.tv_nsec;
}

bool TCorridaGravacao::conferirGravacao(TCanal* canal,
                                        const std::shared_ptr<TEstadoGravacao>& estado) {
  InfoObjectLinux depois;
  if (!canal->lerRegistro(&depois)) return false;
  if (estado->mudou) {
    contagem->falhar(estado->arquivo.origem, estado->motivo);
    return true;
  }
  std::string motivo;
  if (!estado->gravacao.conferir(depois, &motivo)) {
    contagem->falhar(estado->arquivo.origem, motivo);
    return true;
  }
  std::string data;
  if (!TDataTexto::formatarPedido(estado->modificacao.tv_sec, &data)) {
    contagem->avisar(estado->arquivo.origem +
                     ": modification time not kept (the agent takes years 1969 to 2068 only)");
    contagem->contarArquivo(estado->tamanho);
    return true;
  }
  MemoryStream pedido;
  InfoObjectLinux(estado->arquivo.destino, ARQUIVO, 0, data).writeToMemoryStream(&pedido);
  canal->pedirDepois(CMD_AGENTE_LINUX_SET_DATE_MODIFICATION_SERVER, pedido, 0,
                     [this, estado](TCanal* c) { return concluirArquivo(c, estado.get()); });
  return true;
}

bool TCorridaGravacao::concluirArquivo(TCanal* canal, TEstadoGravacao* estado) {
  if (!lerDoisOk(canal)) return false;
  contagem->contarArquivo(estado->tamanho);
  return true;
}

void TCorridaGravacao::distinguirAntigo(TCanal* canal,
                                        const std::shared_ptr<TEstadoGravacao>& estado) {
  canal->pedir(CMD_AGENTE_LINUX_SET_DATE_MODIFICATION_SERVER, estado->gravacao.pedidoSentinela(), 0,
               lerDoisOk);
  canal->pedir(CMD_AGENTE_LINUX_GET_FILE_INFO,
               ClienteVorna::pedidoDeCaminho(estado->arquivo.destino), 0, [estado](TCanal* c) {
                 InfoObjectLinux antes;
                 if (!c->lerRegistro(&antes)) return false;
                 estado->gravacao.guardarAntes(antes);
                 return true;
               });
}
