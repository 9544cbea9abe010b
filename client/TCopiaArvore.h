#ifndef TCOPIAARVORE_H
#define TCOPIAARVORE_H

#include <cstdint>
#include <ctime>
#include <functional>
#include <string>

class ClienteVorna;

// What one backup or restore did.
struct TResumoCopia {
  int64_t arquivos = 0;  // files copied whole
  int64_t bytes = 0;     // their bytes
  int64_t pastas = 0;    // folders created or found
  int64_t falhas = 0;    // entries that could not be copied (each reported)
  int64_t ignorados = 0; // links and special files, which the agent never serves
  double segundos = 0;
};

// Copies whole trees between the agent's machine and this one over one
// logged-in connection: backup (agent to here) and restore (here to agent).
// Modification times travel as the agent's local-time texts, read and
// written in this machine's time zone, which must therefore be the agent's.
// A failed entry is reported on standard error and the run goes on; a lost
// connection ends the run.
class TCopiaArvore {
 public:
  TCopiaArvore(ClienteVorna* cliente, int bloco);
  virtual ~TCopiaArvore();

  // Every file below remoto into local, at the same relative paths, with
  // the same folders (empty ones too) and modification times. desde, when
  // not empty ("dd/mm/yy hh:mm:ss"), copies only files changed after it.
  // False when the connection was lost.
  bool backup(const std::string& remoto, const std::string& local, const std::string& desde,
              TResumoCopia* resumo);
  // Every folder and regular file below local into remoto, with the files'
  // modification times. False when the connection was lost.
  bool restore(const std::string& local, const std::string& remoto, TResumoCopia* resumo);

  // "dd/mm/yyyy hh:mm:ss" (records) and "dd/mm/yy hh:mm:ss" (requests) in
  // local time; false for a text that does not parse or a year the
  // two-digit form cannot hold.
  static bool lerDataRegistro(const std::string& texto, time_t* quando);
  static bool formatarDataPedido(time_t quando, std::string* texto);
  // The part of caminho below raiz, refused (false) when it would leave raiz.
  static bool caminhoRelativo(const std::string& raiz, const std::string& caminho,
                              std::string* relativo);

  // Fetches remoto into the file nome of folder pastaFd through a temporary
  // file of its own, renamed into place once complete, then gives it the
  // record's modification time (data, may be empty). False with the reason.
  static bool buscarParaArquivo(ClienteVorna* cliente, const std::string& remoto, int bloco,
                                int pastaFd, const std::string& nome, const std::string& data,
                                const std::function<void(int64_t)>& progresso, int64_t* tamanho,
                                std::string* motivo);
  // Stores n bytes of fd as remoto and checks on the agent that the new file
  // is there: the protocol acknowledges stores the agent could not do.
  static bool gravarVerificando(ClienteVorna* cliente, const std::string& remoto, int bloco, int fd,
                                int64_t n, const std::function<void(int64_t)>& progresso,
                                std::string* motivo);

 private:
  bool copiarPastas(const std::string& remoto, int raizLocal, TResumoCopia* resumo);
  bool restaurarArquivo(const std::string& origem, const std::string& destino, int64_t tamanho,
                        time_t modificacao, const std::function<void(int64_t)>& progresso,
                        TResumoCopia* resumo);
  void falhar(const std::string& caminho, const std::string& motivo, TResumoCopia* resumo);

  ClienteVorna* cliente;
  int bloco;
};

#endif
