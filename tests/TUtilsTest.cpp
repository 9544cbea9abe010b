#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "Logger.h"
#include "TUtils.h"
#include "Temporario.h"

TEST(TUtils, lerArquivoTextoRecusaPastaEArquivoAusente) {
  PastaTemporaria pasta;
  std::string conteudo, erro;
  EXPECT_FALSE(lerArquivoTexto(pasta.caminho(), &conteudo, &erro));
  EXPECT_FALSE(erro.empty());
  EXPECT_FALSE(lerArquivoTexto(pasta / "nao-existe", &conteudo, &erro));
  escreverArquivo(pasta / "a.txt", std::string("x\0y", 3));
  ASSERT_TRUE(lerArquivoTexto(pasta / "a.txt", &conteudo, &erro));
  EXPECT_EQ(conteudo, std::string("x\0y", 3));
  ASSERT_EQ(mkfifo((pasta / "fifo").c_str(), 0600), 0);
  EXPECT_FALSE(lerArquivoTexto(pasta / "fifo", &conteudo, &erro));  // and does not hang
}

TEST(TUtils, diretorioCorrenteLogicoComoOPwd) {
  DiretorioDeTrabalho trabalho;
  std::filesystem::create_directory("real");
  std::filesystem::create_directory_symlink(trabalho.caminho() + "/real", "atalho");
  ASSERT_EQ(chdir("atalho"), 0);
  std::string real = trabalho.caminho() + "/real";
  std::string logico = trabalho.caminho() + "/atalho";

  setenv("PWD", logico.c_str(), 1);
  EXPECT_EQ(obterDiretorioCorrente(), logico);
  // PWD naming another directory, or not canonical, is not believed.
  setenv("PWD", trabalho.caminho().c_str(), 1);
  EXPECT_EQ(obterDiretorioCorrente(), real);
  setenv("PWD", (logico + "/../atalho").c_str(), 1);
  EXPECT_EQ(obterDiretorioCorrente(), real);
  setenv("PWD", "atalho", 1);
  EXPECT_EQ(obterDiretorioCorrente(), real);
  unsetenv("PWD");
  EXPECT_EQ(obterDiretorioCorrente(), real);
}

TEST(Logger, linhaSemZerosADiaPrimeiro) {
  struct tm quando {};
  quando.tm_mday = 3;
  quando.tm_mon = 4;
  quando.tm_year = 2026 - 1900;
  quando.tm_hour = 9;
  quando.tm_min = 5;
  quando.tm_sec = 7;
  EXPECT_EQ(Logger::formatarLinha(quando, "Versão 8"), "3-5-2026 9:5:7 Versão 8\n");
  quando.tm_mday = 31;
  quando.tm_mon = 11;
  quando.tm_hour = 23;
  quando.tm_min = 59;
  quando.tm_sec = 60;
  std::string longa(5000, 'x');
  EXPECT_EQ(Logger::formatarLinha(quando, longa), "31-12-2026 23:59:60 " + longa + "\n");
  // A path from a peer cannot forge a line: control bytes come out escaped,
  // UTF-8 as it came.
  EXPECT_EQ(Logger::formatarLinha(quando, "ação x\n1-1-2000 0:0:0 F\r\t\x1b\x7f\x01."),
            "31-12-2026 23:59:60 ação x\\n1-1-2000 0:0:0 F\\r\\t\\x1b\\x7f\\x01.\n");
}

TEST(Logger, acrescentaLinhasAoArquivoDoProcesso) {
  LogDoTeste teste;
  if (!logsGravaveis()) GTEST_SKIP() << "/var/log não é gravável por este usuário";
  Logger log;
  EXPECT_EQ(teste.caminho, "/var/log/AgenteLinuxVorna" + std::to_string(teste.pid) + ".log");
  log.WriteLog("primeira", teste.pid, false);
  log.WriteLog("Aplicação é 64 bits ", teste.pid, false);
  std::vector<std::string> linhas = dividirLinhas(teste.ler());
  ASSERT_EQ(linhas.size(), 3u);
  EXPECT_NE(linhas[0].find(" primeira"), std::string::npos);
  std::string fim = " Aplicação é 64 bits ";
  ASSERT_GT(linhas[1].size(), fim.size());
  EXPECT_EQ(linhas[1].substr(linhas[1].size() - fim.size()), fim);
  struct stat st = estado(teste.caminho);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  struct group* adm = getgrnam("adm");
  if (geteuid() == 0 && adm != nullptr) {
    EXPECT_EQ(st.st_gid, adm->gr_gid);
  }
  log.WriteLog("nova", teste.pid, true);
  EXPECT_EQ(dividirLinhas(teste.ler()).size(), 2u);
}

TEST(Logger, naoEscrevePorLigacaoNemEmArquivoDeUsuario) {
  LogDoTeste teste;
  if (!logsGravaveis() || geteuid() != 0) GTEST_SKIP() << "needs root and /var/log";
  PastaTemporaria pasta;
  std::string alvo = pasta / "alvo";
  escreverArquivo(alvo, "intacto\n");
  // Where /var/log is writable by a group, its members could plant these.
  ASSERT_EQ(symlink(alvo.c_str(), teste.caminho.c_str()), 0);
  Logger log;
  log.WriteLog("linha", teste.pid, false);
  EXPECT_EQ(lerArquivo(alvo), "intacto\n");
  ASSERT_EQ(unlink(teste.caminho.c_str()), 0);
  escreverArquivo(teste.caminho, "de outro\n");
  ASSERT_EQ(chown(teste.caminho.c_str(), 65534, 65534), 0);
  log.WriteLog("linha", teste.pid, false);
  EXPECT_EQ(lerArquivo(teste.caminho), "de outro\n");
}
