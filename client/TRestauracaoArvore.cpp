#include "TRestauracaoArvore.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <numeric>
#include <unordered_map>

#include "ClienteVorna.h"
#include "MemoryStream.h"
#include "TCPCliente.h"
#include "TCaminhoLocal.h"
#include "TCanal.h"
#include "TDataTexto.h"
#include "TDatasPastas.h"
#include "TDescritor.h"
#include "TGravacaoConferida.h"
#include "TProgresso.h"
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

bool lerRegistro(TCanal* canal, InfoObjectLinux* registro) {
  MemoryStream resposta;
  return canal->lerRespostaMensagem(&resposta) && ClienteVorna::lerRegistro(&resposta, registro);
}

bool lerDoisOk(TCanal* canal) { return canal->lerDoisOk(); }

}  // namespace

// One file's store, shared by the handlers of its requests.
struct TRestauracaoArvore::TEstadoGravacao {
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

TRestauracaoArvore::TRestauracaoArvore(TCopiaArvore* copia, const std::string& local,
                                       const std::string& remoto)
    : copia(copia),
      remoto(remoto),
      lista(copia, local, remoto),
      pastas(lista.pastas),
      arquivos(lista.arquivos) {}

void TRestauracaoArvore::listarLocal() { lista.listar(); }

TRestauracaoArvore::~TRestauracaoArvore() {}

bool TRestauracaoArvore::copiar() {
  // Files below a refused folder fail whatever the listing shows there.
  bool ok = criarPastasRemotas();
  if (ok) descartarRecusados();
  ok = ok && deixarIguais();
  TCopiaArvore::TTrabalho trabalho = copia->iniciarTrabalho(&arquivos);
  int64_t total = std::accumulate(trabalho.tamanhos.begin(), trabalho.tamanhos.end(), int64_t{0});
  copia->iniciarProgresso("restore", total, static_cast<int64_t>(arquivos.size()));
  if (!ok) return false;
  std::vector<TLoteRestauracao> lotes(copia->quantosCanais());
  ok = copia->executarTodos([&](size_t i) -> TCanal::TProdutor {
    TLoteRestauracao* lote = &lotes[i];
    return [&, lote](TCanal* c) { return produzirRestauracao(c, trabalho, lote); };
  });
  // Last, once no file is made in them any more.
  return ok && darDatasRemotas();
}

bool TRestauracaoArvore::deixarIguais() {
  // One listing of the agent's side first: a re-run, or one after an
  // interrupted restore, stores only what is missing or differs there.
  TListaInfoObjectLinux registros;
  if (!copia->canal(0)->getCliente()->listar(CMD_AGENTE_LINUX_LIST_ALL_FILES, remoto, &registros)) {
    return false;
  }
  std::unordered_map<std::string, const InfoObjectLinux*> noAgente;
  for (const InfoObjectLinux& registro : registros) {
    if (registro.getTipo() == ARQUIVO) noAgente[registro.getNome()] = &registro;
  }
  // Size and modification second are all a record tells: a file changed
  // within the same second and size looks unchanged.
  auto igual = [&noAgente](const TArquivo& arquivo) {
    auto achado = noAgente.find(arquivo.destino);
    time_t quando;
    return achado != noAgente.end() && achado->second->getTamanho() == arquivo.tamanho &&
           TDataTexto::lerRegistro(achado->second->getDataUltimaModificacao(), &quando) &&
           quando == arquivo.modificacao;
  };
  size_t antes = arquivos.size();
  arquivos.erase(std::remove_if(arquivos.begin(), arquivos.end(), igual), arquivos.end());
  copia->contarInalterados(static_cast<int64_t>(antes - arquivos.size()));
  return true;
}

bool TRestauracaoArvore::criarPastasRemotas() {
  // One connection; a folder is asked for only once its parent is known to
  // be a real folder, never through a link.
  bool pedido = false;
  return copia->canal(0)->executar([&](TCanal* c) {
    if (pedido) return false;
    pedido = true;
    pedirPastaRemota(c, 0);
    return true;
  });
}

void TRestauracaoArvore::pedirPastaRemota(TCanal* canal, size_t indice) {
  std::string caminho = TCaminhoLocal::juntar(remoto, pastas[indice].relativo);
  TCanal::TTratador tratar = [this, indice](TCanal* c) { return tratarPastaRemota(c, indice); };
  MemoryStream pedido = ClienteVorna::pedidoDeCaminho(caminho);
  if (indice == 0) {  // the root, from the producer
    canal->pedir(CMD_AGENTE_LINUX_CREATE_DIR_SERVER_LINUX, pedido, 0, tratar);
  } else {  // once its parent's reply has been read
    canal->pedirDepois(CMD_AGENTE_LINUX_CREATE_DIR_SERVER_LINUX, pedido, 0, tratar);
  }
}

bool TRestauracaoArvore::tratarPastaRemota(TCanal* canal, size_t indice) {
  int ok, resultado;
  if (!canal->lerInt(&ok) || ok != COMMAND_OK || !canal->lerInt(&resultado)) return false;
  if (resultado == COMMAND_OK) {  // made just now: a real folder
    confirmarPastaRemota(canal, indice);
    return true;
  }
  MemoryStream mensagem;
  std::string motivo;
  if (resultado != COMMAND_ERRO || !canal->lerMensagem(&mensagem) ||
      !ClienteVorna::lerTexto(&mensagem, &motivo)) {
    return false;
  }
  // Refused: fine when a real folder is already there. Code 7 says false
  // for a link, which the agent's stores would follow out of the target.
  std::string pasta = TCaminhoLocal::juntar(remoto, pastas[indice].relativo);
  canal->pedirDepois(
      CMD_AGENTE_LINUX_IS_DIR, ClienteVorna::pedidoDeCaminho(pasta), 0,
      [this, indice, motivo](TCanal* c) { return conferirPastaExistente(c, indice, motivo); });
  return true;
}

bool TRestauracaoArvore::conferirPastaExistente(TCanal* canal, size_t indice,
                                                const std::string& motivo) {
  MemoryStream resposta;
  bool existe;
  if (!canal->lerRespostaMensagem(&resposta) || !ClienteVorna::lerFlag(resposta, &existe)) {
    return false;
  }
  if (existe) {
    confirmarPastaRemota(canal, indice);
  } else {
    copia->falhar(TCaminhoLocal::juntar(remoto, pastas[indice].relativo),
                  motivo + ", and it is not a real folder: nothing is restored below it");
  }
  return true;
}

void TRestauracaoArvore::confirmarPastaRemota(TCanal* canal, size_t indice) {
  pastas[indice].pronta = true;
  copia->contar(0, 0, 1);
  for (size_t i = pastas[indice].filhas; i < pastas[indice].fimFilhas; ++i) {
    pedirPastaRemota(canal, i);
  }
}

void TRestauracaoArvore::descartarRecusados() {
  auto recusado = [this](const TArquivo& a) {
    return !pastas[static_cast<size_t>(a.pasta)].pronta;
  };
  for (const TArquivo& arquivo : arquivos) {
    if (!recusado(arquivo)) continue;
    copia->contarFalha();
    if (copia->getVerboso()) {
      copia->avisar(arquivo.origem + ": not restored, its folder on the agent was refused");
    }
  }
  arquivos.erase(std::remove_if(arquivos.begin(), arquivos.end(), recusado), arquivos.end());
}

bool TRestauracaoArvore::darDatasRemotas() {
  TDatasPastas datas;
  for (const TPasta& pasta : pastas) {
    if (pasta.pronta) datas.acrescentar(pasta.relativo, pasta.quando);
  }
  return datas.aplicarNoAgente(copia->canal(0), remoto,
                               [this](const std::string& caminho, const std::string& motivo) {
                                 copia->avisar(caminho + ": " + motivo);
                               });
}

bool TRestauracaoArvore::produzirRestauracao(TCanal* canal, const TCopiaArvore::TTrabalho& trabalho,
                                             TLoteRestauracao* lote) {
  if (lote->lote.proximo == lote->lote.fim) {
    if (!copia->tomarLote(trabalho, &lote->lote)) return false;
    pedirRegistros(canal, lote);
    return true;
  }
  if (!aguardarRegistros(canal, lote)) return false;
  enviarCorrida(canal, lote);
  return true;
}

void TRestauracaoArvore::enviarCorrida(TCanal* canal, TLoteRestauracao* lote) {
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
    if (copia->getUmaGravacaoPorVez()) canal->aguardarRespostas();
  }
  for (const auto& estado : corrida) {
    if (estado->cortado) continue;
    canal->pedir(CMD_AGENTE_LINUX_GET_FILE_INFO,
                 ClienteVorna::pedidoDeCaminho(estado->arquivo.destino), 0,
                 [this, estado](TCanal* c) { return conferirGravacao(c, estado); });
  }
}

