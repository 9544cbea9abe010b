// Fuzzes a whole connection: the input is everything a peer sends (login
// message, command codes, requests, file data), fed through a socket pair to
// a real connection object, whose replies are read and dropped. The peer can
// name any path, so the process first shuts itself with chroot into the
// folder named by VORNA_FUZZ_CAIXA (fuzz/run.sh makes it and puts the corpus
// and the crash folder inside): nothing outside it can be touched.
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <thread>

#include "TCPCliente.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The agent's console lines would only slow the fuzzer down.
  int nulo = open("/dev/null", O_WRONLY);
  if (nulo < 0 || dup2(nulo, STDOUT_FILENO) < 0) std::abort();
  close(nulo);
  const char* caixa = std::getenv("VORNA_FUZZ_CAIXA");
  if (caixa == nullptr || chroot(caixa) != 0 || chdir("/") != 0) {
    std::perror("this fuzzer runs only as root, shut in VORNA_FUZZ_CAIXA");
    std::abort();
  }
  signal(SIGPIPE, SIG_IGN);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* dados, size_t tamanho) {
  int par[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, par) != 0) std::abort();
  std::thread servidor([&] {
    // Writes what the peer says while draining what the agent answers.
    size_t enviado = 0;
    char lixo[65536];
    while (enviado < tamanho) {
      struct pollfd espera = {par[1], POLLIN | POLLOUT, 0};
      if (poll(&espera, 1, -1) < 0) break;
      if (espera.revents & POLLIN) {
        if (recv(par[1], lixo, sizeof lixo, MSG_DONTWAIT) == 0) break;
      }
      if (espera.revents & POLLOUT) {
        ssize_t r = send(par[1], dados + enviado, tamanho - enviado, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (r < 0 && errno != EAGAIN) break;
        if (r > 0) enviado += static_cast<size_t>(r);
      }
      if (espera.revents & (POLLERR | POLLHUP)) break;
    }
    shutdown(par[1], SHUT_WR);
    while (recv(par[1], lixo, sizeof lixo, 0) > 0) {
    }
    close(par[1]);
  });
  TCPCliente cliente(par[0]);
  cliente.setPrazoLogin(5);
  cliente.run();
  servidor.join();
  return 0;
}
