#ifndef TCPCLIENTE_H
#define TCPCLIENTE_H

#include <functional>
#include <memory>
#include <string>

#include "Logger.h"
#include "MemoryStream.h"
#include "TEnderecoIP.h"

class FileManager;
class InfoObjectLinux;
class Stream;
class TControleAcesso;
class TLoteGravacao;
struct TComandoServido;

// Runs one walk, handing each record to the receiver it is given.
typedef std::function<void(const std::function<void(InfoObjectLinux&)>&)> TPercursoRegistros;
// A walk of FileManager over one folder, handing records to a receiver.
typedef void (FileManager::*TPercursoDeUmaPasta)(
    const std::string&, const std::function<void(InfoObjectLinux&)>&) const;

enum TComandosAgenteLinux {
  CMD_AGENTE_LINUX_DISCONET = -1,
  CMD_AGENTE_LINUX_LIST = 0,
  CMD_AGENTE_LINUX_GET_FILE = 1,
  CMD_AGENTE_LINUX_PUT_FILE = 2,
  CMD_AGENTE_LINUX_GET_VERSION = 3,
  CMD_AGENTE_LINUX_GET_SIZE_DIR = 4,
  CMD_AGENTE_LINUX_LIST_ALL_FILES = 5,
  CMD_AGENTE_LINUX_GET_SIZE_FILE = 6,
  CMD_AGENTE_LINUX_IS_DIR = 7,
  CMD_AGENTE_LINUX_EXIST_FILE_OR_FOLDER = 8,
  CMD_AGENTE_LINUX_CANCELAR_TRANFERENCIA_ARQUIVO = 9,
  CMD_AGENTE_LINUX_GET_FILE_INFO = 10,
  CMD_AGENTE_LINUX_LIST_FOLDERS_DIR = 11,
  CMD_AGENTE_LINUX_SET_DATE_MODIFICATION_SERVER = 12,
  CMD_AGENTE_LINUX_CREATE_DIR_SERVER_LINUX = 13,
  CMD_AGENTE_LINUX_GET_NOME_APLICACAO = 14,
  CMD_AGENTE_LINUX_GET_CAMINHO_COMPLETO_APLICACAO = 15,
  CMD_AGENTE_LINUX_CHECK_IS_APP_32_BITS = 16,
  CMD_AGENTE_LINUX_SETAR_PERMISSAO_ARQUIVO = 17,
  CMD_AGENTE_LINUX_LIST_ALL_FILES_INCREMENTAL = 18,
  CMD_AGENTE_LINUX_ATUALIZAR_APLICATIVO = 19,
  CMD_AGENTE_LINUX_GET_DIRETORIO_APLICATIVO = 20,
};

// Seconds a connection has to deliver its login message, unless told otherwise.
const int PRAZO_LOGIN_PADRAO = 120;
// Largest login message: a user name and a password. Before the login nobody
// may make the agent hold more.
const int TAMANHO_MAXIMO_LOGIN = 64 * 1024;

enum TCommandResultAgente {
  COMMAND_OK = 977777,
  COMMAND_ERRO = 977771,
  COMMAND_NAO_RECONHECIDO = 977772,
};

// One backup-server connection, from the login to the close, served by its
// own thread (the only one that touches this object, its Stream and its
// socket). run() closes the socket; the destructor closes it only if run()
// never got that far.
class TCPCliente {
 public:
  explicit TCPCliente(int handleSocketCliente);
  virtual ~TCPCliente();

  TCPCliente(const TCPCliente&) = delete;
  TCPCliente& operator=(const TCPCliente&) = delete;

  void setNomeAplicacao(const std::string& nome) { nomeAplicacao = nome; }
  void setCaminhocompletoAplicacao(const std::string& caminho) {
    caminhoCompletoAplicacao = caminho;
  }
  void aplicacaoIs32Bits(bool is32) { aplicacao32Bits = is32; }
  void setPortaUtilizada(int porta) { portaUtilizada = porta; }
  void setPidProcessoPrincipal(int pid) { pidProcessoPrincipal = pid; }
  void setDiretorio(const std::string& dir) { diretorio = dir; }
  // Seconds a new connection has to deliver its whole login message.
  void setPrazoLogin(int segundos) { prazoLogin = segundos; }
  // The access control that admitted this connection from ip: told once
  // how the login ended, by run() or else by the destructor.
  void setControleAcesso(TControleAcesso* controle, const TEnderecoIP& ip) {
    controleAcesso = controle;
    enderecoCliente = ip;
  }

