#include "TThreadUnida.h"

TThreadUnida& TThreadUnida::operator=(TThreadUnida&& outra) {
  unir();
  thread = std::move(outra.thread);
  return *this;
}

void TThreadUnida::unir() {
  if (thread.joinable()) thread.join();
}
