#ifndef TLOTEGRAVACAO_H
#define TLOTEGRAVACAO_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class Stream;
class TFileTransferManager;

// Stores received one after another on one connection, committed together:
// every file's data made durable, every file renamed into place, the
// renames made durable, and only then the replies the connection held back
// sent, in order. The owner commits before anything else than a store and
// before waiting on the peer, so a peer that waits for each reply gets one
// store per commit. Owned and used by the connection's thread alone.
class TLoteGravacao {
 public:
  // Limits of one batch: files and data bytes held before a commit.
  static const int MAXIMO_ARQUIVOS = 256;
  static const int64_t MAXIMO_BYTES = 64 * 1024 * 1024;

  explicit TLoteGravacao(int pidLog);
  virtual ~TLoteGravacao();

  TLoteGravacao(const TLoteGravacao&) = delete;
  TLoteGravacao& operator=(const TLoteGravacao&) = delete;

  // Receives one store into its temporary file and keeps it for the commit;
  // from then on the stream holds every write. A store that fails does as a
  // lone store does: logged, its announced bytes consumed, nothing kept.
  void receber(Stream* stream, const std::string& caminho, int64_t tamanhoArquivo,
               bool* tranferindo);
  // True when the batch is at one of its limits and must be committed
  // before another store joins it.
  bool cheio() const;
  // Commits what is kept (each store's failure logged as a lone store's)
  // and lets the held writes go, gathered with the replies that follow
  // until the stream sends them (before it waits on the peer, at the
  // latest); nothing to do when nothing is held.
  void confirmar(Stream* stream);

 private:
  void gravarTudo();
  // Flushes each file system the stores are on, once. With falhaDesiste, a
  // store whose file system fails the flush is dropped (and logged). The
  // stores left.
  std::vector<TFileTransferManager*> descarregar(
      const std::vector<TFileTransferManager*>& gravacoes, bool falhaDesiste);

  int pidLog;
  std::vector<std::unique_ptr<TFileTransferManager>> gravacoes;
  int64_t bytes;
};

#endif
