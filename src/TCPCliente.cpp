#include "TCPCliente.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <limits>
#include <stdexcept>

#include "FileManager.h"
#include "InfoObjectLinux.h"
#include "Stream.h"
#include "TControleAcesso.h"
#include "TEnvioArquivo.h"
#include "TFileTransferManager.h"
#include "TFileUser.h"
#include "TLoteGravacao.h"
#include "TNotificacaoServico.h"
#include "TPastasPermitidas.h"
#include "TResolvedorCaminho.h"
#include "TTabelaComandos.h"
#include "TUtils.h"
#include "Versao.h"

TCPCliente::TCPCliente(int handleSocketCliente)
    : aplicacao32Bits(false),
      rodando(false),
      tranferindoArquivo(false),
      socketCliente(handleSocketCliente),
      quantidadeDeTentativaDeConexoes(0),
      portaUtilizada(0),
      pidProcessoPrincipal(0),
      prazoLogin(PRAZO_LOGIN_PADRAO),
      controleAcesso(nullptr) {}

TCPCliente::~TCPCliente() {
  informarFimDoLogin(TControleAcesso::LOGIN_NAO_CONCLUIDO);
  if (socketCliente >= 0) close(socketCliente);
}

void TCPCliente::run() {
  configurarSocket();
  stream.reset(new Stream(socketCliente));
  lote.reset(new TLoteGravacao(stream.get(), pidProcessoPrincipal));
  // Never wait on the peer while holding replies it may be waiting for.
  stream->setAntesDeEsperar([this] { lote->confirmar(); });
  if (fazerLogin()) {
    ++TNotificacaoServico::conexoesLogadas;
    servirComandos();
    --TNotificacaoServico::conexoesLogadas;
  }
  lote->confirmar();
  stream->liberarSaida();
  stream.reset();
  fecharSocket();
}

void TCPCliente::informarFimDoLogin(int fim) {
  if (controleAcesso == nullptr) return;
  controleAcesso->loginTerminado(enderecoCliente, static_cast<TControleAcesso::TFimLogin>(fim));
  controleAcesso = nullptr;
}

bool TCPCliente::fazerLogin() {
  // Whoever can reach the port could otherwise hold a thread for ever
  // without logging in.
  stream->setPrazo(std::chrono::steady_clock::now() + std::chrono::seconds(prazoLogin));
  bool admitido = false;
  try {
    int respLogin = LOGIN_SUCESSO;
    TResultadoLogin resultado = autorizado(stream.get(), &respLogin);
    admitido = resultado == LOGIN_ADMITIDO;
    // The books first: once the answer is out the peer may come back at once.
    informarFimDoLogin(admitido ? TControleAcesso::LOGIN_ACEITO : TControleAcesso::LOGIN_RECUSADO);
    if (resultado != LOGIN_SEM_RESPOSTA) stream->writeInt(respLogin);
  } catch (const std::exception& e) {
    admitido = false;
    if (!stream->prazoEsgotado()) {
      log.WriteLog(std::string("Falha na autenticação - Motivo:") + e.what(), pidProcessoPrincipal,
                   false);
    }
  }
  if (stream->prazoEsgotado()) {
    log.WriteLog("Login não concluído em " + IntToStr(prazoLogin) + " segundos, conexão " +
                     IntToStr(socketCliente) + " encerrada",
                 pidProcessoPrincipal, false);
    admitido = false;
  }
  stream->semPrazo();
  informarFimDoLogin(TControleAcesso::LOGIN_NAO_CONCLUIDO);  // unless told above
  return admitido;
}

void TCPCliente::configurarSocket() {
  // Small replies follow each other closely; without this each would wait for
  // the acknowledgement of the one before.
  int ligado = 1;
  setsockopt(socketCliente, IPPROTO_TCP, TCP_NODELAY, &ligado, sizeof ligado);
  // The protocol has no time-outs after the login: keep-alive probes find the
  // servers that vanished without closing, so their threads end at last.
  int ocioso = 300, intervalo = 60, tentativas = 5;
  setsockopt(socketCliente, SOL_SOCKET, SO_KEEPALIVE, &ligado, sizeof ligado);
  setsockopt(socketCliente, IPPROTO_TCP, TCP_KEEPIDLE, &ocioso, sizeof ocioso);
  setsockopt(socketCliente, IPPROTO_TCP, TCP_KEEPINTVL, &intervalo, sizeof intervalo);
  setsockopt(socketCliente, IPPROTO_TCP, TCP_KEEPCNT, &tentativas, sizeof tentativas);
}

