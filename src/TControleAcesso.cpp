#include "TControleAcesso.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstdlib>

#include "TUtils.h"

TControleAcesso::TControleAcesso(bool restringir, const std::vector<TRedeIPv4>& permitidos,
                                 int maxSemLogin, int penalidade, int pidLog)
    : restringir(restringir),
      permitidos(permitidos),
      maxSemLogin(maxSemLogin),
      penalidade(penalidade),
      pidLog(pidLog),
      semLogin(0),
      fichasDeLog(RECUSAS_EM_RAJADA),
      recusasNaoLogadas(0),
      ultimaFicha(TRelogio::now()) {}

TControleAcesso::~TControleAcesso() {}

bool TControleAcesso::admitir(uint32_t ip, TRelogio::time_point agora) {
  std::lock_guard<std::mutex> guarda(trava);
  if (!permitido(ip)) {
    logarRecusa(ip, "endereço fora de servidoresPermitidos", agora);
    return false;
  }
  TEstadoEndereco* estado = procurar(ip);
  if (estado != nullptr && estado->penalizadoAte > agora) {
    auto resta = std::chrono::duration_cast<std::chrono::seconds>(estado->penalizadoAte - agora);
    logarRecusa(
        ip, "penalidade por logins recusados, mais " + IntToStr(resta.count() + 1) + " segundos",
        agora);
    return false;
  }
  if (maxSemLogin > 0 && semLogin >= maxSemLogin) {
    logarRecusa(ip, IntToStr(semLogin) + " conexões ainda sem login (maxConexoesSemLogin)", agora);
    return false;
  }
  ++semLogin;
  return true;
}

void TControleAcesso::loginTerminado(uint32_t ip, TFimLogin fim, TRelogio::time_point agora) {
  std::lock_guard<std::mutex> guarda(trava);
  if (semLogin > 0) --semLogin;
  if (penalidade <= 0) return;
  if (fim == LOGIN_ACEITO) esquecer(ip);
  if (fim == LOGIN_RECUSADO) registrarFalha(ip, agora);
}

int TControleAcesso::conexoesSemLogin() const {
  std::lock_guard<std::mutex> guarda(trava);
  return semLogin;
}

bool TControleAcesso::permitido(uint32_t ip) const {
  if (!restringir) return true;
  for (const TRedeIPv4& rede : permitidos) {
    if ((ip & rede.mascara) == rede.endereco) return true;
  }
  return false;
}

TControleAcesso::TEstadoEndereco* TControleAcesso::procurar(uint32_t ip) {
  for (TEstadoEndereco& estado : enderecos) {
    if (estado.ip == ip) return &estado;
  }
  return nullptr;
}

TControleAcesso::TEstadoEndereco* TControleAcesso::acompanhar(uint32_t ip,
                                                              TRelogio::time_point agora) {
  TEstadoEndereco* estado = procurar(ip);
  if (estado == nullptr) {
    // A full table forgets the address it heard from longest ago.
    if (enderecos.size() >= ENDERECOS_ACOMPANHADOS) {
      auto maisAntigo = std::min_element(enderecos.begin(), enderecos.end(),
                                         [](const TEstadoEndereco& a, const TEstadoEndereco& b) {
                                           return a.ultimoUso < b.ultimoUso;
                                         });
      enderecos.erase(maisAntigo);
    }
    enderecos.push_back(TEstadoEndereco{ip, 0, 0, agora, agora, agora});
    estado = &enderecos.back();
  }
  estado->ultimoUso = agora;
  return estado;
}

void TControleAcesso::registrarFalha(uint32_t ip, TRelogio::time_point agora) {
  TEstadoEndereco* estado = acompanhar(ip, agora);
  if (agora - estado->inicioJanela > std::chrono::seconds(JANELA_FALHAS_S)) {
    estado->inicioJanela = agora;
    estado->falhas = 0;
  }
  if (++estado->falhas < penalidade) return;
  int segundos = PENALIDADE_INICIAL_S;
  for (int i = 0; i < estado->repeticoes && segundos < PENALIDADE_MAXIMA_S; ++i) segundos *= 2;
  segundos = std::min(segundos, PENALIDADE_MAXIMA_S);
  estado->penalizadoAte = agora + std::chrono::seconds(segundos);
  ++estado->repeticoes;
  estado->falhas = 0;
  estado->inicioJanela = agora;
  log.WriteLog("Endereço " + textoDoEndereco(ip) + " penalizado por " + IntToStr(segundos) +
                   " segundos após " + IntToStr(penalidade) + " logins recusados",
               pidLog, false);
}

void TControleAcesso::esquecer(uint32_t ip) {
  TEstadoEndereco* estado = procurar(ip);
  if (estado == nullptr) return;
  *estado = enderecos.back();
  enderecos.pop_back();
}

void TControleAcesso::logarRecusa(uint32_t ip, const std::string& motivo,
                                  TRelogio::time_point agora) {
  // A flood of refused connections must not fill the disk: a burst is
  // logged, then one line every few seconds, and the count of the rest.
  std::chrono::duration<double> passou = agora - ultimaFicha;
  ultimaFicha = agora;
  fichasDeLog = std::min<double>(RECUSAS_EM_RAJADA,
                                 fichasDeLog + std::max(0.0, passou.count()) / SEGUNDOS_POR_RECUSA);
  if (fichasDeLog < 1) {
    ++recusasNaoLogadas;
    return;
  }
  fichasDeLog -= 1;
  if (recusasNaoLogadas > 0) {
    log.WriteLog(IntToStr(recusasNaoLogadas) + " recusas de conexão não registradas no log", pidLog,
                 false);
    recusasNaoLogadas = 0;
  }
  log.WriteLog("Conexão de " + textoDoEndereco(ip) + " recusada: " + motivo, pidLog, false);
}

bool TControleAcesso::lerRede(const std::string& texto, TRedeIPv4* rede) {
  size_t barra = texto.find('/');
  std::string endereco = texto.substr(0, barra);
  int bits = 32;
  if (barra != std::string::npos) {
    std::string prefixo = texto.substr(barra + 1);
    if (prefixo.empty() || prefixo.size() > 2 ||
        prefixo.find_first_not_of("0123456789") != std::string::npos) {
      return false;
    }
    bits = std::atoi(prefixo.c_str());
    if (bits > 32) return false;
  }
  struct in_addr valor;
  if (inet_pton(AF_INET, endereco.c_str(), &valor) != 1) return false;
  rede->mascara = bits == 0 ? 0 : ~uint32_t(0) << (32 - bits);
  rede->endereco = ntohl(valor.s_addr) & rede->mascara;
  return true;
}

std::string TControleAcesso::textoDoEndereco(uint32_t ip) {
  struct in_addr valor;
  valor.s_addr = htonl(ip);
  char texto[INET_ADDRSTRLEN];
  if (inet_ntop(AF_INET, &valor, texto, sizeof texto) == nullptr) return "?";
  return texto;
}
