#ifndef TFILETRANSFERMANAGER_H
#define TFILETRANSFERMANAGER_H

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>

#include "TRegraDescarga.h"
#include "TUtils.h"

class Stream;

// Largest chunk of one transfer; a larger chunk size asked by the peer is
// served in chunks of this size.
const int TAMANHO_MAXIMO_BLOCO = 16 * 1024 * 1024;
// Largest buffer of one transfer: a larger chunk passes through it in pieces,
// so a stalled peer holds no more than this whatever chunk size it asked.
const int TAMANHO_MAXIMO_AREA = 1024 * 1024;

// One store of one file from the connection's stream (receberParaTemporario,
// then iniciarEscrita, escreverDados, colocarNoLugar and a flush, which
// TLoteGravacao runs for a batch), with its file and the buffer its data
// passes through. Made by the connection's TLoteGravacao, on the connection
// thread, kept until its batch is committed and dropped then, closing what
// it opened.
// A store writes into a temporary file beside the target (unnamed where the
// file system allows), which takes the target's place only once every byte
// is written out, so a failed store never harms the old file; a regular file
// it replaces passes on its mode, owner and group. How it is made durable
// depends on its file system (TRegraDescarga). A fetch is TEnvioArquivo.
class TFileTransferManager {
 public:
  // tamanhoArquivo is the number of data bytes the peer announced. The
  // buffer, taken when the store starts, holds TAMANHO_MAXIMO_AREA bytes or
  // the whole file, whichever is less. Log lines go to the log of process
  // pidLog.
  TFileTransferManager(const std::string& nomeArquivo, int64_t tamanhoArquivo, int pidLog = 0);
  virtual ~TFileTransferManager();

  TFileTransferManager(const TFileTransferManager&) = delete;
  TFileTransferManager& operator=(const TFileTransferManager&) = delete;

  // Store, first half: receives exactly the announced bytes into a fresh
  // temporary file while *tranferindo holds (set for the duration). Whole
  // blocks of zeros are left as holes. When the file cannot be created the
  // bytes are read and dropped, so the stream stays in step; a creation
  // refused for want of descriptors is tried once more after
  // liberarDescritores, when that returns true. False when the store failed
  // (the log then says why and the temporary file is gone); true when the
  // data waits, not yet durable, for the steps below.
  bool receberParaTemporario(Stream* stream, bool* tranferindo,
                             const std::function<bool()>& liberarDescritores);
  // Starts writing the received data back to disk without waiting for it.
  void iniciarEscrita();
  // Gives the file its mode (and the owner of the regular file it
  // replaces), then writes its data out: waits for the writeback to
  // complete where one commit will follow (TRegraDescarga), or makes it
  // durable with fsync elsewhere. False when that fails: the data cannot be
  // made durable; the log says why, the temporary file is gone, the target
  // is untouched.
  bool escreverDados();
  // Names the file: its target's name, or a temporary name renamed over the
  // target (replacing an empty directory there). The file stays open for the
  // flush that makes the name durable. False when it fails, logged, with the
  // temporary file gone: a store that failed, not a flush.
  bool colocarNoLugar();
  // fsync of its folder: 0 or the errno. The folder of a target the agent
  // may not read is open only as a path, and its flush fails with EBADF.
  int descarregarPasta();
  // The file while it is open (for the flush that commits its name), else -1.
  int descritorArquivo() const { return handle; }
  // How its file system makes it durable (known once the file is created).
  TRegraDescarga::TModo modo() const { return modoDisco; }
  // The file system the file is on (0 when it could not be learned).
  dev_t discoDoAlvo() const { return disco; }
  // The target's folder as the peer gave it.
  std::string pastaDoAlvo() const;
  // Drops a store that cannot be completed for the reason erro, and logs
  // it; false.
  bool falharConclusao(int erro);
  // Logs that the store failed for motivo, leaving whatever it did on disk.
  void registrarFalha(const std::string& motivo) const;
  // Reads and drops n bytes the peer announced.
  static void descartarDados(Stream* stream, int64_t n);

  // Creates the temporary file beside the target, mode 0777 less the umask.
  // False when it cannot (errno says why).
  bool createFile();
  // Receives min(buffer, maximo) bytes, or what came before the connection
  // ended, all written to the file. Returns the count received (0: peer
  // closed or failed). A failed write is remembered and later data is only
  // received.
  int saveToFile(Stream* stream, int64_t maximo);
  // Closes the file once; false when it was not open or close reported an error.
  bool closeFile();

  // Removes every named temporary file still being filled: for the signal
  // thread, just before the agent exits.
  static void apagarTemporarios();

 private:
  // What was at the target's name when the store began.
  enum TAlvo { ALVO_AUSENTE, ALVO_ARQUIVO, ALVO_PASTA, ALVO_OUTRO };

  bool criarComDescritores(const std::function<bool()>& liberarDescritores);
  // Ends a store whose data all came: the file's full length, the buffer freed.
  bool terminarRecepcao();
  // Writes n bytes of the buffer at the file's current end, leaving whole
  // blocks of zeros as holes.
  bool gravarPulandoZeros(size_t n);
  // Learns the temporary file's block size, file system and its mode; true.
  bool medirBloco();
  // Learns what is at the target's name (alvo, estadoAlvo); false, with
  // errno, only when a folder there cannot be looked into for want of
  // descriptors.
  bool conhecerAlvo();
  // The file's mode: a regular file being replaced passes its mode, owner
  // and group on (the owner only where the agent may give files away), so a
  // store never makes a file more readable than it was; a named temporary
  // file, created private, takes the mode a new file gets.
  void darModo();
  // Closes and removes the temporary file; the target is untouched.
  void descartarArquivo();
  // Gives the unnamed temporary file the name nome in the target's folder;
  // false, with nothing done, when something has it.
  bool linkarComo(const std::string& nome);
  // Gives the unnamed temporary file a temporary name beside the target.
  bool darNome();
  // Renames the temporary name over the target.
  bool substituirAlvo();
  void prepararBuffer();
  // Tries fresh temporary names with criar until one is made (false with
  // errno when it fails for a reason other than the name being taken).
  bool reservarNomeTemporario(const std::function<bool(const std::string&)>& criar);
  void registrarTemporario(bool aberto);
  int writeBufferToFile(int quantidadeRecebida);
  void registrar(const std::string& linha) const;

  std::string nomeArquivo;
  std::string nomeTemporario;  // relative to pastaFd
  TAreaAlinhada pBuffer;
  int tamanhoArea;  // bytes in pBuffer
  int handle;       // the temporary file while it is open, else -1
  int64_t tamanhoArquivo;
  int pidLog;
  int erroGravacao;           // errno of the first failed write or of the completion
  bool semNome;               // the temporary file has no name yet
  int pastaFd;                // the target's folder, while storing
  int64_t deslocamento;       // bytes of the store written (or skipped) so far
  int64_t tamanhoBlocoDisco;  // the temporary file's block size: the size of a hole
  dev_t disco;                // the temporary file's file system
  TRegraDescarga::TModo modoDisco;
  bool temBuraco;        // some block was skipped: the length is set at the end
  std::string nomeBase;  // the target's name in that folder
  TAlvo alvo;
  struct stat estadoAlvo;  // of a regular file at the target
};

#endif
