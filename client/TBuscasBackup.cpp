#include "TBuscasBackup.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "ClienteVorna.h"
#include "MemoryStream.h"
#include "TBuscaConferida.h"
#include "TCPCliente.h"
#include "TCaminhoLocal.h"
#include "TCanal.h"
#include "TContagemCopia.h"
#include "TDataTexto.h"
#include "TUtils.h"

namespace {

// Fetches of a file that keeps changing under them before it is reported.
constexpr int BUSCAS_POR_ARQUIVO = 3;

}  // namespace

TBuscasBackup::TLeitor::~TLeitor() {
  if (pastaFd >= 0) close(pastaFd);
}

TBuscasBackup::TBuscasBackup(TContagemCopia* contagem, int raiz, int bloco)
    : contagem(contagem), raiz(raiz), bloco(bloco) {}

void TBuscasBackup::pedirArquivo(TCanal* canal, const TArquivoBackup* arquivo,
                                 const std::string* pasta, TLeitor* leitor) {
  auto busca = std::make_shared<TBuscaConferida>(arquivo->tamanho, arquivo->data, arquivo->temData,
                                                 arquivo->quando);
  pedirArquivo(canal, TPedidoBusca{arquivo, pasta, leitor, busca, 1});
}

void TBuscasBackup::pedirArquivo(TCanal* canal, const TPedidoBusca& pedido) {
  MemoryStream mensagem;
  mensagem.addString(pedido.arquivo->remoto);
  mensagem.addInt(bloco);
  TCanal::TTratador buscar = [this, pedido](TCanal* c) { return buscarArquivo(c, pedido); };
  // Taken once the agent has sent the file: whether it changed meanwhile.
  TCanal::TTratador conferir = [this, pedido](TCanal* c) { return conferirBusca(c, pedido); };
  MemoryStream registro = ClienteVorna::pedidoDeCaminho(pedido.arquivo->remoto);
  int64_t peso = std::max<int64_t>(pedido.arquivo->tamanho, 1);
  if (pedido.buscas > 1) {  // from a reply's handler
    canal->pedirDepois(CMD_AGENTE_LINUX_GET_FILE, mensagem, peso, buscar);
    canal->pedirDepois(CMD_AGENTE_LINUX_GET_FILE_INFO, registro, 0, conferir);
  } else {
    canal->pedir(CMD_AGENTE_LINUX_GET_FILE, mensagem, peso, buscar);
    canal->pedir(CMD_AGENTE_LINUX_GET_FILE_INFO, registro, 0, conferir);
  }
}

bool TBuscasBackup::buscarArquivo(TCanal* canal, const TPedidoBusca& pedido) {
  MemoryStream resposta;
  if (!canal->lerRespostaMensagem(&resposta) || resposta.getSize() != 8) return false;
  int64_t tamanho = resposta.readInt64FromMemoryStream();
  TBuscaConferida* busca = pedido.busca.get();
  busca->anunciar(tamanho);
  if (tamanho < 0) return true;
  abrirPastaDoLeitor(pedido);
  if (pedido.leitor->pastaFd < 0) {
    busca->motivo = textoDoErro(pedido.leitor->erroPasta);
  } else if (!busca->criar(pedido.leitor->pastaFd, pedido.arquivo->nome)) {
    busca->motivo = textoDoErro(errno);
  }
  return receberPedacos(canal, tamanho, busca);
}

void TBuscasBackup::abrirPastaDoLeitor(const TPedidoBusca& pedido) {
  TLeitor* leitor = pedido.leitor;
  if (leitor->pasta == pedido.arquivo->pasta) return;
  if (leitor->pastaFd >= 0) close(leitor->pastaFd);
  leitor->pasta = pedido.arquivo->pasta;
  leitor->pastaFd = TCaminhoLocal::abrirPasta(raiz, *pedido.pasta);
  leitor->erroPasta = errno;
}

bool TBuscasBackup::receberPedacos(TCanal* canal, int64_t tamanho, TBuscaConferida* busca) {
  int erroLocal = 0;
  auto receber = [&](size_t n) {
    TArquivoTemporario* destino = busca->motivo.empty() ? busca->getCopia() : nullptr;
    if (!canal->copiarPara(destino, n, &erroLocal)) return false;
    canal->consumido(static_cast<int64_t>(n));
    contagem->avancar(static_cast<int64_t>(n));
    return true;
  };
  ClienteVorna::TFimPedacos fim = ClienteVorna::lerPedacos(
      tamanho, [canal](int* contagem) { return canal->lerInt(contagem); }, receber);
  if (fim == ClienteVorna::PEDACOS_PERDIDOS) return false;
  if (fim == ClienteVorna::PEDACOS_SEM_LEITURA || fim == ClienteVorna::PEDACOS_CURTOS) {
    busca->marcarLeituraFalha();
  }
  if (fim == ClienteVorna::PEDACOS_A_MAIS) busca->marcarExcesso();
  if (busca->motivo.empty() && erroLocal != 0) {
    busca->motivo = "local write failed: " + textoDoErro(erroLocal);
  }
  return true;
}

bool TBuscasBackup::conferirBusca(TCanal* canal, const TPedidoBusca& pedido) {
  InfoObjectLinux depois;
  if (!canal->lerRegistro(&depois)) return false;
  TBuscaConferida* busca = pedido.busca.get();
  TBuscaConferida::TVeredito veredito = busca->julgar(depois);
  std::string motivo = busca->motivo;
  if (motivo.empty() && veredito == TBuscaConferida::INTEIRA && busca->concluir(&motivo)) {
    contagem->contarArquivo(busca->getTamanho());
    return true;
  }
  if (motivo.empty() && veredito == TBuscaConferida::SUMIU) {
    motivo = "not found or not readable on the agent";
  } else if (motivo.empty() && veredito == TBuscaConferida::NAO_LIDA) {
    motivo = "the agent could not read the file";
  } else if (motivo.empty()) {
    std::string como = veredito == TBuscaConferida::ENCOLHEU
                           ? "changed during the copy: shrank while it was read"
                           : "changed during the copy";
    // A record taken while a write is under way may show its new time with
    // its old size; the next fetch then sees the size change too.
    if (pedido.buscas < BUSCAS_POR_ARQUIVO) return buscarDeNovo(canal, pedido, depois, como);
    motivo = como + ", again";
  }
  contagem->falhar(pedido.arquivo->remoto, motivo);
  return true;
}

bool TBuscasBackup::buscarDeNovo(TCanal* canal, const TPedidoBusca& pedido,
                                 const InfoObjectLinux& depois, const std::string& como) {
  contagem->avisar(pedido.arquivo->remoto + ": " + como + "; fetching it once more");
  // Measured against the record after the first fetch.
  time_t quando = 0;
  bool temData = TDataTexto::lerRegistro(depois.getDataUltimaModificacao(), &quando);
  auto busca = std::make_shared<TBuscaConferida>(
      depois.getTamanho(), depois.getDataUltimaModificacao(), temData, quando);
  contagem->aumentarTotal(std::max<int64_t>(depois.getTamanho(), 0), 0);
  pedirArquivo(canal,
               TPedidoBusca{pedido.arquivo, pedido.pasta, pedido.leitor, busca, pedido.buscas + 1});
  return true;
}