void TCPCliente::fecharSocket() {
  if (socketCliente >= 0) {
    log.WriteLog("Finalizando uma conexão " + IntToStr(socketCliente), pidProcessoPrincipal, false);
    close(socketCliente);
    socketCliente = -1;
  }
}

void TCPCliente::servirComandos() {
  bool conectado = true;
  while (conectado) {
    // Replies wait for the next read that would wait: requests sent ahead
    // get theirs together.
    stream->agruparSaida();
    const TComandoServido* comando = nullptr;
    try {
      int codigo = stream->readInt();
      // Anything but a store sees the stores before it on disk.
      if (!lote->comandoLido(codigo)) break;
      comando = TTabelaComandos::procurar(codigo);
      if (comando == nullptr) {
        // -1 (also a closed or failed connection) and every unserved code.
        log.WriteLog("nenhum comando valído", pidProcessoPrincipal, false);
        escreverConsole("comando default");
        conectado = false;
        continue;
      }
      executarComando(*comando);
    } catch (const std::exception& e) {
      TPoliticaExcecao politica = comando ? comando->politica : GERAL;
      if (politica == GERAL) {
        escreverConsole("Erro ao ler comandando");
      } else if (politica != ENCERRAR_SILENCIOSO) {
        escreverConsole(std::string("ERRO: ") + e.what());
      }
      if (politica != REPORTAR_E_CONTINUAR) conectado = false;
      if (stream->encerrada()) {
        log.WriteLog(std::string("Pedido recusado - Motivo:") + e.what(), pidProcessoPrincipal,
                     false);
      }
    }
    // A refused request stopped the stream: nothing after it can be trusted,
    // so nothing more is read.
    if (stream->encerrada()) conectado = false;
  }
}

void TCPCliente::executarComando(const TComandoServido& comando) {
  if (comando.destinoLog != SEM_LOG) {
    log.WriteLog(comando.linhaLog, comando.destinoLog == LOG_PROCESSO ? pidProcessoPrincipal : 0,
                 false);
  }
  sendComandoReconhecido(stream.get());
  (this->*comando.handler)(stream.get());
  if (comando.segundoOk) sendComandoReconhecido(stream.get());
}

TCPCliente::TResultadoLogin TCPCliente::autorizado(Stream* stream, int* respLogin) {
  TFileUser fileUser(pidProcessoPrincipal);
  MemoryStream mensagem = ReadMemoryStream(stream, TAMANHO_MAXIMO_LOGIN);
  std::string usuarioRecebido = mensagem.lerTextoInteiro();
  std::string senhaRecebida = mensagem.lerTextoInteiro();
  // An address penalized while this connection waited gets no answer at all.
  if (controleAcesso != nullptr && controleAcesso->penalizado(enderecoCliente)) {
    return LOGIN_SEM_RESPOSTA;
  }
  bool admitido;
  if (usuarioRecebido.find('\0') != std::string::npos ||
      senhaRecebida.find('\0') != std::string::npos) {
    // A name cut at a zero byte could pass for another: refused whole.
    *respLogin = LOGIN_ERRO_USUARIO;
    admitido = false;
  } else {
    admitido = fileUser.userCadastrado(usuarioRecebido, senhaRecebida, respLogin);
  }
  if (!admitido && controleAcesso != nullptr) {
    controleAcesso->logarLoginRecusado(enderecoCliente, usuarioRecebido, *respLogin);
  }
  return admitido ? LOGIN_ADMITIDO : LOGIN_RECUSADO_COM_RESPOSTA;
}

void TCPCliente::sendComandoReconhecido(Stream* stream) { stream->writeInt(COMMAND_OK); }

void TCPCliente::getVersao(Stream* stream) { stream->writeInt(VERSAO_APP); }

void TCPCliente::cancelarTransferencia(Stream*) { tranferindoArquivo = false; }

MemoryStream TCPCliente::ReadMemoryStream(Stream* stream, int limite) {
  int tamanho = stream->readInt();
  if (tamanho < 0 || tamanho > limite) {
    // The stream cannot be trusted past a length like this: stop it, so the
    // loop ends at its next read whatever the command's policy. The stores
    // before it were whole and are owed their replies.
    if (lote) lote->confirmar();
    stream->encerrar();
    throw std::length_error("tamanho de mensagem inválido: " + IntToStr(tamanho));
  }
  MemoryStream mensagem;
  stream->receberCorpo(&mensagem, tamanho);
  return mensagem;
}

int TCPCliente::writeMemoryStream(Stream* stream, const MemoryStream& memoryStream) {
  return static_cast<int>(stream->enviarMensagem(memoryStream));
}

