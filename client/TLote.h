#ifndef TLOTE_H
#define TLOTE_H

#include <cstddef>

// The part of a copy's work list (TTrabalho) that one connection has taken:
// the files [proximo, fim) of the list, proximo moving on as they are sent.
// Used by the thread of that connection's producer.
struct TLote {
  size_t proximo = 0;
  size_t fim = 0;
};

#endif
