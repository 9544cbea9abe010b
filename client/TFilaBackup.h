#ifndef TFILABACKUP_H
#define TFILABACKUP_H

#include <condition_variable>
#include <deque>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "TArquivoBackup.h"

class TCanal;

// The files a whole backup's listing has found so far, and the folders they
// are in, while the listing goes on: large files first as they are found,
// the rest in lots of one folder. Elements never move once added (deques),
// so a request may keep a pointer to its file. Any thread.
class TFilaBackup {
 public:
  // A file and its folder (relative to the copy's root).
  typedef std::vector<std::pair<const TArquivoBackup*, const std::string*>> TLoteFila;

  // remoto is the root folder, listed first (index 0, pending).
  explicit TFilaBackup(const std::string& remoto);

  // False when the folder was seen before: each is listed once.
  bool marcarVista(const std::string& caminho);
  // A new folder's index; its listing is pending until terminarListagem.
  int acrescentarPasta(const std::string& relativo);
  std::string pasta(int indice);
  void acrescentarArquivos(std::vector<TArquivoBackup>* novos);
  // One listing fewer to wait for; all done when none is left or ok is false.
  void terminarListagem(bool ok);
  // Every listing answered.
  bool listada();

  // The next lot for canal, waiting while the listing may still find more.
  // True with an empty lot when canal has follow-ups to send first; false
  // once it is done and used up, or the channel failed.
  bool tomarLote(TCanal* canal, TLoteFila* lote);

 private:
  // Under trava: waits for a file or the end; false when canal must go on.
  bool esperar(TCanal* canal, std::unique_lock<std::mutex>* guarda, bool* seguintes);
  void tirar(TLoteFila* lote);
  const std::string* pastaDe(const TArquivoBackup* arquivo);

  std::mutex trava;
  std::condition_variable mudou;
  std::deque<TArquivoBackup> arquivos;
  std::deque<std::string> pastas;  // relative to the copy's root
  std::deque<size_t> grandes;      // large files first, as they are found
  std::deque<size_t> pequenos;     // the rest, folder by folder
  std::set<std::string> vistas;    // folders asked for, each once
  int listagensPendentes = 1;      // folder listings asked for and not answered
  bool terminada = false;          // every folder listed (or the listing failed)
};

#endif
