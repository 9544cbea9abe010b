#include "TLoteGravacao.h"

#include <algorithm>
#include <map>
#include <stdexcept>
#include <utility>

#include "Stream.h"
#include "TCPCliente.h"
#include "TDescargaConjunta.h"
#include "TFileTransferManager.h"
#include "TUtils.h"

namespace {

// Logged for a store of a batch whose commit ended the connection before
// its reply: it may be on disk, but it was never acknowledged.
const char* const MOTIVO_NAO_CONFIRMADA = "conexão encerrada antes da confirmação";

}  // namespace

TLoteGravacao::TLoteGravacao(Stream* stream, int pidLog)
    : stream(stream), pidLog(pidLog), gravando(false), discoGravando(0), arquivos(0), bytes(0) {}

// Stores still kept are committed by the owner before it goes; any left
// here (an exception on the way out) lose only their temporary files.
TLoteGravacao::~TLoteGravacao() { pararDeGravar(); }

bool TLoteGravacao::comandoLido(int codigo) {
  return codigo == CMD_AGENTE_LINUX_PUT_FILE || confirmar();
}

void TLoteGravacao::pararDeGravar() {
  if (gravando) TDescargaConjunta::sair(discoGravando, this);
  gravando = false;
}

void TLoteGravacao::receber(const std::string& caminho, int64_t tamanhoArquivo, bool* tranferindo) {
  int64_t tamanho = std::max<int64_t>(0, tamanhoArquivo);
  if (!cabe(caminho, tamanho) && !confirmar()) return;
  std::unique_ptr<TFileTransferManager> gravacao;
  if (caminho.empty()) {
    // Nothing on disk is touched, but bytes announced must still leave the stream.
    TFileTransferManager::descartarDados(stream, tamanho);
  } else {
    gravacao.reset(new TFileTransferManager(caminho, tamanho, pidLog));
    // Each kept store holds its file and its folder open: when descriptors
    // run out, the batch so far is committed, which closes them.
    if (!gravacao->receberParaTemporario(stream, tranferindo,
                                         [this] { return !pendentes.empty() && confirmar(); })) {
      gravacao.reset();
    }
  }
  ++arquivos;
  bytes += tamanho;
  if (!gravacao) return;
  pendentes.push_back(TPendente{std::move(gravacao), 0, false, 0});
  // From here on every byte waits for the commit; its closing reply is next.
  stream->reterSaida();
  pendentes.back().marca = stream->tamanhoRetido();
  guardarAlvo(caminho);
}

bool TLoteGravacao::cabe(const std::string& caminho, int64_t tamanho) const {
  if (arquivos >= MAXIMO_ARQUIVOS || stream->tamanhoRetido() >= MAXIMO_RETIDO) return false;
  if (bytes > 0 && tamanho > MAXIMO_BYTES - bytes) return false;
  // A store that meets a pending one's target would find it not yet in
  // place: it is made as if that one had been acknowledged first.
  if (alvos.count(caminho) != 0 || pastas.count(caminho) != 0) return false;
  for (size_t barra = caminho.find('/', 1); barra != std::string::npos;
       barra = caminho.find('/', barra + 1)) {
    if (alvos.count(caminho.substr(0, barra)) != 0) return false;
  }
  return true;
}

void TLoteGravacao::guardarAlvo(const std::string& caminho) {
  alvos.insert(caminho);
  for (size_t barra = caminho.find('/', 1); barra != std::string::npos;
       barra = caminho.find('/', barra + 1)) {
    pastas.insert(caminho.substr(0, barra));
  }
}

bool TLoteGravacao::confirmar() {
  arquivos = 0;
  bytes = 0;
  alvos.clear();
  pastas.clear();
  size_t corte = pendentes.size();
  try {
    if (!pendentes.empty()) corte = gravarTudo();
  } catch (const std::exception& e) {
    // Whatever it had done, the batch is not known to be durable.
    corte = 0;
    for (size_t i = 0; i < pendentes.size(); ++i) falhar(i, e.what());
  }
  bool duravel = corte == pendentes.size();
  size_t marca = duravel ? 0 : pendentes[corte].marca;
  pendentes.clear();  // closes every file and folder; an unnamed file vanishes
  if (duravel) {
    stream->terminarRetencao();
    return true;
  }
  stream->encerrarCortando(marca);
  return false;
}

size_t TLoteGravacao::gravarTudo() {
  size_t n = pendentes.size(), corte = n;
  // All written out at once: the disk takes them together.
  if (n > 1) {
    for (TPendente& p : pendentes) p.gravacao->iniciarEscrita();
  }
  // A store whose data cannot be made durable ends the batch there; those
  // before it go on. escreverDados and colocarNoLugar log their failures.
  for (size_t i = 0; i < corte; ++i) {
    if (!pendentes[i].gravacao->escreverDados()) {
      pendentes[i].falhou = true;
      corte = i;
    }
  }
  std::map<dev_t, std::vector<size_t>> porDisco;
  std::map<std::string, std::vector<size_t>> porPasta;
  for (size_t i = 0; i < corte; ++i) {
    TFileTransferManager* gravacao = pendentes[i].gravacao.get();
    bool umaConfirmacao = gravacao->modo() == TRegraDescarga::UMA_CONFIRMACAO;
    bool nomeado = umaConfirmacao ? TDescargaConjunta::nomear(
                                        [gravacao] { return gravacao->colocarNoLugar(); },
                                        &pendentes[i].numero)
                                  : gravacao->colocarNoLugar();
    if (!nomeado) {
      pendentes[i].falhou = true;
    } else if (umaConfirmacao) {
      porDisco[gravacao->discoDoAlvo()].push_back(i);
    } else {
      porPasta[gravacao->pastaDoAlvo()].push_back(i);
    }
  }
  auto descarregarGrupos = [&](const auto& grupos) {
    for (const auto& grupo : grupos) {
      int erro = descarregar(grupo.second);
      if (erro == 0) continue;
      for (size_t i : grupo.second) falhar(i, textoDoErro(erro));
      corte = std::min(corte, grupo.second.front());
    }
  };
  descarregarGrupos(porDisco);
  descarregarGrupos(porPasta);
  for (size_t i = corte; i < n; ++i) falhar(i, MOTIVO_NAO_CONFIRMADA);
  return corte;
}

int TLoteGravacao::descarregar(const std::vector<size_t>& grupo) {
  TFileTransferManager* primeira = pendentes[grupo.front()].gravacao.get();
  if (primeira->modo() != TRegraDescarga::UMA_CONFIRMACAO) {
    // The data is durable already (escreverDados): the folder holds the names.
    return primeira->descarregarPasta();
  }
  // Through the last file named: a folder may be open only as a path, and
  // that file's commit holds every earlier name.
  const TPendente& ultima = pendentes[grupo.back()];
  dev_t disco = ultima.gravacao->discoDoAlvo();
  if (gravando && discoGravando != disco) pararDeGravar();
  gravando = true;
  discoGravando = disco;
  return TDescargaConjunta::confirmar(disco, this, ultima.numero,
                                      ultima.gravacao->descritorArquivo());
}

void TLoteGravacao::falhar(size_t i, const std::string& motivo) {
  if (pendentes[i].falhou) return;
  pendentes[i].falhou = true;
  try {
    pendentes[i].gravacao->registrarFalha(motivo);
  } catch (const std::exception&) {
    // Out of memory: the line is lost, the store still counts as failed.
  }
}
