#ifndef TNOTIFICACAOSERVICO_H
#define TNOTIFICACAOSERVICO_H

#include <atomic>
#include <cstdint>
#include <string>

// What the agent tells systemd when it runs as a notify service: READY=1
// once it listens, STOPPING=1 when a signal ends it, and a STATUS= line
// kept current with its connections and bytes, so that systemctl status
// shows what it is doing. Speaks the notification socket's datagram
// protocol itself. Without NOTIFY_SOCKET (the agent started by hand) it
// does nothing. The counters are process-wide: any thread adds to them.
class TNotificacaoServico {
 public:
  // Seconds between two looks at the counters for a new STATUS= line.
  static const int SEGUNDOS_ENTRE_ESTADOS = 2;

  // Main thread, once it listens: READY=1, and a thread that keeps STATUS=
  // current. Nothing when the agent is no notify service.
  static void avisarPronto();
  // The signal thread, before the agent exits: STOPPING=1.
  static void avisarParando();
  // The STATUS= text of these counts.
  static std::string textoDoEstado(long long abertas, long long logadas, long long enviados,
                                   long long recebidos);

  static std::atomic<long long> conexoesAbertas;
  static std::atomic<long long> conexoesLogadas;
  static std::atomic<long long> bytesEnviados;
  static std::atomic<long long> bytesRecebidos;

 private:
  // Sends one datagram to NOTIFY_SOCKET; false when there is none or it failed.
  static bool enviar(const std::string& texto);
  static void* manterEstado(void*);
};

#endif
