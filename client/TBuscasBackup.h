#ifndef TBUSCASBACKUP_H
#define TBUSCASBACKUP_H

#include <cstdint>
#include <memory>
#include <string>

#include "InfoObjectLinux.h"
#include "TArquivoBackup.h"

class TBuscaConferida;
class TCanal;
class TContagemCopia;

// A backup's fetches: each file asked for over a channel, received into a
// temporary copy in its folder below raiz, then checked against a fresh
// record before it is renamed into place, fetched again when it changed
// meanwhile, or reported. Made by TBackupArvore; pedirArquivo runs on a
// channel's writer thread (or in a reply's handler), the handlers it leaves
// on that channel's reader thread.
class TBuscasBackup {
 public:
  // The reader thread's open folder, kept while its files come one after another.
  struct TLeitor {
    int pasta = -1;
    int pastaFd = -1;
    int erroPasta = 0;
    ~TLeitor();
  };

  // contagem (the counts and progress line) and the folder raiz must stay
  // open while this lives; files are asked for in chunks of bloco bytes.
  TBuscasBackup(TContagemCopia* contagem, int raiz, int bloco);

  // Asks for one file; its reply is fetched into pasta (relative to raiz).
  // arquivo, pasta and leitor must stay in place until the reply has been read.
  void pedirArquivo(TCanal* canal, const TArquivoBackup* arquivo, const std::string* pasta,
                    TLeitor* leitor);

 private:
  // One fetch's request, what its handlers need.
  struct TPedidoBusca {
    const TArquivoBackup* arquivo;
    const std::string* pasta;  // relative to raiz
    TLeitor* leitor;
    std::shared_ptr<TBuscaConferida> busca;
    int buscas;  // fetches of this file so far, this one included
  };

  void pedirArquivo(TCanal* canal, const TPedidoBusca& pedido);
  // The size reply and the chunks, into the fetch's temporary copy.
  bool buscarArquivo(TCanal* canal, const TPedidoBusca& pedido);
  void abrirPastaDoLeitor(const TPedidoBusca& pedido);
  bool receberPedacos(TCanal* canal, int64_t tamanho, TBuscaConferida* busca);
  // The record after the fetch: the copy is put in place, fetched once
  // more when the file changed meanwhile, or reported.
  bool conferirBusca(TCanal* canal, const TPedidoBusca& pedido);
  bool buscarDeNovo(TCanal* canal, const TPedidoBusca& pedido, const InfoObjectLinux& depois,
                    const std::string& como);

  TContagemCopia* contagem;
  int raiz;
  int bloco;
};

#endif
