#ifndef TTRANSFERENCIAARQUIVO_H
#define TTRANSFERENCIAARQUIVO_H

#include <cstdint>
#include <functional>
#include <string>

class ClienteVorna;
class InfoObjectLinux;

// A whole file's fetch (command 1) or store (command 2) over one connection,
// between the agent and a local descriptor: the single get and put and the
// data of a pipelined store. Used from the thread that owns the connection
// (for a channel, its writer); the connection must outlive it.
class TTransferenciaArquivo {
 public:
  explicit TTransferenciaArquivo(ClienteVorna* cliente) : cliente(cliente) {}

  // Called with the bytes moved so far.
  typedef std::function<void(int64_t)> TProgressoBytes;
  // A whole fetch written to descriptor fd. False with the reason in *erro;
  // *tamanho gets the announced size.
  bool buscarParaDescritor(const std::string& caminho, int bloco, int fd, int64_t* tamanho,
                           const TProgressoBytes& progresso, std::string* erro);
  // Fetches remoto into the file nome of folder pastaFd through a temporary
  // file of its own (sparse, TArquivoTemporario), renamed into place once complete and durable,
  // with the record's modification time (data, may be empty). False with the reason.
  bool buscarParaArquivo(const std::string& remoto, int bloco, int pastaFd, const std::string& nome,
                         const std::string& data, const TProgressoBytes& progresso,
                         int64_t* tamanho, std::string* motivo);
  // Stores n bytes of fd as remoto and checks on the agent that the new file
  // is there (TGravacaoConferida). False with the reason.
  bool gravarVerificando(const std::string& remoto, int bloco, int fd, int64_t n,
                         const TProgressoBytes& progresso, std::string* motivo);
  // A whole store of n bytes read from descriptor fd. False with the reason
  // in *erro; a local read failure leaves the connection unusable.
  bool gravarDeDescritor(const std::string& caminho, int bloco, int fd, int64_t n,
                         const TProgressoBytes& progresso, std::string* erro);
  // The data of a store: n bytes read from fd and sent in pieces of about
  // bloco. LEITURA_FALHOU (the reason in *erro) leaves the agent waiting for
  // bytes that will not come; CONEXAO_PERDIDA when the agent is gone.
  enum TEnvioDados { DADOS_ENVIADOS, LEITURA_FALHOU, CONEXAO_PERDIDA };
  TEnvioDados enviarDeDescritor(int fd, int64_t n, int bloco, const TProgressoBytes& progresso,
                                std::string* erro);

 private:
  // The bytes of a fetch, in order: false with errno when they cannot be kept.
  typedef std::function<bool(const char*, size_t)> TEscrita;
  bool buscar(const std::string& caminho, int bloco, const TEscrita& escrever, int64_t* tamanho,
              const TProgressoBytes& progresso, std::string* erro);

  ClienteVorna* cliente;
};

#endif