void TCPCliente::enviarRegistros(Stream* stream, MemoryStream* resposta,
                                 const TPercursoRegistros& percurso) {
  resposta->clearAll();
  resposta->addInt(0);
  int quantidade = 0;
  // A walk that fails, or a list too long for one message, throws: the
  // command then fails under its policy instead of sending a short list.
  percurso([&](InfoObjectLinux& registro) {
    registro.writeToMemoryStream(resposta);
    ++quantidade;
  });
  resposta->sobrescreverInt(0, quantidade);
  writeMemoryStream(stream, *resposta);
}

void TCPCliente::responderListagem(Stream* stream, TPercursoDeUmaPasta percurso) {
  MemoryStream mensagem = ReadMemoryStream(stream);
  std::string diretorioSelecionado = mensagem.readStringFromMemoryStream();
  FileManager fileManager(pidProcessoPrincipal);
  enviarRegistros(stream, &mensagem, [&](const TReceptorInfoObjectLinux& receptor) {
    (fileManager.*percurso)(diretorioSelecionado, receptor);
  });
}

void TCPCliente::getListaDeArquivosPastas(Stream* stream) {
  responderListagem(stream, &FileManager::getElementosDiretorioCorrente);
}

void TCPCliente::getListaDeTodosArquivosDentroDaPastas(Stream* stream) {
  responderListagem(stream, &FileManager::getTodosArquivosDentroDoDiretorio);
}

void TCPCliente::getListaDeTodasPastaDentroDaPastas(Stream* stream) {
  responderListagem(stream, &FileManager::getTodasPastasDentroDoDiretorio);
}

void TCPCliente::getListaDeTodosArquivosDentroDaPastasInc(Stream* stream) {
  MemoryStream mensagem = ReadMemoryStream(stream);
  std::string diretorioSelecionado = mensagem.readStringFromMemoryStream();
  std::string dataSelecionada_s = mensagem.readStringFromMemoryStream();
  // A time that does not parse must not drop files from a backup: list all.
  time_t dataSelecionada;
  if (!FileManager::converterDataRecebida(dataSelecionada_s, &dataSelecionada)) {
    dataSelecionada = std::numeric_limits<time_t>::min();
  }
  FileManager fileManager(pidProcessoPrincipal);
  enviarRegistros(stream, &mensagem, [&](const TReceptorInfoObjectLinux& receptor) {
    fileManager.getTodosArquivosDentroDoDiretorioInc(diretorioSelecionado, dataSelecionada,
                                                     receptor);
  });
}

bool TCPCliente::podeConsultar(const std::string& caminho) {
  const TPastasPermitidas* pastas = TPastasPermitidas::global();
  if (pastas == nullptr || pastas->livre(ACESSO_CONSULTA)) return true;
  int fd =
      TResolvedorCaminho(pidProcessoPrincipal, ACESSO_CONSULTA).abrir(caminho, O_PATH, "consulta");
  return fecharUmaVez(&fd);
}

std::string TCPCliente::lerPedidoComCaminho(Stream* stream, MemoryStream* mensagem) {
  *mensagem = ReadMemoryStream(stream);
  std::string caminho = mensagem->readStringFromMemoryStream();
  mensagem->clearAll();  // the same buffer carries the reply
  return caminho;
}

void TCPCliente::getTamanhoPasta(Stream* stream) {
  MemoryStream mensagem;
  std::string pasta = lerPedidoComCaminho(stream, &mensagem);
  FileManager fileManager(pidProcessoPrincipal);
  int64_t tamanhoPasta = fileManager.GetSizeDir(pasta);
  mensagem.writeInt64ToMemoryStream(tamanhoPasta);
  writeMemoryStream(stream, mensagem);
}

void TCPCliente::getTamanhoArquivo(Stream* stream) {
  MemoryStream mensagem;
  std::string arquivo = lerPedidoComCaminho(stream, &mensagem);
  FileManager fileManager;
  int64_t tamanhoArquivo = podeConsultar(arquivo) ? fileManager.getFileSize(arquivo) : -1;
  mensagem.writeInt64ToMemoryStream(tamanhoArquivo);
  writeMemoryStream(stream, mensagem);
}

void TCPCliente::isDir(Stream* stream) {
  MemoryStream mensagem;
  std::string pathAnalise = lerPedidoComCaminho(stream, &mensagem);
  FileManager fileManager;
  bool ehPasta = podeConsultar(pathAnalise) && fileManager.isDiretory(pathAnalise);
  mensagem.writeBoolToMemoryStream(ehPasta);
  writeMemoryStream(stream, mensagem);
}