void TRestauracaoArvore::pedirRegistros(TCanal* canal, TLoteRestauracao* lote) {
  lote->primeiro = lote->lote.proximo;
  size_t n = lote->lote.fim - lote->primeiro;
  {
    std::lock_guard<std::mutex> guarda(trava);
    lote->antes.assign(n, InfoObjectLinux());
    lote->chegados = 0;
  }
  lote->inicio = time(nullptr);
  for (size_t k = 0; k < n; ++k) {
    canal->pedir(CMD_AGENTE_LINUX_GET_FILE_INFO,
                 ClienteVorna::pedidoDeCaminho(arquivos[lote->primeiro + k].destino), 0,
                 [this, lote, k](TCanal* c) { return guardarRegistro(c, lote, k); });
  }
}

bool TRestauracaoArvore::guardarRegistro(TCanal* canal, TLoteRestauracao* lote, size_t k) {
  InfoObjectLinux registro;
  if (!lerRegistro(canal, &registro)) return false;
  {
    std::lock_guard<std::mutex> guarda(trava);
    lote->antes[k] = std::move(registro);
    ++lote->chegados;
  }
  registrosChegaram.notify_all();
  return true;
}

bool TRestauracaoArvore::aguardarRegistros(TCanal* canal, TLoteRestauracao* lote) {
  std::unique_lock<std::mutex> guarda(trava);
  while (lote->chegados < lote->antes.size()) {
    guarda.unlock();
    // What is queued must reach the agent before this connection waits.
    if (!canal->despachar() || canal->perdida() || TCanal::interrompido()) return false;
    guarda.lock();
    registrosChegaram.wait_for(guarda, std::chrono::milliseconds(100),
                               [lote] { return lote->chegados >= lote->antes.size(); });
  }
  return true;
}

