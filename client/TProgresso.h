#ifndef TPROGRESSO_H
#define TPROGRESSO_H

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>

#include "TThreadUnida.h"

// A one-line progress bar on standard error (files when counted, bytes,
// rate, time left), drawn only when standard error is a terminal and at
// most ten times a second. atualizar draws from the caller's thread;
// acrescentar may be called from any thread, and a drawing thread of its
// own (started by desenharSozinho) then shows the sums.
class TProgresso {
 public:
  TProgresso(const std::string& rotulo, int64_t total, int64_t totalArquivos = 0);
  virtual ~TProgresso();

  TProgresso(const TProgresso&) = delete;
  TProgresso& operator=(const TProgresso&) = delete;

  void atualizar(int64_t feito);
  void acrescentar(int64_t bytes, int64_t arquivos);
  // More work found (any thread): the totals grow.
  void aumentarTotal(int64_t bytes, int64_t arquivos);
  // Files found already in place (any thread): counted as done, and shown.
  void acrescentarInalterados(int64_t arquivos);
  // The bandwidth cap to show beside the rate (0: none); before drawing starts.
  void setLimite(int64_t bytesPorSegundo) { limite = bytesPorSegundo; }
  void desenharSozinho();
  // Stops the drawing thread and clears the line so that the next output
  // starts clean.
  void concluir();
  // Writes a line to standard error without tearing the bar.
  void avisar(const std::string& linha);

  // "1.5 MiB", "512 B": the size for people.
  static std::string formatarBytes(double bytes);
  // The time left when fracao of the work took segundos ("1:05", "--:--").
  static std::string formatarRestante(double segundos, double fracao);

 private:
  void desenhar();

  std::string rotulo;
  std::atomic<int64_t> total;
  std::atomic<int64_t> totalArquivos;
  std::atomic<int64_t> feito{0};
  std::atomic<int64_t> arquivos{0};
  std::atomic<int64_t> inalterados{0};
  int64_t limite = 0;
  bool ativo;
  bool desenhado = false;
  std::chrono::steady_clock::time_point inicio;
  std::chrono::steady_clock::time_point ultimoDesenho;
  std::mutex trava;  // the line on the terminal
  std::condition_variable parar;
  bool parando = false;
  TThreadUnida desenhista;
};

#endif
