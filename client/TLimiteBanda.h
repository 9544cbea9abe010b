#ifndef TLIMITEBANDA_H
#define TLIMITEBANDA_H

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>

// The bandwidth cap of a run (--bwlimit): one token bucket shared by every
// connection. It fills at the rate and holds at most an eighth of a second
// of it; each send or receive takes its bytes out, running into debt when
// the bucket holds fewer, and its connection waits until the debt is paid
// (ClienteVorna). Any thread; it must outlive the connections given it.
class TLimiteBanda {
 public:
  typedef std::chrono::steady_clock TRelogio;

  // bytesPorSegundo must be positive; the bucket starts full at inicio.
  explicit TLimiteBanda(int64_t bytesPorSegundo, TRelogio::time_point inicio = TRelogio::now());

  // Takes n bytes out at agora: how long their mover must wait (zero when
  // the bucket held them) so that the run keeps to the rate.
  std::chrono::nanoseconds tomar(int64_t n, TRelogio::time_point agora = TRelogio::now());
  // The most one send or receive should move at once: a sixteenth of a
  // second of the rate, from 512 bytes to 64 KiB, so the cap holds smoothly.
  size_t pedacoMaximo() const;
  int64_t getTaxa() const { return taxa; }

  // "20M", "512K", "1000": bytes a second (K is 1024, M 1024 K); false when
  // texto is none of these or not positive.
  static bool lerTaxa(const std::string& texto, int64_t* taxa);

 private:
  const int64_t taxa;
  const double capacidade;
  std::mutex trava;
  double fichas;  // under trava; below zero, the debt
  TRelogio::time_point ultimo;
};

#endif
