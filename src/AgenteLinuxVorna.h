#ifndef AGENTELINUXVORNA_H
#define AGENTELINUXVORNA_H

#include <string>

#include "Logger.h"

// Process globals: written by the main thread during start-up, before the
// first connection thread exists, and only read afterwards.
extern int porta;
extern std::string diretorio;
extern std::string caminhoAbsolutoEXE;
extern std::string nomeEXE;
extern bool aplicacao32Bits;
extern int myPid;
// Seconds a connection has to log in (VORNA_PRAZO_LOGIN, else 120).
extern int prazoLogin;
// The process-wide log writer. Its name is also that of a C library
// function, which this program never uses.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wbuiltin-declaration-mismatch"
#endif
extern Logger log;
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

// Asynchronous part of the signal handling: only hands the signal number to
// the signal thread, which logs, prints and, for most signals, ends the agent.
void signal_callback_handler(int signum);

// Sets diretorio and caminhoAbsolutoEXE from the first command-line word.
void getCaminhoAbsolutoEXE(const std::string& arg);
// Sets nomeEXE: arg after its last "/".
void getNomeEXE(const std::string& arg);

// Body of a connection thread; arg is a heap int holding the socket, owned by
// the thread from its first instruction.
void* ThreadMain(void* arg);

#endif