std::shared_ptr<TRestauracaoArvore::TEstadoGravacao> TRestauracaoArvore::prepararArquivo(
    const TArquivo& arquivo, const InfoObjectLinux& antes, time_t inicio) {
  auto estado = std::make_shared<TEstadoGravacao>();
  estado->arquivo = arquivo;
  if (!abrirOrigem(estado.get(), &estado->dados)) return nullptr;
  estado->gravacao = TGravacaoConferida(arquivo.destino, estado->tamanho, inicio);
  estado->sentinela = estado->gravacao.guardarAntes(antes);
  return estado;
}

bool TRestauracaoArvore::abrirOrigem(TEstadoGravacao* estado, std::vector<char>* dados) {
  const std::string& origem = estado->arquivo.origem;
  estado->fd = TDescritor(open(origem.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  struct stat st {};
  if (!estado->fd.valido() || fstat(estado->fd.get(), &st) != 0) {
    copia->falhar(origem, textoDoErro(errno));
    return false;
  }
  if (!S_ISREG(st.st_mode)) {
    copia->falhar(origem, "no longer a regular file");
    return false;
  }
  estado->tamanho = st.st_size;
  estado->modificacao = st.st_mtim;
  return st.st_size > LIMITE_EM_MEMORIA || lerInteiro(estado, dados);
}

bool TRestauracaoArvore::lerInteiro(TEstadoGravacao* estado, std::vector<char>* dados) {
  // One byte more than the size: a file that grew shows it.
  dados->resize(static_cast<size_t>(estado->tamanho) + 1);
  size_t lidos = 0;
  while (lidos < dados->size()) {
    ssize_t r = read(estado->fd.get(), dados->data() + lidos, dados->size() - lidos);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) {
      copia->falhar(estado->arquivo.origem, "local read failed: " + textoDoErro(errno));
      return false;
    }
    if (r == 0) break;
    lidos += static_cast<size_t>(r);
  }
  if (lidos != static_cast<size_t>(estado->tamanho) || !mesmoArquivo(estado)) {
    copia->falhar(estado->arquivo.origem, "the local file changed while it was read");
    return false;
  }
  estado->fd.fechar();
  return true;
}

void TRestauracaoArvore::pedirGravacao(TCanal* canal,
                                       const std::shared_ptr<TEstadoGravacao>& estado) {
  const std::vector<char>& dados = estado->dados;
  MemoryStream pedido = estado->gravacao.pedidoGravacao(copia->getBloco());
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

bool TRestauracaoArvore::tratarGravacao(TCanal* canal, TEstadoGravacao* estado) {
  bool ok = lerDoisOk(canal);
  if (estado->cortado) {
    copia->falhar(estado->arquivo.origem, estado->motivo);
    return true;  // the agent has read the end of our stream: nothing follows
  }
  if (ok) copia->getProgresso()->acrescentar(estado->tamanho, 0);
  return ok;
}

bool TRestauracaoArvore::enviarArquivo(TCanal* canal, TEstadoGravacao* estado) {
  switch (TTransferenciaArquivo(canal->getCliente())
              .enviarDeDescritor(estado->fd.get(), estado->tamanho, copia->getBloco(), nullptr,
                                 &estado->motivo)) {
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

bool TRestauracaoArvore::mesmoArquivo(TEstadoGravacao* estado) {
  struct stat st {};
  return fstat(estado->fd.get(), &st) == 0 && st.st_size == estado->tamanho &&
         st.st_mtim.tv_sec == estado->modificacao.tv_sec &&
         st.st_mtim.tv_nsec == estado->modificacao.tv_nsec;
}

bool TRestauracaoArvore::conferirGravacao(TCanal* canal,
                                          const std::shared_ptr<TEstadoGravacao>& estado) {
  InfoObjectLinux depois;
  if (!lerRegistro(canal, &depois)) return false;
  if (estado->mudou) {
    copia->falhar(estado->arquivo.origem, estado->motivo);
    return true;
  }
  std::string motivo;
  if (!estado->gravacao.conferir(depois, &motivo)) {
    copia->falhar(estado->arquivo.origem, motivo);
    return true;
  }
  std::string data;
  if (!TDataTexto::formatarPedido(estado->modificacao.tv_sec, &data)) {
    copia->avisar(estado->arquivo.origem +
                  ": modification time not kept (the agent takes years 1969 to 2068 only)");
    copia->contar(1, estado->tamanho, 0);
    copia->getProgresso()->acrescentar(0, 1);
    return true;
  }
  MemoryStream pedido;
  InfoObjectLinux(estado->arquivo.destino, ARQUIVO, 0, data).writeToMemoryStream(&pedido);
  canal->pedirDepois(CMD_AGENTE_LINUX_SET_DATE_MODIFICATION_SERVER, pedido, 0,
                     [this, estado](TCanal* c) { return concluirArquivo(c, estado.get()); });
  return true;
}

bool TRestauracaoArvore::concluirArquivo(TCanal* canal, TEstadoGravacao* estado) {
  if (!lerDoisOk(canal)) return false;
  copia->contar(1, estado->tamanho, 0);
  copia->getProgresso()->acrescentar(0, 1);
  return true;
}

void TRestauracaoArvore::distinguirAntigo(TCanal* canal,
                                          const std::shared_ptr<TEstadoGravacao>& estado) {
  canal->pedir(CMD_AGENTE_LINUX_SET_DATE_MODIFICATION_SERVER, estado->gravacao.pedidoSentinela(), 0,
               lerDoisOk);
  canal->pedir(CMD_AGENTE_LINUX_GET_FILE_INFO,
               ClienteVorna::pedidoDeCaminho(estado->arquivo.destino), 0, [estado](TCanal* c) {
                 InfoObjectLinux antes;
                 if (!lerRegistro(c, &antes)) return false;
                 estado->gravacao.guardarAntes(antes);
                 return true;
               });
}
