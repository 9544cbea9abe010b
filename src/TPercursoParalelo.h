#ifndef TPERCURSOPARALELO_H
#define TPERCURSOPARALELO_H

#include <memory>
#include <string>
#include <vector>

#include "TPercurso.h"

class TPoolLeitura;

// One walk whose directory reads and status queries run ahead on the
// process's reader threads (TPoolLeitura), many at once, while the calling
// thread hands the records to the receiver in exactly the order, and with
// exactly the content, of the plain walk (TPercurso). What is read ahead is
// bounded (folders and entries), and the calling thread does a job itself
// whenever the one it needs next has not started, so a busy pool only
// slows a walk down. The entries are classified on the reader threads and
// consumed on the calling thread, both by the rules, which the caller keeps
// alive. Made on the stack for one walk, on the thread that made regras.
class TPercursoParalelo {
 public:
  TPercursoParalelo(TRegrasPercurso* regras, TPoolLeitura* pool);
  // Waits until no reader thread works for this walk any more.
  virtual ~TPercursoParalelo();

  TPercursoParalelo(const TPercursoParalelo&) = delete;
  TPercursoParalelo& operator=(const TPercursoParalelo&) = delete;

  // Walks dirname as TPercurso::executar does. A job that failed on a reader
  // thread (out of memory) throws here.
  void executar(const std::string& dirname);

 private:
  struct TPasta;
  struct TEstado;

  // One job for a reader thread, if one may start now.
  bool trabalhar();
  // Reads the folder's entries and the status of its first block.
  void lerPasta(TPasta* pasta);
  // The status of the entries of one block of a folder already read.
  void lerBloco(TPasta* pasta, size_t bloco);
  // The work of lerBloco, unpublished; the sub-folders to read go to *novas.
  void lerDados(TPasta* pasta, size_t bloco, std::vector<TPasta*>* novas);
  // Until the folder is read, or its block is, doing the job here when no
  // one has started it.
  void garantirLida(TPasta* pasta);
  void garantirBloco(TPasta* pasta, size_t bloco);
  // Hands over entry i of pasta; a folder to walk goes on the stack.
  void consumir(TPasta* pasta, size_t i);
  void sair(TPasta* pasta);
  void falhou();

  TRegrasPercurso* regras;
  TPoolLeitura* pool;
  std::unique_ptr<TEstado> estado;
};

#endif
