#ifndef TCONTROLEACESSO_H
#define TCONTROLEACESSO_H

#include <chrono>
#include <deque>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "Logger.h"
#include "TEnderecoIP.h"
#include "TRegistroRecusas.h"

// Who may connect: the allow-list of servers, the caps on connections that
// have not logged in yet (per address, then for all), the penalty for
// repeated refused logins, and the log of every refusal. Made once by main
// before the first connection; the accept loop asks admitir(), every
// connection thread asks penalizado() when its login arrives and reports
// its end through loginTerminado(), so every method takes the one lock.
// With no limit configured it admits everyone and only logs refused logins.
// The caps and the penalty count an address by its chave(): an IPv4
// address itself, an IPv6 one by its /64.
class TControleAcesso {
 public:
  typedef std::chrono::steady_clock TRelogio;

  // What ended a connection's login phase.
  enum TFimLogin { LOGIN_ACEITO, LOGIN_RECUSADO, LOGIN_NAO_CONCLUIDO };

  // A penalty follows penalidade refused logins within any JANELA_FALHAS_S.
  static constexpr int JANELA_FALHAS_S = 60;
  static constexpr int PENALIDADE_INICIAL_S = 30;
  static constexpr int PENALIDADE_MAXIMA_S = 600;
  // Addresses (keys) whose failures are remembered. A full table forgets the one
  // heard from longest ago, but never one still under its penalty.
  static constexpr size_t ENDERECOS_ACOMPANHADOS = 4096;
  // The largest penalidade: each address keeps the times of that many failures.
  static constexpr int MAXIMO_PENALIDADE = 100;

  // With restringir false every address is admitted, otherwise only those
  // in permitidos (none, when it is empty). maxSemLogin, maxPorEndereco and
  // penalidade 0 turn those limits off. pidLog names the log the refusals
  // go to.
  TControleAcesso(bool restringir, const std::vector<TRedeIP>& permitidos, int maxSemLogin,
                  int maxPorEndereco, int penalidade, int pidLog);
  virtual ~TControleAcesso();

  TControleAcesso(const TControleAcesso&) = delete;
  TControleAcesso& operator=(const TControleAcesso&) = delete;

  // Main thread, right after an accept from ip. False: close
  // the connection unread (the refusal is logged, within the log's rate).
  // True: the connection now counts as not logged in until loginTerminado.
  bool admitir(const TEnderecoIP& ip, TRelogio::time_point agora = TRelogio::now());
  // A connection thread, once its login message is in: true when ip is
  // under a penalty (logged); the connection then ends with no answer, and
  // its login counts as refused.
  bool penalizado(const TEnderecoIP& ip, TRelogio::time_point agora = TRelogio::now());
  // Any thread, exactly once for each admitted connection.
  void loginTerminado(const TEnderecoIP& ip, TFimLogin fim,
                      TRelogio::time_point agora = TRelogio::now());
  // Logs a refused login of usuario (escaped, cut when long) from ip with
  // its code, within the log's rate.
  void logarLoginRecusado(const TEnderecoIP& ip, const std::string& usuario, int codigo,
                          TRelogio::time_point agora = TRelogio::now());

  int conexoesSemLogin() const;

 private:
  struct TEstadoEndereco {
    std::deque<TRelogio::time_point> falhas;  // within the last JANELA_FALHAS_S, oldest first
    int repeticoes = 0;
    TRelogio::time_point penalizadoAte;
    TRelogio::time_point ultimoUso;
  };

  typedef TEnderecoIP TChave;  // an address's chave()
  template <typename T>
  using TTabela = std::unordered_map<TChave, T, TEnderecoIP::THash>;

  bool permitido(const TEnderecoIP& ip) const;
  bool emPenalidade(const TChave& chave, TRelogio::time_point agora, std::string* motivo) const;
  // The state of chave, made when missing; null when the table is full of
  // keys under penalty.
  TEstadoEndereco* acompanhar(const TChave& chave, TRelogio::time_point agora);
  void registrarFalha(const TChave& chave, TRelogio::time_point agora);
  void recusar(const TEnderecoIP& ip, const std::string& motivo, TRelogio::time_point agora);

  bool restringir;
  std::vector<TRedeIP> permitidos;
  int maxSemLogin;
  int maxPorEndereco;
  int penalidade;
  int pidLog;
  mutable std::mutex trava;
  int semLogin;
  TTabela<int> semLoginPorEndereco;
  TTabela<TEstadoEndereco> enderecos;
  TRegistroRecusas registro;
  Logger log;
};

#endif