void TCPCliente::ExistFileOrFolder(Stream* stream) {
  MemoryStream mensagem;
  try {
    mensagem = ReadMemoryStream(stream);
    std::string pathFile = mensagem.readStringFromMemoryStream();
    FileManager fileManager;
    bool existe = podeConsultar(pathFile) && fileManager.ExisteArquivoOuPasta(pathFile);
    mensagem.clearAll();
    mensagem.writeBoolToMemoryStream(existe);
    writeMemoryStream(stream, mensagem);
  } catch (const std::exception& e) {
    log.WriteLog(std::string("ExistsFileOrFolder - Motivo:") + e.what(), pidProcessoPrincipal,
                 false);
    mensagem.clearAll();
    mensagem.writeBoolToMemoryStream(false);
    writeMemoryStream(stream, mensagem);
  }
}

void TCPCliente::getInformacaoArquivo(Stream* stream) {
  MemoryStream mensagem = ReadMemoryStream(stream);
  InfoObjectLinux registro(mensagem.readStringFromMemoryStream());
  if (podeConsultar(registro.getNome())) {
    registro.loadDados();
  } else {
    registro.carregarAusente();
  }
  mensagem.clearAll();
  registro.writeToMemoryStream(&mensagem);
  writeMemoryStream(stream, mensagem);
}

void TCPCliente::enviarTexto(Stream* stream, const std::string& texto) {
  MemoryStream mensagem;
  mensagem.addString(texto);
  writeMemoryStream(stream, mensagem);
}

void TCPCliente::getNomeAplicacao(Stream* stream) { enviarTexto(stream, nomeAplicacao); }

void TCPCliente::getCaminhoCompletoAplicacao(Stream* stream) {
  enviarTexto(stream, caminhoCompletoAplicacao);
}

void TCPCliente::SendDiretorio(Stream* stream) { enviarTexto(stream, diretorio); }

void TCPCliente::GetAplicacaoIs32bits(Stream* stream) {
  MemoryStream mensagem;
  mensagem.writeBoolToMemoryStream(aplicacao32Bits);
  writeMemoryStream(stream, mensagem);
}

void TCPCliente::setDateModificacaoFile(Stream* stream) {
  MemoryStream mensagem = ReadMemoryStream(stream);
  InfoObjectLinux registro("");
  registro.loadFromMemoryStream(&mensagem);
  FileManager fileManager(pidProcessoPrincipal);
  fileManager.setDataUltimaMidificacaoArquivo(registro.getNome().c_str(),
                                              registro.getDataUltimaModificacao().c_str());
}

void TCPCliente::createDir(Stream* stream) {
  MemoryStream mensagem = ReadMemoryStream(stream);
  std::string pathFolder = mensagem.readStringFromMemoryStream();
  FileManager fileManager(pidProcessoPrincipal);
  std::string msgErro;
  if (fileManager.criarDiretorio(pathFolder, &msgErro)) {
    stream->writeInt(COMMAND_OK);
    return;
  }
  stream->writeInt(COMMAND_ERRO);
  mensagem.clearAll();
  mensagem.addString(msgErro);
  writeMemoryStream(stream, mensagem);
}

void TCPCliente::enviaArquivo(Stream* stream) {
  tranferindoArquivo = true;
  MemoryStream mensagem = ReadMemoryStream(stream);
  std::string arquivoSolicitado = mensagem.readStringFromMemoryStream();
  int tamanhoBuffer = mensagem.readIntFromMemoryStream();
  TEnvioArquivo transferencia(arquivoSolicitado, tamanhoBuffer, pidProcessoPrincipal);
  int64_t tamanhoArquivo = transferencia.abrirParaEnvio();
  mensagem.clearAll();
  mensagem.writeInt64ToMemoryStream(tamanhoArquivo);
  writeMemoryStream(stream, mensagem);
  transferencia.enviarArquivo(stream, tranferindoArquivo);
  tranferindoArquivo = false;
}

void TCPCliente::gravaArquivo(Stream* stream) {
  MemoryStream mensagem = ReadMemoryStream(stream);
  std::string arquivoParaCriar = mensagem.readStringFromMemoryStream();
  int64_t tamanhoArquivo = 0;
  // An empty path needs no more fields, but the bytes it announces are read.
  if (!arquivoParaCriar.empty() || mensagem.getSize() - mensagem.getPosicao() >= 12) {
    mensagem.readIntFromMemoryStream();  // the chunk size: the agent receives in its own
    tamanhoArquivo = mensagem.readInt64FromMemoryStream();
  }
  lote->receber(arquivoParaCriar, tamanhoArquivo, &tranferindoArquivo);
}