  // Serves the connection until the peer leaves or sends an unserved code.
  void run();

  void sendComandoReconhecido(Stream* stream);
  void getVersao(Stream* stream);

  // One request message: its big-endian length, then its body. A length below
  // 0 or above limite stops the connection and throws
  // std::length_error before anything is allocated; a body cut short comes
  // back with only the bytes that arrived.
  MemoryStream ReadMemoryStream(Stream* stream, int limite = TAMANHO_MAXIMO_MENSAGEM);
  // One reply message; -1 when the peer is gone.
  int writeMemoryStream(Stream* stream, const MemoryStream& memoryStream);

 private:
  friend class TTabelaComandos;  // the table names the handlers

  void configurarSocket();
  enum TResultadoLogin { LOGIN_ADMITIDO, LOGIN_RECUSADO_COM_RESPOSTA, LOGIN_SEM_RESPOSTA };
  // Reads and checks the login message; *respLogin gets the code to answer,
  // unless the peer is to get no answer at all. A refusal is logged.
  TResultadoLogin autorizado(Stream* stream, int* respLogin);
  // The whole login: false when the connection must end.
  bool fazerLogin();
  void informarFimDoLogin(int fim);
  void servirComandos();
  void executarComando(const TComandoServido& comando);
  void cancelarTransferencia(Stream* stream);

  void getListaDeArquivosPastas(Stream* stream);
  void getListaDeTodosArquivosDentroDaPastas(Stream* stream);
  void getListaDeTodasPastaDentroDaPastas(Stream* stream);
  void getListaDeTodosArquivosDentroDaPastasInc(Stream* stream);
  void enviaArquivo(Stream* stream);
  void gravaArquivo(Stream* stream);
  // False when the allowed folders keep the server from looking at caminho
  // (logged): the query then answers as for a path that is not there.
  bool podeConsultar(const std::string& caminho);
  // Reads a request holding one path into *mensagem, cleared for the reply.
  std::string lerPedidoComCaminho(Stream* stream, MemoryStream* mensagem);
  void getTamanhoPasta(Stream* stream);
  void getTamanhoArquivo(Stream* stream);
  void isDir(Stream* stream);
  void ExistFileOrFolder(Stream* stream);
  void getInformacaoArquivo(Stream* stream);
  void getNomeAplicacao(Stream* stream);
  void getCaminhoCompletoAplicacao(Stream* stream);
  void GetAplicacaoIs32bits(Stream* stream);
  void SendDiretorio(Stream* stream);
  void setDateModificacaoFile(Stream* stream);
  void createDir(Stream* stream);
  // Sends a reply message holding one string.
  void enviarTexto(Stream* stream, const std::string& texto);

  // Reads a request holding one folder and answers with the records of the walk.
  void responderListagem(Stream* stream, TPercursoDeUmaPasta percurso);
  // Sends one reply: the count of the walk's records, then the records.
  void enviarRegistros(Stream* stream, MemoryStream* resposta, const TPercursoRegistros& percurso);
  void fecharSocket();

  bool aplicacao32Bits;
  [[maybe_unused]] bool rodando;  // a declared state; nothing reads it
  bool tranferindoArquivo;
  int socketCliente;
  [[maybe_unused]] int quantidadeDeTentativaDeConexoes;  // a declared count; nothing reads it
  int portaUtilizada;                                    // stored, read by no command
  int pidProcessoPrincipal;
  int prazoLogin;
  std::string nomeAplicacao;
  std::string caminhoCompletoAplicacao;
  std::string diretorio;
  TControleAcesso* controleAcesso;
  TEnderecoIP enderecoCliente;
  std::unique_ptr<Stream> stream;
  // The stores received and not yet committed, with their held replies.
  std::unique_ptr<TLoteGravacao> lote;
  Logger log;
};

#endif
