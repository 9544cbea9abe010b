// A record's time text against a local file's second, in several time zones.
#include "TDataTexto.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <thread>

namespace {

std::string textoLocal(time_t t) {
  struct tm local {};
  localtime_r(&t, &local);
  char texto[64];
  return std::string(texto, strftime(texto, sizeof texto, "%d/%m/%Y %T", &local));
}

}  // namespace

TEST(TDataTexto, mesmoSegundoComoOTextoDoAgenteEmQualquerFuso) {
  const char* antigo = std::getenv("TZ");
  std::string salvo = antigo ? antigo : "";
  for (const char* fuso : {"UTC0", "EST5EDT,M3.2.0,M11.1.0", "NZST-12NZDT,M9.5.0,M4.1.0/3",
                           "<+0845>-8:45"}) {
    setenv("TZ", fuso, 1);
    tzset();
    // A thread for each zone: a thread keeps its zone's offsets.
    std::thread([fuso] {
      uint64_t x = 99;
      for (int i = 0; i < 3000; ++i) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        time_t t = static_cast<time_t>(x % 3100000000ull) - 10000000;  // 1969 to 2067
        std::string texto = textoLocal(t);
        ASSERT_TRUE(TDataTexto::mesmoSegundo(texto, t)) << fuso << " " << t;
        ASSERT_FALSE(TDataTexto::mesmoSegundo(texto, t + 1)) << fuso << " " << t;
        ASSERT_FALSE(TDataTexto::mesmoSegundo(texto, t - 60)) << fuso << " " << t;
      }
    }).join();
  }
  // A local time the clocks skipped (02:30 on 8 March 2026, New York's
  // rules) reads as some second; that second must match the text too.
  setenv("TZ", "EST5EDT,M3.2.0,M11.1.0", 1);
  tzset();
  std::thread([] {
    time_t lido;
    ASSERT_TRUE(TDataTexto::lerRegistro("08/03/2026 02:30:00", &lido));
    EXPECT_TRUE(TDataTexto::mesmoSegundo("08/03/2026 02:30:00", lido));
    EXPECT_FALSE(TDataTexto::mesmoSegundo("08/03/2026 02:30:01", lido));
    EXPECT_FALSE(TDataTexto::mesmoSegundo("not a time", lido));
  }).join();
  antigo ? setenv("TZ", salvo.c_str(), 1) : unsetenv("TZ");
  tzset();
}
