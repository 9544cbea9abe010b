#include "TRestauracaoArvore.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <future>
#include <string_view>
#include <unordered_map>

#include "ClienteVorna.h"
#include "MemoryStream.h"
#include "TCPCliente.h"
#include "TCaminhoLocal.h"
#include "TCanais.h"
#include "TCanal.h"
#include "TContagemCopia.h"
#include "TDataTexto.h"
#include "TDatasPastas.h"
#include "TOpcoesCopia.h"
#include "TRelatorioSimulacao.h"
#include "TTrabalho.h"
#include "TUtils.h"

TRestauracaoArvore::TRestauracaoArvore(TCanais* canais, TContagemCopia* contagem,
                                       const TOpcoesCopia& opcoes, const std::string& local,
                                       const std::string& remoto)
    : canais(canais),
      contagem(contagem),
      remoto(remoto),
      simulacao(opcoes.simulacao),
      lista(contagem, local, remoto, opcoes.filtro),
      pastas(lista.pastas),
      arquivos(lista.arquivos),
      corrida(contagem, &lista.arquivos, opcoes.bloco, opcoes.umaGravacaoPorVez) {}

void TRestauracaoArvore::listar() {
  // The agent lists while the local tree is walked. Nothing is made on the
  // agent before both end, so this listing sees what one after the folders
  // are made would (a target not there yet lists empty). Should it fail, it
  // is asked for again then.
  std::future<bool> listagem = std::async(std::launch::async, [this] { return listarAgente(); });
  lista.listar();
  agenteListado = listagem.get();
}

bool TRestauracaoArvore::listarAgente() {
  return canais->canal(0)->getCliente()->listar(CMD_AGENTE_LINUX_LIST_ALL_FILES, remoto, &noAgente);
}

TRestauracaoArvore::~TRestauracaoArvore() {}

bool TRestauracaoArvore::copiar() {
  // Files below a refused folder fail whatever the listing shows there.
  bool ok = criarPastasRemotas();
  if (ok) descartarRecusados();
  int64_t inalterados = 0;
  ok = ok && deixarIguais(&inalterados);
  TTrabalho trabalho(&arquivos);
  contagem->iniciarProgresso("restore", trabalho.getBytes(), static_cast<int64_t>(arquivos.size()));
  // Once the bar is there, so that it shows them.
  contagem->contarInalterados(inalterados);
  if (!ok) return false;
  if (simulacao != nullptr) {
    simularGravacoes();
    return true;
  }
  std::vector<TLoteRestauracao> lotes(canais->quantos());
  ok = canais->executarTodos([&](size_t i) -> TCanal::TProdutor {
    TLoteRestauracao* lote = &lotes[i];
    return [&, lote](TCanal* c) { return produzirRestauracao(c, &trabalho, lote); };
  });
  // Last, once no file is made in them any more.
  return ok && darDatasRemotas();
}

void TRestauracaoArvore::simularGravacoes() {
  for (const TArquivo& arquivo : arquivos) {
    std::string relativo;
    TCaminhoLocal::relativo(remoto, arquivo.destino, &relativo);
    simulacao->relatar(TRelatorioSimulacao::GRAVAR, relativo, arquivo.tamanho);
    contagem->contar(1, arquivo.tamanho, 0);
  }
}

bool TRestauracaoArvore::deixarIguais(int64_t* inalterados) {
  // One listing of the agent's side: a re-run, or one after an interrupted
  // restore, stores only what is missing or differs there.
  if (!agenteListado && !listarAgente()) return false;
  // Needed only here: gone when this returns, after the index into it.
  TListaInfoObjectLinux registros = std::move(noAgente);
  std::unordered_map<std::string_view, const InfoObjectLinux*> porNome(registros.size());
  for (const InfoObjectLinux& registro : registros) {
    if (registro.getTipo() == ARQUIVO) porNome[registro.getNome()] = &registro;
  }
  // Size and modification second are all a record tells: a file changed
  // within the same second and size looks unchanged.
  auto igual = [&porNome](const TArquivo& arquivo) {
    auto achado = porNome.find(arquivo.destino);
    time_t quando;
    return achado != porNome.end() && achado->second->getTamanho() == arquivo.tamanho &&
           TDataTexto::lerRegistro(achado->second->getDataUltimaModificacao(), &quando) &&
           quando == arquivo.modificacao;
  };
  size_t antes = arquivos.size();
  arquivos.erase(std::remove_if(arquivos.begin(), arquivos.end(), igual), arquivos.end());
  *inalterados = static_cast<int64_t>(antes - arquivos.size());
  for (TArquivo& arquivo : arquivos) arquivo.ausente = porNome.count(arquivo.destino) == 0;
  return true;
}

