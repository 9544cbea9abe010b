#ifndef TFILETRANSFERMANAGER_H
#define TFILETRANSFERMANAGER_H

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

class Stream;

// Largest chunk buffer of one transfer; a larger chunk size asked by the
// peer is served in chunks of this size.
const int TAMANHO_MAXIMO_BLOCO = 16 * 1024 * 1024;

// The one file of one transfer and the buffer its data passes through, one
// chunk at a time. Made on the stack by the connection thread for a single
// fetch or store and dropped when it ends, closing what it opened. A store
// writes into a temporary file beside the target (unnamed where the file
// system allows), which takes the target's place only in concluirArquivo,
// so a failed store never harms the old file.
class TFileTransferManager {
 public:
  // The buffer holds min(sizeBuffer, tamanhoEsperado) bytes (at least one
  // and at most TAMANHO_MAXIMO_BLOCO); sizeBuffer <= 0 gives a transfer that
  // ends at its first chunk when sending.
  TFileTransferManager(const std::string& nomeArquivo, int sizeBuffer,
                       int64_t tamanhoEsperado = INT64_MAX);
  virtual ~TFileTransferManager();

  TFileTransferManager(const TFileTransferManager&) = delete;
  TFileTransferManager& operator=(const TFileTransferManager&) = delete;

  // Opens the file for reading; false when it cannot (errno says why).
  bool openFile();
  // Creates the temporary file beside the target, mode 0777 less the umask.
  // False when it cannot (errno says why).
  bool createFile(const std::string& arquivoParaCriar);
  // Reads one chunk and sends its big-endian count and its bytes in one
  // write. Returns the data bytes sent: 0 at end of file, after a failed
  // read (sent as count -1) or when the peer is gone.
  int sendBuffer(Stream* stream);
  // Sends the chunk that tells the peer the file could not be read.
  void sendFalhaLeitura(Stream* stream);
  // One receive of at most min(buffer, maximo) bytes, all written to the
  // file. Returns the count received (0: peer closed, < 0: failed). A failed
  // write is remembered (getErroGravacao) and later data is only received.
  int saveToFile(Stream* stream, int64_t maximo);
  // Flushes the temporary file to disk and renames it over the target
  // (replacing an empty directory there). False, leaving the target as it
  // was and the temporary file gone, when anything fails.
  bool concluirArquivo();
  // Closes and removes the temporary file; the target is untouched.
  void descartarArquivo();
  bool closeFile();

  // errno of the first failed write or of the failed completion; 0 if none.
  int getErroGravacao() const { return erroGravacao; }

  // Removes every named temporary file still being filled: for the signal
  // thread, just before the agent exits.
  static void apagarTemporarios();

 private:
  // Gives the unnamed temporary file a temporary name beside the target.
  bool darNome();
  std::string nomeTemporarioPara() const;
  // Tries fresh temporary names with criar until one is made (false with
  // errno when it fails for a reason other than the name being taken).
  bool reservarNomeTemporario(const std::function<bool(const std::string&)>& criar);
  void registrarTemporario(bool aberto);
  int readBufferFronFile();
  int writeBufferToFile(int quantidadeRecebida);

  std::string nomeArquivo;
  std::string nomeTemporario;  // relative to pastaFd
  bool arquivoAberto;
  struct TLiberarBuffer {
    void operator()(unsigned char* p) const;
  };
  std::unique_ptr<unsigned char, TLiberarBuffer> pBuffer;
  int sizeBuffer;
  int handle;
  int erroGravacao;
  bool semNome;          // the temporary file has no name yet
  int pastaFd;           // the target's folder, while storing
  std::string nomeBase;  // the target's name in that folder
};

#endif
