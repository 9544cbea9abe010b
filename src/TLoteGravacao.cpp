#include "TLoteGravacao.h"

#include <sys/types.h>
#include <unistd.h>

#include <map>
#include <utility>

#include "Stream.h"
#include "TDescargaConjunta.h"
#include "TFileTransferManager.h"

TLoteGravacao::TLoteGravacao(int pidLog) : pidLog(pidLog), bytes(0) {}

// Stores still kept are committed by the owner before it goes; any left
// here (an exception on the way out) lose only their temporary files.
TLoteGravacao::~TLoteGravacao() {}

void TLoteGravacao::receber(Stream* stream, const std::string& caminho, int64_t tamanhoArquivo,
                            bool* tranferindo) {
  std::unique_ptr<TFileTransferManager> gravacao(
      new TFileTransferManager(caminho, tamanhoArquivo, pidLog));
  // Each kept store holds its file and its folder open: when descriptors
  // run out, the batch so far is committed, which closes them.
  bool recebido = gravacao->receberParaTemporario(stream, tranferindo, [&] {
    if (gravacoes.empty()) return false;
    confirmar(stream);
    return true;
  });
  if (!recebido) return;
  bytes += tamanhoArquivo;
  gravacoes.push_back(std::move(gravacao));
  stream->reterSaida();
}

bool TLoteGravacao::cheio() const {
  return gravacoes.size() >= static_cast<size_t>(MAXIMO_ARQUIVOS) || bytes >= MAXIMO_BYTES;
}

void TLoteGravacao::confirmar(Stream* stream) {
  if (!gravacoes.empty()) gravarTudo();
  stream->terminarRetencao();
}

void TLoteGravacao::gravarTudo() {
  std::vector<TFileTransferManager*> prontas;
  if (gravacoes.size() == 1) {
    // A lone store, as a peer that waits for each reply sends: its own
    // fsync and its folder's cost less than two flushes of the file system.
    TFileTransferManager* gravacao = gravacoes[0].get();
    if (gravacao->escreverDados(true) && gravacao->colocarNoLugar()) {
      fsync(gravacao->pastaDoAlvo());  // fails harmlessly on a path-only descriptor
    }
  } else {
    // One flush of the file system for all the data, one for all the names:
    // an fsync per file costs a journal commit each (measured ten times slower).
    for (auto& gravacao : gravacoes) gravacao->iniciarEscrita();
    for (auto& gravacao : gravacoes) {
      if (gravacao->escreverDados(false)) prontas.push_back(gravacao.get());
    }
    std::vector<TFileTransferManager*> colocadas;
    for (TFileTransferManager* gravacao : descarregar(prontas, true)) {
      if (gravacao->colocarNoLugar()) colocadas.push_back(gravacao);
    }
    descarregar(colocadas, false);
  }
  gravacoes.clear();
  bytes = 0;
}

std::vector<TFileTransferManager*> TLoteGravacao::descarregar(
    const std::vector<TFileTransferManager*>& gravacoes, bool falhaDesiste) {
  std::map<dev_t, int> erroDoDisco;
  std::vector<TFileTransferManager*> duraveis;
  for (TFileTransferManager* gravacao : gravacoes) {
    dev_t disco = gravacao->discoDoAlvo();
    auto feito = erroDoDisco.find(disco);
    if (feito == erroDoDisco.end()) {
      // Fails harmlessly on a path-only folder descriptor, as a lone store's fsync.
      int fd = gravacao->descritorNoDisco();
      feito = erroDoDisco.emplace(disco, TDescargaConjunta::descarregar(disco, fd)).first;
    }
    if (feito->second == 0 || !falhaDesiste) {
      duraveis.push_back(gravacao);
    } else {
      gravacao->falharConclusao(feito->second);
    }
  }
  return duraveis;
}