bool TRestauracaoArvore::criarPastasRemotas() {
  // One connection; a folder is asked for only once its parent is known to
  // be a real folder, never through a link.
  bool pedido = false;
  return canais->canal(0)->executar([&](TCanal* c) {
    if (pedido) return false;
    pedido = true;
    pedirPastaRemota(c, 0);
    return true;
  });
}

void TRestauracaoArvore::pedirPastaRemota(TCanal* canal, size_t indice) {
  std::string caminho = TCaminhoLocal::juntar(remoto, pastas[indice].relativo);
  TCanal::TTratador tratar = [this, indice](TCanal* c) { return tratarPastaRemota(c, indice); };
  int codigo = CMD_AGENTE_LINUX_CREATE_DIR_SERVER_LINUX;
  // A dry run makes nothing: it only asks what is there.
  if (simulacao != nullptr) {
    codigo = CMD_AGENTE_LINUX_EXIST_FILE_OR_FOLDER;
    tratar = [this, indice](TCanal* c) { return tratarPastaSimulada(c, indice); };
  }
  MemoryStream pedido = ClienteVorna::pedidoDeCaminho(caminho);
  if (indice == 0) {  // the root, from the producer
    canal->pedir(codigo, pedido, 0, tratar);
  } else {  // once its parent's reply has been read
    canal->pedirDepois(codigo, pedido, 0, tratar);
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
  // Refused: fine when a real folder is already there.
  conferirSeEhPasta(canal, indice, motivo);
  return true;
}

bool TRestauracaoArvore::tratarPastaSimulada(TCanal* canal, size_t indice) {
  MemoryStream resposta;
  bool existe;
  if (!canal->lerRespostaMensagem(&resposta) || !ClienteVorna::lerFlag(resposta, &existe)) {
    return false;
  }
  if (existe) {
    conferirSeEhPasta(canal, indice, textoDoErro(EEXIST));
  } else {
    confirmarPastaRemota(canal, indice);
  }
  return true;
}

void TRestauracaoArvore::conferirSeEhPasta(TCanal* canal, size_t indice,
                                           const std::string& motivo) {
  // Code 7 says false for a link, which the agent's stores would follow out
  // of the target.
  std::string pasta = TCaminhoLocal::juntar(remoto, pastas[indice].relativo);
  canal->pedirDepois(
      CMD_AGENTE_LINUX_IS_DIR, ClienteVorna::pedidoDeCaminho(pasta), 0,
      [this, indice, motivo](TCanal* c) { return conferirPastaExistente(c, indice, motivo); });
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
    contagem->falhar(TCaminhoLocal::juntar(remoto, pastas[indice].relativo),
                     motivo + ", and it is not a real folder: nothing is restored below it");
  }
  return true;
}

void TRestauracaoArvore::confirmarPastaRemota(TCanal* canal, size_t indice) {
  pastas[indice].pronta = true;
  contagem->contar(0, 0, 1);
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
    contagem->contarFalha(arquivo.origem + ": not restored, its folder on the agent was refused");
  }
  arquivos.erase(std::remove_if(arquivos.begin(), arquivos.end(), recusado), arquivos.end());
}

bool TRestauracaoArvore::darDatasRemotas() {
  TDatasPastas datas(contagem);
  for (const TPasta& pasta : pastas) {
    if (pasta.pronta) datas.acrescentar(pasta.relativo, pasta.quando);
  }
  return datas.aplicarNoAgente(canais->canal(0), remoto);
}

bool TRestauracaoArvore::produzirRestauracao(TCanal* canal, TTrabalho* trabalho,
                                             TLoteRestauracao* lote) {
  if (lote->lote.proximo == lote->lote.fim) {
    if (!trabalho->tomarLote(&lote->lote)) return false;
    pedirRegistros(canal, lote);
    return true;
  }
  if (!aguardarRegistros(canal, lote)) return false;
  corrida.enviarCorrida(canal, lote);
  return true;
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
    const TArquivo& arquivo = arquivos[lote->primeiro + k];
    if (arquivo.ausente) {
      // What the agent answers for a path that is not there; a file that
      // is there goes on with its record taken just now.
      guardarRegistro(InfoObjectLinux(arquivo.destino, ARQUIVO, -1, ""), lote, k);
      continue;
    }
    canal->pedir(CMD_AGENTE_LINUX_GET_FILE_INFO, ClienteVorna::pedidoDeCaminho(arquivo.destino), 0,
                 [this, lote, k](TCanal* c) {
                   InfoObjectLinux registro;
                   if (!c->lerRegistro(&registro)) return false;
                   guardarRegistro(std::move(registro), lote, k);
                   return true;
                 });
  }
}

void TRestauracaoArvore::guardarRegistro(InfoObjectLinux registro, TLoteRestauracao* lote,
                                         size_t k) {
  {
    std::lock_guard<std::mutex> guarda(trava);
    lote->antes[k] = std::move(registro);
    ++lote->chegados;
  }
  registrosChegaram.notify_all();
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
