#include <gtest/gtest.h>
#include <unistd.h>

#include "TControleAcesso.h"
#include "Temporario.h"

namespace {

typedef TControleAcesso::TRelogio TRelogio;

const uint32_t IP_A = 0x7f000005;  // 127.0.0.5
const uint32_t IP_B = 0x7f000006;

std::chrono::seconds segundos(int n) { return std::chrono::seconds(n); }

// n refused logins from ip at the moment agora, each from an admitted connection.
void errar(TControleAcesso* controle, uint32_t ip, int n, TRelogio::time_point agora) {
  for (int i = 0; i < n; ++i) {
    ASSERT_TRUE(controle->admitir(ip, agora)) << "refused before failure " << i;
    controle->loginTerminado(ip, TControleAcesso::LOGIN_RECUSADO, agora);
  }
}

// The log this object writes to: a process number no agent of this test uses.
struct LogDoTeste {
  int pid = 900000000 + static_cast<int>(getpid() % 1000000);
  std::string caminho = "/var/log/AgenteLinuxVorna" + std::to_string(pid) + ".log";
  LogDoTeste() { unlink(caminho.c_str()); }
  ~LogDoTeste() { unlink(caminho.c_str()); }
};

}  // namespace

TEST(TControleAcesso, lerRedeAceitaEnderecosEBlocos) {
  TRedeIPv4 rede;
  ASSERT_TRUE(TControleAcesso::lerRede("10.1.2.3", &rede));
  EXPECT_EQ(rede.endereco, 0x0a010203u);
  EXPECT_EQ(rede.mascara, 0xffffffffu);
  ASSERT_TRUE(TControleAcesso::lerRede("10.1.2.3/16", &rede));
  EXPECT_EQ(rede.endereco, 0x0a010000u) << "host bits are dropped";
  EXPECT_EQ(rede.mascara, 0xffff0000u);
  ASSERT_TRUE(TControleAcesso::lerRede("0.0.0.0/0", &rede));
  EXPECT_EQ(rede.mascara, 0u);
  for (const char* ruim : {"", "10.1.2", "10.1.2.256", "10.1.2.3/33", "10.1.2.3/", "10.1.2.3/-1",
                           "10.1.2.3/1x", "localhost", "::1", " 10.1.2.3"}) {
    EXPECT_FALSE(TControleAcesso::lerRede(ruim, &rede)) << ruim;
  }
}

TEST(TControleAcesso, penalidadeDobraAteDezMinutosEOAcertoALimpa) {
  TControleAcesso controle(false, {}, 0, 3, 0);
  TRelogio::time_point t = TRelogio::now();
  errar(&controle, IP_A, 3, t);
  EXPECT_FALSE(controle.admitir(IP_A, t + segundos(29)));
  EXPECT_TRUE(controle.admitir(IP_B, t + segundos(29))) << "other addresses are never affected";
  controle.loginTerminado(IP_B, TControleAcesso::LOGIN_NAO_CONCLUIDO, t);
  int esperado[] = {60, 120, 240, 480, 600, 600};
  for (int duracao : esperado) {
    t += segundos(700);
    errar(&controle, IP_A, 3, t);
    EXPECT_FALSE(controle.admitir(IP_A, t + segundos(duracao - 1))) << duracao;
    EXPECT_TRUE(controle.admitir(IP_A, t + segundos(duracao))) << duracao;
    controle.loginTerminado(IP_A, TControleAcesso::LOGIN_NAO_CONCLUIDO, t);
  }
  controle.loginTerminado(IP_A, TControleAcesso::LOGIN_ACEITO, t + segundos(700));
  t += segundos(700);
  errar(&controle, IP_A, 3, t);
  EXPECT_TRUE(controle.admitir(IP_A, t + segundos(30))) << "a success starts again from 30 s";
}

TEST(TControleAcesso, soFalhasDentroDeUmMinutoContam) {
  TControleAcesso controle(false, {}, 0, 3, 0);
  TRelogio::time_point t = TRelogio::now();
  errar(&controle, IP_A, 2, t);
  errar(&controle, IP_A, 2, t + segundos(61));
  EXPECT_TRUE(controle.admitir(IP_A, t + segundos(62)));
  controle.loginTerminado(IP_A, TControleAcesso::LOGIN_RECUSADO, t + segundos(62));
  EXPECT_FALSE(controle.admitir(IP_A, t + segundos(63)));
}

TEST(TControleAcesso, tabelaCheiaEsqueceOMaisAntigo) {
  TControleAcesso controle(false, {}, 0, 2, 0);
  TRelogio::time_point t = TRelogio::now();
  errar(&controle, IP_A, 2, t);
  // Enough other addresses fail once each to push the oldest entry out.
  for (uint32_t i = 0; i < TControleAcesso::ENDERECOS_ACOMPANHADOS; ++i) {
    errar(&controle, 0x0a000000 + i, 1, t + segundos(1));
  }
  EXPECT_TRUE(controle.admitir(IP_A, t + segundos(2)));
}

TEST(TControleAcesso, recusasEmMassaNaoEnchemOLog) {
  if (access("/var/log", W_OK) != 0) GTEST_SKIP() << "/var/log is not writable here";
  LogDoTeste log;
  TRedeIPv4 soA = {IP_A, 0xffffffff};
  TControleAcesso controle(true, {soA}, 0, 0, log.pid);
  TRelogio::time_point t = TRelogio::now();
  for (int i = 0; i < 100000; ++i) EXPECT_FALSE(controle.admitir(IP_B, t));
  t += segundos(TControleAcesso::SEGUNDOS_POR_RECUSA);
  EXPECT_FALSE(controle.admitir(IP_B, t));
  std::string texto = lerArquivo(log.caminho);
  int linhas = 0;
  for (char c : texto) linhas += c == '\n';
  EXPECT_EQ(linhas, TControleAcesso::RECUSAS_EM_RAJADA + 2);
  EXPECT_NE(texto.find(std::to_string(100000 - TControleAcesso::RECUSAS_EM_RAJADA) +
                       " recusas de conexão não registradas no log"),
            std::string::npos);
}
