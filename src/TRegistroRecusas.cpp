#include "TRegistroRecusas.h"

#include <algorithm>

#include "TUtils.h"

namespace {

// Refills *fichas for the time since *ultima at porSegundo, up to maximo.
void reabastecer(double* fichas, TRegistroRecusas::TRelogio::time_point* ultima,
                 TRegistroRecusas::TRelogio::time_point agora, double porSegundo, double maximo) {
  std::chrono::duration<double> passou = agora - *ultima;
  if (passou.count() > 0) {
    *fichas = std::min(maximo, *fichas + passou.count() * porSegundo);
    *ultima = agora;
  }
}

}  // namespace

TRegistroRecusas::TRegistroRecusas(int pidLog)
    : pidLog(pidLog),
      fichasGerais(RECUSAS_EM_RAJADA_GERAL),
      ultimaGeral(TRelogio::now()),
      omitidasGerais(0) {}

TRegistroRecusas::~TRegistroRecusas() {}

TRegistroRecusas::TBalde& TRegistroRecusas::baldeDe(const TEnderecoIP& chave,
                                                    TRelogio::time_point agora) {
  auto achado = baldes.find(chave);
  if (achado != baldes.end()) return achado->second;
  if (baldes.size() >= ENDERECOS_ACOMPANHADOS) {
    auto maisAntigo = std::min_element(
        baldes.begin(), baldes.end(),
        [](const auto& a, const auto& b) { return a.second.ultima < b.second.ultima; });
    baldes.erase(maisAntigo);
  }
  return baldes.emplace(chave, TBalde{RECUSAS_EM_RAJADA, agora, 0}).first->second;
}

void TRegistroRecusas::registrar(const TEnderecoIP& chave, const std::string& linha,
                                 TRelogio::time_point agora) {
  TBalde& balde = baldeDe(chave, agora);
  reabastecer(&balde.fichas, &balde.ultima, agora, 1.0 / SEGUNDOS_POR_RECUSA, RECUSAS_EM_RAJADA);
  reabastecer(&fichasGerais, &ultimaGeral, agora, RECUSAS_GERAIS_POR_SEGUNDO,
              RECUSAS_EM_RAJADA_GERAL);
  if (balde.fichas < 1) {
    ++balde.omitidas;
    return;
  }
  if (fichasGerais < 1) {
    ++omitidasGerais;
    return;
  }
  balde.fichas -= 1;
  fichasGerais -= 1;
  if (omitidasGerais > 0) {
    log.WriteLog(IntToStr(omitidasGerais) + " recusas não registradas no log", pidLog, false);
    omitidasGerais = 0;
  }
  if (balde.omitidas > 0) {
    log.WriteLog(IntToStr(balde.omitidas) + " recusas de " + chave.textoDaChave() +
                     " não registradas no log",
                 pidLog, false);
    balde.omitidas = 0;
  }
  log.WriteLog(linha, pidLog, false);
}
