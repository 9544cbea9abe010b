#ifndef TREGISTRORECUSAS_H
#define TREGISTRORECUSAS_H

#include <chrono>
#include <string>
#include <unordered_map>

#include "Logger.h"
#include "TEnderecoIP.h"

// The log lines of refused connections and logins, rate-limited per address
// so that one address flooding the agent never hides another's refusals: a
// burst of lines for each address, then one every few seconds, with the
// count of those left out; a larger limit shared by all addresses bounds
// what many addresses together can write. Owned by TControleAcesso and used
// under its lock.
class TRegistroRecusas {
 public:
  typedef std::chrono::steady_clock TRelogio;

  static constexpr int RECUSAS_EM_RAJADA = 20;
  static constexpr int SEGUNDOS_POR_RECUSA = 5;
  static constexpr int RECUSAS_EM_RAJADA_GERAL = 400;
  static constexpr int RECUSAS_GERAIS_POR_SEGUNDO = 4;
  // Keys whose allowance is remembered; a full table forgets the one
  // heard from longest ago.
  static constexpr size_t ENDERECOS_ACOMPANHADOS = 4096;

  explicit TRegistroRecusas(int pidLog);
  virtual ~TRegistroRecusas();

  // Writes linha, a refusal of an address whose chave() is chave, to the log
  // of process pidLog, unless chave or all keys together are past their rate.
  void registrar(const TEnderecoIP& chave, const std::string& linha, TRelogio::time_point agora);

 private:
  struct TBalde {
    double fichas;
    TRelogio::time_point ultima;
    long long omitidas;
  };
  TBalde& baldeDe(const TEnderecoIP& chave, TRelogio::time_point agora);

  int pidLog;
  std::unordered_map<TEnderecoIP, TBalde, TEnderecoIP::THash> baldes;
  double fichasGerais;
  TRelogio::time_point ultimaGeral;
  long long omitidasGerais;
  Logger log;
};

#endif
