#ifndef FALHADEMEMORIA_H
#define FALHADEMEMORIA_H

#include <atomic>

// The unit tests' allocator (FalhaDeMemoriaTest.cpp): allocations left
// before the next one throws std::bad_alloc; -1, the default: none does.
extern std::atomic<long> alocacoesAteFalhar;

#endif
