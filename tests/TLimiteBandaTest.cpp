// The token bucket behind --bwlimit, on a clock the test gives.
#include <gtest/gtest.h>

#include "TLimiteBanda.h"

using std::chrono::milliseconds;
using std::chrono::seconds;

TEST(TLimiteBanda, esperaPeloQueFaltaNoBaldeComRajadaCurta) {
  TLimiteBanda::TRelogio::time_point t0;
  TLimiteBanda balde(1 << 20, t0);  // 1 MiB a second: holds 128 KiB
  EXPECT_EQ(balde.pedacoMaximo(), 65536u);
  EXPECT_EQ(balde.tomar(128 << 10, t0).count(), 0);
  EXPECT_EQ(balde.tomar(1 << 20, t0), seconds(1));
  // Whoever comes next waits for the debt before it too.
  EXPECT_EQ(balde.tomar(1 << 19, t0 + seconds(1)), milliseconds(500));
  // A long pause fills it up to its burst only.
  EXPECT_EQ(balde.tomar(256 << 10, t0 + seconds(100)), milliseconds(125));
  // A clock read earlier on another thread neither fills it nor goes back.
  EXPECT_EQ(balde.tomar(0, t0 + seconds(50)), milliseconds(125));
  EXPECT_EQ(TLimiteBanda(1000, t0).pedacoMaximo(), 512u);
  EXPECT_EQ(TLimiteBanda(100 << 20, t0).pedacoMaximo(), 65536u);
}

TEST(TLimiteBanda, taxaComSufixo) {
  int64_t taxa = 0;
  ASSERT_TRUE(TLimiteBanda::lerTaxa("20M", &taxa));
  EXPECT_EQ(taxa, 20971520);
  ASSERT_TRUE(TLimiteBanda::lerTaxa("512k", &taxa));
  EXPECT_EQ(taxa, 524288);
  ASSERT_TRUE(TLimiteBanda::lerTaxa("1000", &taxa));
  EXPECT_EQ(taxa, 1000);
  for (const char* errada : {"", "0", "-5M", "M", "1G", "1.5M", "20MB", "99999999999999M"}) {
    EXPECT_FALSE(TLimiteBanda::lerTaxa(errada, &taxa)) << errada;
  }
  EXPECT_EQ(taxa, 1000) << "unchanged by a refused rate";
}
