#ifndef TCONTROLEACESSO_H
#define TCONTROLEACESSO_H

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "Logger.h"

// One IPv4 network of an allow-list, both fields in host byte order.
struct TRedeIPv4 {
  uint32_t endereco;
  uint32_t mascara;
};

// Who may connect: the allow-list of servers, the cap on connections that
// have not logged in yet and the penalty for repeated refused logins. Made
// once by main before the first connection; the accept loop asks admitir()
// and every connection thread reports its login through loginTerminado(),
// so every method takes the one lock. With nothing configured it admits
// everyone and keeps no state, as if it did not exist.
class TControleAcesso {
 public:
  typedef std::chrono::steady_clock TRelogio;

  // What ended a connection's login phase.
  enum TFimLogin { LOGIN_ACEITO, LOGIN_RECUSADO, LOGIN_NAO_CONCLUIDO };

  static constexpr int JANELA_FALHAS_S = 60;
  static constexpr int PENALIDADE_INICIAL_S = 30;
  static constexpr int PENALIDADE_MAXIMA_S = 600;
  static constexpr size_t ENDERECOS_ACOMPANHADOS = 4096;
  // Refusals logged in a burst, and one more allowed every so many seconds.
  static constexpr int RECUSAS_EM_RAJADA = 20;
  static constexpr int SEGUNDOS_POR_RECUSA = 5;

  // With restringir false every address is admitted, otherwise only those
  // in permitidos (none, when it is empty). maxSemLogin and penalidade 0
  // turn those limits off. pidLog names the log the refusals go to.
  TControleAcesso(bool restringir, const std::vector<TRedeIPv4>& permitidos, int maxSemLogin,
                  int penalidade, int pidLog);
  virtual ~TControleAcesso();

  TControleAcesso(const TControleAcesso&) = delete;
  TControleAcesso& operator=(const TControleAcesso&) = delete;

  // Main thread, right after an accept from ip (host order). False: close
  // the connection unread (the refusal is logged, within the log's rate).
  // True: the connection now counts as not logged in until loginTerminado.
  bool admitir(uint32_t ip, TRelogio::time_point agora = TRelogio::now());
  // Any thread, exactly once for each admitted connection.
  void loginTerminado(uint32_t ip, TFimLogin fim, TRelogio::time_point agora = TRelogio::now());

  int conexoesSemLogin() const;

  // Parses "a.b.c.d" or "a.b.c.d/n" (0 <= n <= 32, host bits ignored).
  static bool lerRede(const std::string& texto, TRedeIPv4* rede);
  // Dotted text of ip, given in host order.
  static std::string textoDoEndereco(uint32_t ip);

 private:
  struct TEstadoEndereco {
    uint32_t ip;
    int falhas;
    int repeticoes;
    TRelogio::time_point inicioJanela;
    TRelogio::time_point penalizadoAte;
    TRelogio::time_point ultimoUso;
  };

  bool permitido(uint32_t ip) const;
  TEstadoEndereco* procurar(uint32_t ip);
  TEstadoEndereco* acompanhar(uint32_t ip, TRelogio::time_point agora);
  void registrarFalha(uint32_t ip, TRelogio::time_point agora);
  void esquecer(uint32_t ip);
  // The refusal of ip, within the log's rate.
  void logarRecusa(uint32_t ip, const std::string& motivo, TRelogio::time_point agora);

  bool restringir;
  std::vector<TRedeIPv4> permitidos;
  int maxSemLogin;
  int penalidade;
  int pidLog;
  mutable std::mutex trava;
  int semLogin;
  std::vector<TEstadoEndereco> enderecos;
  double fichasDeLog;
  long long recusasNaoLogadas;
  TRelogio::time_point ultimaFicha;
  Logger log;
};

#endif
