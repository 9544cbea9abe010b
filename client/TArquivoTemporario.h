#ifndef TARQUIVOTEMPORARIO_H
#define TARQUIVOTEMPORARIO_H

#include <ctime>
#include <string>

#include "TDescritor.h"

// A fetch's file while it fills: a new private file of our own beside its
// final name, renamed into place once complete, removed otherwise when it
// goes. Used by one thread at a time.
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
  // Gives the file its modification time (when temData), makes it durable
  // when asked (a copy flushed as a whole at its end is not), and renames
  // it into place. False with the reason.
  bool colocar(bool temData, time_t quando, bool duravel, std::string* motivo);

 private:
  bool fecharEColocar(bool temData, time_t quando, bool duravel);

  TDescritor pasta, fd;
  std::string nome, temporario;
  bool colocado = false;
};

#endif
