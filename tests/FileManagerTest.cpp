#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <limits>
#include <map>
#include <thread>

#include "FileManager.h"
#include "Temporario.h"

namespace {

// Sets TZ for one test and puts the old value back afterwards.
struct FusoDoTeste {
  const char* antigo = std::getenv("TZ");
  std::string salvo = antigo ? antigo : "";
  ~FusoDoTeste() {
    antigo ? setenv("TZ", salvo.c_str(), 1) : unsetenv("TZ");
    tzset();
  }
  void usar(const char* fuso) {
    setenv("TZ", fuso, 1);
    tzset();
  }
};

}  // namespace

TEST(FileManager, origensBloqueadasSoAsPastasDoSistema) {
  for (const char* bloqueado : {"/proc", "/proc/", "//proc", "/proc/1", "/proc//self/fd",
                                "/selinux", "/selinux/x", "///selinux//"}) {
    EXPECT_TRUE(FileManager::estaNaOrigensBloqueadas(bloqueado)) << bloqueado;
  }
  for (const char* livre : {"/", "/processos", "/home/proc", "/home/a/procmail", "/data/selinux",
                            "/procx", "/home/xproc", "proc", "/selinux-old"}) {
    EXPECT_FALSE(FileManager::estaNaOrigensBloqueadas(livre)) << livre;
  }
}

// The agent's own tests run it in UTC: here a received time is read in a
// zone of its own.
TEST(FileManager, dataRecebidaEmHoraLocal) {
  FusoDoTeste fuso;
  fuso.usar("BRT3");  // three hours behind UTC, no daylight saving
  time_t quando = 0;
  ASSERT_TRUE(FileManager::converterDataRecebida("05/03/26 10:07:04", &quando));
  EXPECT_EQ(quando, 1772716024);  // 13:07:04 UTC
}

TEST(FileManager, datasDaListagemIguaisALocaltimeEmQualquerFuso) {
  // Files whose times fall in the same hour, in different hours, around
  // daylight-saving changes and far from now.
  PastaTemporaria pasta;
  std::vector<time_t> tempos = {0,          -1,         1772716024,   1741503599, 1741503600,
                                1762063199, 1762063200, 253402300799, -2000000000};
  uint64_t x = 12345;
  for (int i = 0; i < 300; ++i) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    tempos.push_back(static_cast<time_t>(x % 8000000000ull) - 2000000000);
    tempos.push_back(tempos.back() + 1 + static_cast<time_t>(x % 3000));
  }
  std::map<std::string, time_t> tempoDe;
  for (size_t i = 0; i < tempos.size(); ++i) {
    std::string arquivo = pasta / ("f" + std::to_string(i));
    escreverArquivo(arquivo, "");
    tocar(arquivo, tempos[i]);
    tempoDe[arquivo] = estado(arquivo).st_mtime;  // what the file system could keep
  }
  FusoDoTeste fusoDoTeste;
  FileManager fileManager;
  for (const char* fuso : {"UTC0", "BRT3", "EST5EDT,M3.2.0,M11.1.0", "NZST-12NZDT,M9.5.0,M4.1.0/3",
                           "IST-5:30", "<+0845>-8:45"}) {
    fusoDoTeste.usar(fuso);
    TListaInfoObjectLinux lista = fileManager.getTodosArquivosDentroDoDiretorio(pasta.caminho());
    ASSERT_EQ(lista.size(), tempos.size());
    // One path's record (command 10) must say the same: read on a thread of
    // their own, as the agent's time zone never changes under a connection.
    std::map<std::string, std::string> dataUnica;
    std::thread([&] {
      for (const InfoObjectLinux& registro : lista) {
        InfoObjectLinux r(registro.getNome());
        r.loadDados();
        dataUnica[registro.getNome()] = r.getDataUltimaModificacao();
      }
    }).join();
    for (const InfoObjectLinux& registro : lista) {
      time_t t = tempoDe[registro.getNome()];
      struct tm local {};
      ASSERT_NE(localtime_r(&t, &local), nullptr);
      char esperado[64];
      size_t n = strftime(esperado, sizeof esperado, "%d/%m/%Y %T", &local);
      ASSERT_EQ(registro.getDataUltimaModificacao(), std::string(esperado, n)) << fuso << " " << t;
      ASSERT_EQ(dataUnica[registro.getNome()], registro.getDataUltimaModificacao())
          << fuso << " " << t;
    }
  }
}

TEST(FileManager, datasExtremasNaoQuebramAListagem) {
  if (geteuid() != 0) GTEST_SKIP() << "mounting a file system that keeps any time needs root";
  PastaTemporaria pasta;
  if (mount("tmpfs", pasta.caminho().c_str(), "tmpfs", 0, "size=1m") != 0) {
    GTEST_SKIP() << "cannot mount a tmpfs here";
  }
  for (time_t t : {std::numeric_limits<time_t>::min(), std::numeric_limits<time_t>::max(),
                   std::numeric_limits<time_t>::min() / 2}) {
    std::string arquivo = pasta / std::to_string(t);
    escreverArquivo(arquivo, "");
    tocar(arquivo, t);
    ASSERT_EQ(estado(arquivo).st_mtime, t) << "the extreme time is what the file holds";
  }
  FileManager fileManager;
  EXPECT_EQ(fileManager.getTodosArquivosDentroDoDiretorio(pasta.caminho()).size(), 3u);
  umount2(pasta.caminho().c_str(), MNT_DETACH);
}
