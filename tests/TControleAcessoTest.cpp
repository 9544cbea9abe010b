#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>

#include "TControleAcesso.h"
#include "Temporario.h"

namespace {

typedef TControleAcesso::TRelogio TRelogio;

const TEnderecoIP IP_A = TEnderecoIP::deIPv4(0x7f000005);  // 127.0.0.5
const TEnderecoIP IP_B = TEnderecoIP::deIPv4(0x7f000006);

std::chrono::seconds segundos(int n) { return std::chrono::seconds(n); }

// n refused logins from ip at the moment agora, each from an admitted connection.
void errar(TControleAcesso* controle, const TEnderecoIP& ip, int n, TRelogio::time_point agora) {
  for (int i = 0; i < n; ++i) {
    ASSERT_TRUE(controle->admitir(ip, agora)) << "refused before failure " << i;
    controle->loginTerminado(ip, TControleAcesso::LOGIN_RECUSADO, agora);
  }
}

}  // namespace

TEST(TControleAcesso, penalidadeDobraAteDezMinutosEOAcertoALimpa) {
  TControleAcesso controle(false, {}, 0, 0, 3, 0);
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

TEST(TControleAcesso, janelaDeslizanteDeUmMinuto) {
  TControleAcesso controle(false, {}, 0, 0, 3, 0);
  TRelogio::time_point t = TRelogio::now();
  errar(&controle, IP_A, 1, t);
  errar(&controle, IP_A, 1, t + segundos(30));
  errar(&controle, IP_A, 1, t + segundos(61));
  EXPECT_TRUE(controle.admitir(IP_A, t + segundos(61))) << "the failure at 0 s has left the minute";
  controle.loginTerminado(IP_A, TControleAcesso::LOGIN_RECUSADO, t + segundos(62));
  EXPECT_FALSE(controle.admitir(IP_A, t + segundos(63)))
      << "30 s, 61 s and 62 s fall within one minute, across any fixed window";
}

TEST(TControleAcesso, penalizadoNaoSaiDaTabelaNemPorUmLoginAberto) {
  TControleAcesso controle(false, {}, 0, 0, 2, 0);
  TRelogio::time_point t = TRelogio::now();
  // Connections opened before the penalty, whose logins come later.
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(controle.admitir(IP_A, t));
  errar(&controle, IP_A, 2, t);
  EXPECT_TRUE(controle.penalizado(IP_A, t + segundos(1))) << "checked again when a login arrives";
  EXPECT_FALSE(controle.penalizado(IP_B, t + segundos(1)));
  controle.loginTerminado(IP_A, TControleAcesso::LOGIN_ACEITO, t + segundos(1));
  // Enough other addresses fail once each to fill the table many times over.
  for (uint32_t i = 0; i < 2 * TControleAcesso::ENDERECOS_ACOMPANHADOS; ++i) {
    errar(&controle, TEnderecoIP::deIPv4(0x0a000000 + i), 1, t + segundos(2));
  }
  EXPECT_FALSE(controle.admitir(IP_A, t + segundos(29)));
  EXPECT_TRUE(controle.admitir(IP_A, t + segundos(30)));
}

TEST(TControleAcesso, limitePorEnderecoAntesDoGeral) {
  TControleAcesso controle(false, {}, 3, 2, 0, 0);
  TRelogio::time_point t = TRelogio::now();
  EXPECT_TRUE(controle.admitir(IP_A, t));
  EXPECT_TRUE(controle.admitir(IP_A, t));
  EXPECT_FALSE(controle.admitir(IP_A, t)) << "two from one address at most";
  EXPECT_TRUE(controle.admitir(IP_B, t)) << "the refusal took no slot of the three";
  EXPECT_FALSE(controle.admitir(IP_B, t)) << "three in all";
  controle.loginTerminado(IP_A, TControleAcesso::LOGIN_ACEITO, t);
  EXPECT_EQ(controle.conexoesSemLogin(), 2);
  EXPECT_TRUE(controle.admitir(IP_A, t));
}

TEST(TControleAcesso, umEnderecoQueInundaNaoEscondeOsOutros) {
  LogDoTeste log;
  if (!logsGravaveis()) GTEST_SKIP() << "/var/log is not writable here";
  TRedeIP soA;
  ASSERT_TRUE(TEnderecoIP::lerRede("127.0.0.5", &soA));
  TControleAcesso controle(true, {soA}, 0, 0, 0, log.pid);
  TRelogio::time_point t = TRelogio::now();
  for (int i = 0; i < 100000; ++i) EXPECT_FALSE(controle.admitir(IP_B, t));
  controle.logarLoginRecusado(IP_A, std::string("x\ny\"") + std::string(200, 'z'), -2, t);
  t += segundos(TRegistroRecusas::SEGUNDOS_POR_RECUSA);
  EXPECT_FALSE(controle.admitir(IP_B, t));
  std::string texto = log.ler();
  EXPECT_EQ(contar(texto, "\n"), TRegistroRecusas::RECUSAS_EM_RAJADA + 3);
  EXPECT_EQ(contar(texto, "Conexão de 127.0.0.6 recusada: endereço fora de servidoresPermitidos"),
            TRegistroRecusas::RECUSAS_EM_RAJADA + 1);
  EXPECT_NE(texto.find(std::to_string(100000 - TRegistroRecusas::RECUSAS_EM_RAJADA) +
                       " recusas de 127.0.0.6 não registradas no log"),
            std::string::npos);
  EXPECT_NE(texto.find("Login recusado de 127.0.0.5: usuário \"x\\ny\"" + std::string(124, 'z') +
                       "...\", código -2\n"),
            std::string::npos)
      << texto;
}

TEST(TControleAcesso, umIPv6EhContadoPorSeu64) {
  LogDoTeste log;
  TRedeIP bloco6, bloco4;
  ASSERT_TRUE(TEnderecoIP::lerRede("2001:db8:10::/48", &bloco6));
  ASSERT_TRUE(TEnderecoIP::lerRede("127.0.0.0/8", &bloco4));
  TControleAcesso controle(true, {bloco6, bloco4}, 0, 1, 2, log.pid);
  TRelogio::time_point t = TRelogio::now();
  EXPECT_FALSE(controle.admitir(enderecoDe("2001:db8:11::1"), t)) << "outside the /48";
  EXPECT_TRUE(controle.admitir(enderecoDe("2001:db8:10:1::a"), t));
  EXPECT_FALSE(controle.admitir(enderecoDe("2001:db8:10:1::b"), t))
      << "its /64 has its one slot taken";
  EXPECT_TRUE(controle.admitir(enderecoDe("2001:db8:10:2::a"), t)) << "another /64";
  controle.loginTerminado(enderecoDe("2001:db8:10:1::a"), TControleAcesso::LOGIN_RECUSADO, t);
  controle.loginTerminado(enderecoDe("2001:db8:10:2::a"), TControleAcesso::LOGIN_NAO_CONCLUIDO, t);
  errar(&controle, enderecoDe("2001:db8:10:1::b"), 1, t);
  EXPECT_FALSE(controle.admitir(enderecoDe("2001:db8:10:1:ffff::1"), t + segundos(1)))
      << "two failures from one /64, wherever in it, penalize all of it";
  EXPECT_TRUE(controle.penalizado(enderecoDe("2001:db8:10:1::c"), t + segundos(1)));
  EXPECT_FALSE(controle.penalizado(enderecoDe("2001:db8:10:2::a"), t + segundos(1)));
  EXPECT_TRUE(controle.admitir(enderecoDe("2001:db8:10:2::a"), t + segundos(1))) << "another /64";
  EXPECT_TRUE(controle.admitir(IP_A, t + segundos(1)));
  if (!logsGravaveis()) return;
  std::string texto = log.ler();
  for (const char* linha :
       {"Conexão de 2001:db8:11::1 recusada: endereço fora de servidoresPermitidos\n",
        "Conexão de 2001:db8:10:1::b recusada: 1 conexões deste endereço ainda sem login "
        "(maxSemLoginPorEndereco)\n",
        "Endereço 2001:db8:10:1::/64 penalizado por 30 segundos após 2 logins recusados\n",
        "Conexão de 2001:db8:10:1:ffff::1 recusada: penalidade por logins recusados, mais 30 "
        "segundos\n",
        "Login de 2001:db8:10:1::c encerrado sem resposta: penalidade por logins recusados, mais "
        "30 "
        "segundos\n"}) {
    EXPECT_NE(texto.find(linha), std::string::npos) << linha << texto;
  }
}

TEST(TControleAcesso, recusasDeUm64DividemSeuLimiteNoLog) {
  LogDoTeste log;
  if (!logsGravaveis()) GTEST_SKIP() << "/var/log is not writable here";
  TControleAcesso controle(true, {}, 0, 0, 0, log.pid);
  TRelogio::time_point t = TRelogio::now();
  char texto[64];
  for (int i = 0; i < 1000; ++i) {
    std::snprintf(texto, sizeof texto, "2001:db8:1:2::%x", i);
    EXPECT_FALSE(controle.admitir(enderecoDe(texto), t));
  }
  EXPECT_FALSE(controle.admitir(enderecoDe("2001:db8:1:2:ffff::1"), t + segundos(5)));
  std::string lido = log.ler();
  EXPECT_EQ(contar(lido, "recusada: endereço fora de servidoresPermitidos"),
            TRegistroRecusas::RECUSAS_EM_RAJADA + 1);
  EXPECT_NE(lido.find(std::to_string(1000 - TRegistroRecusas::RECUSAS_EM_RAJADA) +
                      " recusas de 2001:db8:1:2::/64 não registradas no log\n"),
            std::string::npos)
      << lido;
}
