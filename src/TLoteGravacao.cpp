#include "TLoteGravacao.h"

#include <sys/stat.h>
#include <unistd.h>

#include <set>
#include <utility>

#include "Stream.h"
#include "TFileTransferManager.h"

TLoteGravacao::TLoteGravacao(int pidLog) : pidLog(pidLog), bytes(0) {}

// Stores still kept are committed by the owner before it goes; any left
// here (an exception on the way out) lose only their temporary files.
TLoteGravacao::~TLoteGravacao() {}

void TLoteGravacao::receber(Stream* stream, const std::string& caminho, int64_t tamanhoArquivo,
                            bool* tranferindo) {
  std::unique_ptr<TFileTransferManager> gravacao(
      new TFileTransferManager(caminho, 0, tamanhoArquivo, pidLog));
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

bool TLoteGravacao::deveConfirmar(Stream* stream) const {
  if (!stream->retendoSaida()) return false;
  if (gravacoes.size() >= static_cast<size_t>(MAXIMO_ARQUIVOS) || bytes >= MAXIMO_BYTES) {
    return true;
  }
  return !stream->haDadosEsperando();
}

void TLoteGravacao::confirmar(Stream* stream) {
  if (!gravacoes.empty()) gravarTudo();
  stream->liberarSaida();
}

void TLoteGravacao::gravarTudo() {
  // All the files' writeback starts at once; each fsync then mostly waits
  // for writes already under way.
  if (gravacoes.size() > 1) {
    for (auto& gravacao : gravacoes) gravacao->iniciarEscrita();
  }
  std::vector<TFileTransferManager*> duraveis;
  for (auto& gravacao : gravacoes) {
    if (gravacao->gravarDados()) duraveis.push_back(gravacao.get());
  }
  std::vector<int> pastas;
  for (TFileTransferManager* gravacao : duraveis) {
    if (gravacao->colocarNoLugar()) pastas.push_back(gravacao->pastaDoAlvo());
  }
  tornarNomesDuraveis(pastas);
  gravacoes.clear();
  bytes = 0;
}

void TLoteGravacao::tornarNomesDuraveis(const std::vector<int>& pastas) {
  std::set<std::pair<dev_t, ino_t>> feitas;
  for (int pasta : pastas) {
    struct stat st {};
    if (fstat(pasta, &st) == 0 && !feitas.insert({st.st_dev, st.st_ino}).second) continue;
    // Fails harmlessly on a path-only descriptor, as a lone store's did.
    fsync(pasta);
  }
}
