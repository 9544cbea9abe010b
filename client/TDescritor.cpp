#include "TDescritor.h"

#include <unistd.h>

TDescritor& TDescritor::operator=(TDescritor&& outro) {
  if (this != &outro) {
    fechar();
    fd = outro.fd;
    outro.fd = -1;
  }
  return *this;
}

int TDescritor::fechar() {
  int r = fd >= 0 ? close(fd) : 0;
  fd = -1;
  return r;
}
