#include "TNotificacaoServico.h"

#include <pthread.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "TUtils.h"

std::atomic<long long> TNotificacaoServico::conexoesAbertas{0};
std::atomic<long long> TNotificacaoServico::conexoesLogadas{0};
std::atomic<long long> TNotificacaoServico::bytesEnviados{0};
std::atomic<long long> TNotificacaoServico::bytesRecebidos{0};

bool TNotificacaoServico::enviar(const std::string& texto) {
  const char* destino = std::getenv("NOTIFY_SOCKET");
  if (destino == nullptr || (destino[0] != '/' && destino[0] != '@')) return false;
  struct sockaddr_un endereco {};
  endereco.sun_family = AF_UNIX;
  size_t n = std::strlen(destino);
  if (n >= sizeof endereco.sun_path) return false;
  std::memcpy(endereco.sun_path, destino, n);
  if (destino[0] == '@') endereco.sun_path[0] = '\0';  // an abstract name
  int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  socklen_t tamanho = static_cast<socklen_t>(offsetof(struct sockaddr_un, sun_path) + n);
  bool enviado = sendto(fd, texto.data(), texto.size(), MSG_NOSIGNAL,
                        reinterpret_cast<struct sockaddr*>(&endereco), tamanho) ==
                 static_cast<ssize_t>(texto.size());
  close(fd);
  return enviado;
}

std::string TNotificacaoServico::textoDoEstado(long long abertas, long long logadas,
                                               long long enviados, long long recebidos) {
  return "STATUS=" + IntToStr(abertas) + " conexões abertas, " + IntToStr(logadas) +
         " com login; " + IntToStr(enviados) + " bytes enviados, " + IntToStr(recebidos) +
         " recebidos";
}

void TNotificacaoServico::avisarPronto() {
  if (!enviar("READY=1\n" + textoDoEstado(0, 0, 0, 0))) return;
  pthread_t thread;
  if (pthread_create(&thread, nullptr, manterEstado, nullptr) == 0) pthread_detach(thread);
}

void TNotificacaoServico::avisarParando() { enviar("STOPPING=1"); }

void* TNotificacaoServico::manterEstado(void*) {
  std::string anterior;
  for (;;) {
    sleep(SEGUNDOS_ENTRE_ESTADOS);
    std::string estado = textoDoEstado(conexoesAbertas.load(), conexoesLogadas.load(),
                                       bytesEnviados.load(), bytesRecebidos.load());
    // Only what changed: an idle agent sends nothing.
    if (estado != anterior && enviar(estado)) anterior = estado;
  }
  return nullptr;
}
