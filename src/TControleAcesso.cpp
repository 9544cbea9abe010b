#include "TControleAcesso.h"

#include <algorithm>

#include "TUtils.h"

namespace {

// Longest part of a refused user name written to the log.
const size_t USUARIO_NO_LOG = 128;

}  // namespace

TControleAcesso::TControleAcesso(bool restringir, const std::vector<TRedeIP>& permitidos,
                                 int maxSemLogin, int maxPorEndereco, int penalidade, int pidLog)
    : restringir(restringir),
      permitidos(permitidos),
      maxSemLogin(maxSemLogin),
      maxPorEndereco(maxPorEndereco),
      penalidade(std::min(penalidade, MAXIMO_PENALIDADE)),
      pidLog(pidLog),
      semLogin(0),
      registro(pidLog) {}

TControleAcesso::~TControleAcesso() {}

bool TControleAcesso::admitir(const TEnderecoIP& ip, TRelogio::time_point agora) {
  std::lock_guard<std::mutex> guarda(trava);
  if (!permitido(ip)) {
    recusar(ip, "endereço fora de servidoresPermitidos", agora);
    return false;
  }
  TChave chave = ip.chave();
  std::string motivo;
  if (emPenalidade(chave, agora, &motivo)) {
    recusar(ip, motivo, agora);
    return false;
  }
  int& doEndereco = semLoginPorEndereco[chave];
  // The address's own cap first: one address must not hold the door for all.
  if (maxPorEndereco > 0 && doEndereco >= maxPorEndereco) {
    recusar(
        ip,
        IntToStr(doEndereco) + " conexões deste endereço ainda sem login (maxSemLoginPorEndereco)",
        agora);
  } else if (maxSemLogin > 0 && semLogin >= maxSemLogin) {
    recusar(ip, IntToStr(semLogin) + " conexões ainda sem login (maxConexoesSemLogin)", agora);
  } else {
    ++doEndereco;
    ++semLogin;
    return true;
  }
  if (doEndereco == 0) semLoginPorEndereco.erase(chave);
  return false;
}

bool TControleAcesso::penalizado(const TEnderecoIP& ip, TRelogio::time_point agora) {
  std::lock_guard<std::mutex> guarda(trava);
  std::string motivo;
  if (!emPenalidade(ip.chave(), agora, &motivo)) return false;
  registro.registrar(ip.chave(), "Login de " + ip.texto() + " encerrado sem resposta: " + motivo,
                     agora);
  return true;
}

void TControleAcesso::loginTerminado(const TEnderecoIP& ip, TFimLogin fim,
                                     TRelogio::time_point agora) {
  std::lock_guard<std::mutex> guarda(trava);
  TChave chave = ip.chave();
  if (semLogin > 0) --semLogin;
  auto doEndereco = semLoginPorEndereco.find(chave);
  if (doEndereco != semLoginPorEndereco.end() && --doEndereco->second <= 0) {
    semLoginPorEndereco.erase(doEndereco);
  }
  if (penalidade <= 0) return;
  if (fim == LOGIN_ACEITO) {
    auto estado = enderecos.find(chave);
    // A success ends what the address had built up, but not a penalty
    // already running: connections opened before it must not undo it.
    if (estado != enderecos.end() && estado->second.penalizadoAte <= agora) enderecos.erase(estado);
  }
  if (fim == LOGIN_RECUSADO) registrarFalha(chave, agora);
}

void TControleAcesso::logarLoginRecusado(const TEnderecoIP& ip, const std::string& usuario,
                                         int codigo, TRelogio::time_point agora) {
  std::string nome =
      usuario.size() > USUARIO_NO_LOG ? usuario.substr(0, USUARIO_NO_LOG) + "..." : usuario;
  std::lock_guard<std::mutex> guarda(trava);
  // Control bytes in the name are escaped by the log itself.
  registro.registrar(
      ip.chave(),
      "Login recusado de " + ip.texto() + ": usuário \"" + nome + "\", código " + IntToStr(codigo),
      agora);
}

int TControleAcesso::conexoesSemLogin() const {
  std::lock_guard<std::mutex> guarda(trava);
  return semLogin;
}

bool TControleAcesso::permitido(const TEnderecoIP& ip) const {
  if (!restringir) return true;
  for (const TRedeIP& rede : permitidos) {
    if (ip.estaNaRede(rede)) return true;
  }
  return false;
}

bool TControleAcesso::emPenalidade(const TChave& chave, TRelogio::time_point agora,
                                   std::string* motivo) const {
  auto estado = enderecos.find(chave);
  if (estado == enderecos.end() || estado->second.penalizadoAte <= agora) return false;
  auto resta =
      std::chrono::duration_cast<std::chrono::seconds>(estado->second.penalizadoAte - agora);
  *motivo = "penalidade por logins recusados, mais " + IntToStr(resta.count() + 1) + " segundos";
  return true;
}

TControleAcesso::TEstadoEndereco* TControleAcesso::acompanhar(const TChave& chave,
                                                              TRelogio::time_point agora) {
  auto achado = enderecos.find(chave);
  if (achado == enderecos.end()) {
    if (enderecos.size() >= ENDERECOS_ACOMPANHADOS) {
      // The address heard from longest ago goes, unless it is still paying:
      // a flood of other addresses must not set a penalized one free.
      auto maisAntigo = enderecos.end();
      for (auto i = enderecos.begin(); i != enderecos.end(); ++i) {
        if (i->second.penalizadoAte > agora) continue;
        if (maisAntigo == enderecos.end() || i->second.ultimoUso < maisAntigo->second.ultimoUso) {
          maisAntigo = i;
        }
      }
      if (maisAntigo == enderecos.end()) return nullptr;
      enderecos.erase(maisAntigo);
    }
    achado = enderecos.emplace(chave, TEstadoEndereco()).first;
  }
  achado->second.ultimoUso = agora;
  return &achado->second;
}

void TControleAcesso::registrarFalha(const TChave& chave, TRelogio::time_point agora) {
  TEstadoEndereco* estado = acompanhar(chave, agora);
  if (estado == nullptr) return;
  // A sliding window: the failures of the last minute, whenever they came.
  estado->falhas.push_back(agora);
  while (!estado->falhas.empty() &&
         agora - estado->falhas.front() >= std::chrono::seconds(JANELA_FALHAS_S)) {
    estado->falhas.pop_front();
  }
  if (static_cast<int>(estado->falhas.size()) < penalidade) return;
  int segundos = PENALIDADE_INICIAL_S;
  for (int i = 0; i < estado->repeticoes && segundos < PENALIDADE_MAXIMA_S; ++i) segundos *= 2;
  segundos = std::min(segundos, PENALIDADE_MAXIMA_S);
  estado->penalizadoAte = std::max(estado->penalizadoAte, agora) + std::chrono::seconds(segundos);
  ++estado->repeticoes;
  estado->falhas.clear();
  log.WriteLog("Endereço " + chave.textoDaChave() + " penalizado por " + IntToStr(segundos) +
                   " segundos após " + IntToStr(penalidade) + " logins recusados",
               pidLog, false);
}

void TControleAcesso::recusar(const TEnderecoIP& ip, const std::string& motivo,
                              TRelogio::time_point agora) {
  registro.registrar(ip.chave(), "Conexão de " + ip.texto() + " recusada: " + motivo, agora);
}
