#ifndef TLOTEGRAVACAO_H
#define TLOTEGRAVACAO_H

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <vector>

class Stream;
class TFileTransferManager;

// The stores one connection receives ahead of their replies, and the one
// place that decides when they are committed. Owned and used by the
// connection's thread alone.
//
// What a batch holds: the stores received since the last commit, in order
// (the ones kept with their temporary files; failed and empty-path ones only
// counted), and, from the first kept one on, every byte the connection
// writes (Stream::reterSaida).
// Its limits: MAXIMO_ARQUIVOS stores, MAXIMO_BYTES announced data bytes (a
// negative length counts 0), MAXIMO_RETIDO held bytes. A store that would
// pass one is preceded by a commit, so a batch passes none except with one
// store larger than MAXIMO_BYTES, alone.
// When it commits: before a store that would pass a limit, or whose target
// is, holds or lies below a pending store's target (the same path twice
// included); before any command other than a store; before a read would
// wait on the peer; when descriptors run out; when the connection ends.
// How: every file's data written out, each file named, then data and names
// made durable as TRegraDescarga says for their file system: on ext4 and
// xfs one journal commit, shared with the other connections that ask for
// one meanwhile (TDescargaConjunta); elsewhere fsync of each file and of
// each folder.
// When held bytes may leave: at once, when every store of the batch is
// durable. When one cannot be made durable (a flush failed), it and every
// store of the batch after it are logged as failed, the held bytes from its
// closing reply on are dropped and the connection ends: the server never
// gets their COMMAND_OK. A store that merely failed (its file could not be
// created, written or named) is logged and keeps its COMMAND_OK, as a lone
// store does.
class TLoteGravacao {
 public:
  static const int MAXIMO_ARQUIVOS = 256;
  static const int64_t MAXIMO_BYTES = 64 * 1024 * 1024;
  static const size_t MAXIMO_RETIDO = 64 * 1024;

  // stream must outlive the batch; log lines go to the log of process pidLog.
  TLoteGravacao(Stream* stream, int pidLog);
  virtual ~TLoteGravacao();

  TLoteGravacao(const TLoteGravacao&) = delete;
  TLoteGravacao& operator=(const TLoteGravacao&) = delete;

  // A command code was read: anything but a store commits first. False when
  // the connection was ended instead.
  bool comandoLido(int codigo);
  // One store of caminho (empty: its bytes are only read and dropped) with
  // tamanhoArquivo announced bytes, received and kept for the commit, or
  // logged when it fails.
  void receber(const std::string& caminho, int64_t tamanhoArquivo, bool* tranferindo);
  // Commits what is kept and lets what was held go. False when the
  // connection was ended instead.
  bool confirmar();

 private:
  struct TPendente {
    std::unique_ptr<TFileTransferManager> gravacao;
    size_t marca;  // where its closing reply starts among the held bytes
    bool falhou;   // its failure is logged
    uint64_t numero;  // its name's number where one commit holds it (TDescargaConjunta)
  };

  // Whether caminho may join the batch without a commit first.
  bool cabe(const std::string& caminho, int64_t tamanho) const;
  void guardarAlvo(const std::string& caminho);
  // Makes every pending store durable: the index of the first one that
  // could not be, or the count of them.
  size_t gravarTudo();
  // Flushes the named stores grupo (indexes into pendentes) of one file
  // system, or of one folder where each folder is flushed: 0 or the errno.
  int descarregar(const std::vector<size_t>& grupo);
  // The connection, ending, asks TDescargaConjunta for no more commits.
  void pararDeGravar();
  // Logs the failure of pendentes[i] for motivo, once.
  void falhar(size_t i, const std::string& motivo);

  Stream* stream;
  int pidLog;
  std::vector<TPendente> pendentes;
  std::set<std::string> alvos;   // targets of the pending stores
  std::set<std::string> pastas;  // folders above them
  bool gravando;                 // known to TDescargaConjunta on discoGravando
  dev_t discoGravando;
  int arquivos;                  // stores since the last commit, failed ones too
  int64_t bytes;                 // their announced bytes
};

#endif
