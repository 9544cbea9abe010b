#ifndef TARQUIVOTEMPORARIO_H
#define TARQUIVOTEMPORARIO_H

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#include "TDescritor.h"

// A fetch's file while it fills: a new private file of our own beside its
// final name, written sparse (a whole file-system block of zeros becomes a
// hole), renamed into place once complete, removed otherwise when it goes.
// Used by one thread at a time.
class TArquivoTemporario {
 public:
  TArquivoTemporario() = default;
  ~TArquivoTemporario();
  TArquivoTemporario(const TArquivoTemporario&) = delete;
  TArquivoTemporario& operator=(const TArquivoTemporario&) = delete;

  // The file beside nome in the folder pastaFd (which it keeps a duplicate
  // of): never an existing one, never a link. False with errno.
  bool criar(int pastaFd, const std::string& nome);
  int getFd() const { return fd.get(); }
  // The next n bytes of the file. False with errno.
  bool escrever(const char* dados, size_t n);
  // Gives the file its modification time (when temData), makes it durable
  // when asked (a copy flushed as a whole at its end is not), and renames
  // it into place. False with the reason.
  bool colocar(bool temData, time_t quando, bool duravel, std::string* motivo);

 private:
  bool fecharEColocar(bool temData, time_t quando, bool duravel);
  // n bytes (whole blocks) at posicao, the blocks of zeros left as holes.
  bool gravarBlocos(const char* dados, size_t n);
  // The last part block, then the length, which a final hole leaves short.
  bool completar();

  TDescritor pasta, fd;
  size_t bloco = 4096;         // the file system's
  std::vector<char> pendente;  // the start of a block not yet whole, at posicao
  int64_t posicao = 0;         // where the next whole block goes
  bool buraco = false;         // some block was left out: the length is set at the end
  std::string nome, temporario;
  bool colocado = false;
};

#endif
