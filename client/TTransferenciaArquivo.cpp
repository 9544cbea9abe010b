#include "TTransferenciaArquivo.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>

#include "ClienteVorna.h"
#include "TArquivoTemporario.h"
#include "TCPCliente.h"
#include "TDataTexto.h"
#include "TGravacaoConferida.h"
#include "TUtils.h"

namespace {

// What a fetch's end means to its caller; empty when it came whole.
std::string textoDoFim(ClienteVorna::TFimPedacos fim, int erroLocal) {
  switch (fim) {
    case ClienteVorna::PEDACOS_PERDIDOS:
      return "connection to the agent lost";
    case ClienteVorna::PEDACOS_SEM_LEITURA:
      return "the agent could not read the file";
    case ClienteVorna::PEDACOS_CURTOS:
      return "the file shrank while it was read";
    default:
      return erroLocal == 0 ? "" : "local write failed: " + textoDoErro(erroLocal);
  }
}

}  // namespace

bool TTransferenciaArquivo::buscarParaDescritor(const std::string& caminho, int bloco, int fd,
                                                int64_t* tamanho, const TProgressoBytes& progresso,
                                                std::string* erro) {
  auto escrever = [fd](const char* dados, size_t n) { return escreverTudo(fd, dados, n) >= 0; };
  return buscar(caminho, bloco, escrever, tamanho, progresso, erro);
}

bool TTransferenciaArquivo::buscar(const std::string& caminho, int bloco, const TEscrita& escrever,
                                   int64_t* tamanho, const TProgressoBytes& progresso,
                                   std::string* erro) {
  *tamanho = cliente->iniciarBusca(caminho, bloco);
  if (*tamanho < 0) {
    *erro = *tamanho == ClienteVorna::ERRO_CONEXAO ? "connection to the agent lost"
                                                   : "not found or not readable on the agent";
    return false;
  }
  TAreaAlinhada dados(nullptr, std::free);
  size_t capacidade = 0;
  int64_t recebidos = 0;
  int erroLocal = 0;
  auto receber = [&](size_t n) {
    if (n > capacidade) dados = alocarAlinhado(capacidade = n);
    if (!cliente->receberBytes(dados.get(), n)) return false;
    if (erroLocal == 0 && !escrever(reinterpret_cast<const char*>(dados.get()), n)) {
      erroLocal = errno;
    }
    recebidos += static_cast<int64_t>(n);
    if (progresso) progresso(recebidos);
    return true;
  };
  ClienteVorna::TFimPedacos fim = ClienteVorna::lerPedacos(
      *tamanho, [this](int* contagem) { return cliente->lerInt(contagem); }, receber);
  *erro = textoDoFim(fim, erroLocal);
  if (fim == ClienteVorna::PEDACOS_PERDIDOS && !cliente->conexaoPerdida())
    *erro = "implausible chunk from the agent";
  // Out of step, or a copy that failed: this connection is of no more use.
  if ((fim == ClienteVorna::PEDACOS_PERDIDOS || erroLocal != 0)) cliente->fechar();
  return erro->empty();
}

TTransferenciaArquivo::TEnvioDados TTransferenciaArquivo::enviarDeDescritor(
    int fd, int64_t n, int bloco, const TProgressoBytes& progresso, std::string* erro) {
  size_t capacidade = static_cast<size_t>(std::min<int64_t>(std::max(bloco, 65536), 16 << 20));
  TAreaAlinhada dados = alocarAlinhado(capacidade);
  int64_t enviados = 0;
  while (enviados < n) {
    size_t pedir = static_cast<size_t>(std::min<int64_t>(capacidade, n - enviados));
    ssize_t lidos = read(fd, dados.get(), pedir);
    if (lidos < 0 && errno == EINTR) continue;
    if (lidos <= 0) {
      *erro = lidos == 0 ? "the local file shrank while it was sent"
                         : std::string("local read failed: ") + textoDoErro(errno);
      return LEITURA_FALHOU;
    }
    if (!cliente->enviarBytes(dados.get(), static_cast<size_t>(lidos))) return CONEXAO_PERDIDA;
    enviados += lidos;
    if (progresso) progresso(enviados);
  }
  return DADOS_ENVIADOS;
}

bool TTransferenciaArquivo::buscarParaArquivo(const std::string& remoto, int bloco, int pastaFd,
                                              const std::string& nome, const std::string& data,
                                              const TProgressoBytes& progresso, int64_t* tamanho,
                                              std::string* motivo) {
  TArquivoTemporario copia;
  if (!copia.criar(pastaFd, nome)) {
    *motivo = textoDoErro(errno);
    return false;
  }
  time_t quando = 0;
  bool temData = TDataTexto::lerRegistro(data, &quando);
  auto escrever = [&copia](const char* dados, size_t n) { return copia.escrever(dados, n); };
  return buscar(remoto, bloco, escrever, tamanho, progresso, motivo) &&
         copia.colocar(temData, quando, true, motivo);
}

bool TTransferenciaArquivo::gravarVerificando(const std::string& remoto, int bloco, int fd,
                                              int64_t n, const TProgressoBytes& progresso,
                                              std::string* motivo) {
  // The steps of TGravacaoConferida, each reply read before the next request.
  TGravacaoConferida gravacao(remoto, n, time(nullptr));
  InfoObjectLinux antes, depois;
  int fim;
  bool ok = cliente->getRegistro(remoto, &antes);
  if (ok && gravacao.guardarAntes(antes)) {
    ok = cliente->comando(CMD_AGENTE_LINUX_SET_DATE_MODIFICATION_SERVER) &&
         cliente->enviarMensagem(gravacao.pedidoSentinela()) && cliente->lerInt(&fim) &&
         fim == COMMAND_OK && cliente->getRegistro(remoto, &antes);
    if (ok) gravacao.guardarAntes(antes);
  }
  if (!ok || !gravarDeDescritor(remoto, bloco, fd, n, progresso, motivo) ||
      !cliente->getRegistro(remoto, &depois)) {
    if (motivo->empty()) *motivo = "connection to the agent lost";
    return false;
  }
  return gravacao.conferir(depois, motivo);
}

bool TTransferenciaArquivo::gravarDeDescritor(const std::string& caminho, int bloco, int fd,
                                              int64_t n, const TProgressoBytes& progresso,
                                              std::string* erro) {
  if (!cliente->comando(CMD_AGENTE_LINUX_PUT_FILE) ||
      !cliente->enviarMensagem(ClienteVorna::pedidoDeGravacao(caminho, bloco, n))) {
    *erro = "connection to the agent lost";
    return false;
  }
  TEnvioDados envio = enviarDeDescritor(fd, n, bloco, progresso, erro);
  if (envio == LEITURA_FALHOU) {
    cliente->fechar();  // the agent waits for every announced byte: this connection is lost
    return false;
  }
  if (envio == CONEXAO_PERDIDA) {
    *erro = "connection to the agent lost";
    return false;
  }
  int fim;
  if (!cliente->lerInt(&fim) || fim != COMMAND_OK) {
    *erro = "connection to the agent lost";
    return false;
  }
  return true;
}
