#ifndef TPROGRESSO_H
#define TPROGRESSO_H

#include <chrono>
#include <cstdint>
#include <string>

// A one-line progress bar on standard error (bytes, rate, time left), drawn
// only when standard error is a terminal and at most ten times a second.
class TProgresso {
 public:
  TProgresso(const std::string& rotulo, int64_t total);
  virtual ~TProgresso();

  void setTotal(int64_t valor) { total = valor; }
  void atualizar(int64_t feito);
  // Clears the line so that the next output starts clean.
  void concluir();

  // "1.5 MiB", "512 B": the size for people.
  static std::string formatarBytes(double bytes);

 private:
  void desenhar(int64_t feito);

  std::string rotulo;
  int64_t total;
  bool ativo;
  bool desenhado;
  std::chrono::steady_clock::time_point inicio;
  std::chrono::steady_clock::time_point ultimoDesenho;
};

#endif
