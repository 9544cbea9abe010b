#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "TFileUser.h"
#include "Temporario.h"

namespace {

// Runs one login check against a user file holding conteudo; returns the
// admission and puts the code in *codigo (LOGIN_SUCESSO unless refused).
bool verificar(const std::string& conteudo, const std::string& usuario, const std::string& senha,
               int* codigo) {
  escreverArquivo(TFileUser::ARQUIVO_CONFIG, conteudo);
  TFileUser arquivo;
  *codigo = LOGIN_SUCESSO;
  return arquivo.userCadastrado(usuario, senha, codigo);
}

struct Caso {
  const char* descricao;
  std::string conteudo;
  std::string usuario;
  std::string senha;
  bool admitido;
  int codigo;
};

const std::string SENHA = "[AUTHENTICATION]\nPassword\n[USER]\n";

}  // namespace

TEST(TFileUser, matrizDeLogin) {
  const Caso casos[] = {
      {"o arquivo padrão admite todos", TFileUser::conteudoPadrao(), "qualquer", "coisa", true,
       LOGIN_SUCESSO},
      {"exemplo certo", SENHA + "tarvel = Tarvel\n", "tarvel", "Tarvel", true, LOGIN_SUCESSO},
      {"senha errada", SENHA + "tarvel = Tarvel\n", "tarvel", "x", false, LOGIN_ERRO_SENHA},
      {"maiúsculas contam", SENHA + "tarvel = Tarvel\n", "Tarvel", "Tarvel", false,
       LOGIN_ERRO_USUARIO},
      {"usuário desconhecido", SENHA + "tarvel = Tarvel\n", "outro", "Tarvel", false,
       LOGIN_ERRO_USUARIO},
      {"nome vazio", SENHA + "tarvel = Tarvel\n", "", "Tarvel", false, LOGIN_ERRO_USUARIO},
      {"duas senhas, a segunda", SENHA + "a = 1\na = 2\n", "a", "2", true, LOGIN_SUCESSO},
      {"duas senhas, a primeira", SENHA + "a = 1\na = 2\n", "a", "1", true, LOGIN_SUCESSO},
      {"a última linha decide o código", SENHA + "a = 1\nb = 2\n", "a", "x", false,
       LOGIN_ERRO_USUARIO},
      {"senha vazia com o delimitador inteiro", SENHA + "a = \n", "a", "", true, LOGIN_SUCESSO},
      {"sem o último branco não é usuário", SENHA + "a =\n", "a", "", false, LOGIN_ERRO_USUARIO},
      {"sem os brancos não é usuário", SENHA + "backup=segredo\n", "x", "y", false,
       LOGIN_ERRO_USUARIO},
      {"usuário comentado não conta", SENHA + "#backup = segredo\n", "x", "y", false,
       LOGIN_ERRO_USUARIO},
      {"[User] não é o cabeçalho", "[AUTHENTICATION]\nPassword\n[User]\na = 1\n", "x", "y", false,
       LOGIN_ERRO_USUARIO},
      {"nome com delimitador nunca casa", SENHA + "a = b = c\n", "a = b", "c", false,
       LOGIN_ERRO_USUARIO},
      {"a senha é o resto da linha", SENHA + "a = b = c\n", "a", "b = c", true, LOGIN_SUCESSO},
      {"comentário como linha de modo liga a senha", "[AUTHENTICATION]\n#None\n[USER]\na = 1\n",
       "a", "2", false, LOGIN_ERRO_SENHA},
      {"cabeçalho com texto depois vale", "[AUTHENTICATION] x\nNone\n", "", "", true,
       LOGIN_SUCESSO},
      {"cabeçalho com branco antes não vale", " [AUTHENTICATION]\nNone\n", "", "", false,
       LOGIN_ERRO_USUARIO},
      {"sem cabeçalho ninguém entra", "[USER]\na = 1\n", "a", "1", false, LOGIN_ERRO_USUARIO},
      {"None com CR é modo senha", "[AUTHENTICATION]\r\nNone\r\n[USER]\r\na = 1\r\n", "a", "1",
       false, LOGIN_ERRO_SENHA},
      {"senha com CR do arquivo", "[AUTHENTICATION]\r\nNone\r\n[USER]\r\na = 1\r\n", "a", "1\r",
       true, LOGIN_SUCESSO},
      {"sem [USER] ninguém entra", "[AUTHENTICATION]\nPassword\nx = y\n", "x", "y", false,
       LOGIN_ERRO_USUARIO},
      {"[USER] antes do cabeçalho é ignorado", "[USER]\na = 1\n[AUTHENTICATION]\nPassword\n", "a",
       "1", false, LOGIN_ERRO_USUARIO},
      {"cabeçalho na última linha sem modo", "[AUTHENTICATION]", "", "", false, LOGIN_ERRO_USUARIO},
  };
  for (const Caso& caso : casos) {
    DiretorioDeTrabalho trabalho;
    int codigo;
    EXPECT_EQ(verificar(caso.conteudo, caso.usuario, caso.senha, &codigo), caso.admitido)
        << caso.descricao;
    EXPECT_EQ(codigo, caso.codigo) << caso.descricao;
  }
}

TEST(TFileUser, arquivoIlegivelOuSemUsuarioRecusaELogaUmaVezPorEstado) {
  DiretorioDeTrabalho trabalho;
  LogDoTeste log;
  int codigo = LOGIN_SUCESSO;
  ASSERT_EQ(mkdir(TFileUser::ARQUIVO_CONFIG, 0755), 0);
  for (int i = 0; i < 3; ++i) {
    TFileUser arquivo(log.pid);
    EXPECT_FALSE(arquivo.userCadastrado("", "", &codigo));
    EXPECT_EQ(codigo, LOGIN_ERRO_USUARIO);
  }
  ASSERT_EQ(rmdir(TFileUser::ARQUIVO_CONFIG), 0);
  for (const char* conteudo : {"[AUTHENTICATION]\nPassword\n[USER]\nbackup=segredo\n",
                               "[AUTHENTICATION]\nPassword\n[USER]\nbackup=outro\n"}) {
    escreverArquivo(TFileUser::ARQUIVO_CONFIG, conteudo);
    for (int i = 0; i < 3; ++i) {
      TFileUser arquivo(log.pid);
      EXPECT_FALSE(arquivo.userCadastrado("backup", "segredo", &codigo));
    }
  }
  if (!logsGravaveis()) return;
  std::string texto = log.ler();
  EXPECT_EQ(contar(texto, "Arquivo UserAgenteVorna.config ilegível - Motivo:"), 1) << texto;
  EXPECT_EQ(contar(texto,
                   "Arquivo UserAgenteVorna.config sem nenhuma linha de usuário válida (usuário = "
                   "senha): todo login será recusado"),
            2)
      << "once for each state of the file: " << texto;
}

TEST(TFileUser, arquivoQueFaltaEhCriadoSoParaORootENuncaPorUmaLigacao) {
  DiretorioDeTrabalho trabalho;
  LogDoTeste log;
  ASSERT_EQ(symlink("alvo", TFileUser::ARQUIVO_CONFIG), 0);
  { TFileUser arquivo(log.pid); }
  EXPECT_NE(access("alvo", F_OK), 0) << "a dangling link is not written through";
  ASSERT_EQ(unlink(TFileUser::ARQUIVO_CONFIG), 0);
  TFileUser arquivo(log.pid);
  EXPECT_EQ(lerArquivo(TFileUser::ARQUIVO_CONFIG), TFileUser::conteudoPadrao());
  EXPECT_EQ(estado(TFileUser::ARQUIVO_CONFIG).st_mode & 07777, 0600u);
  int codigo = LOGIN_SUCESSO;
  EXPECT_TRUE(arquivo.userCadastrado("quem", "for", &codigo));
  if (logsGravaveis()) {
    EXPECT_EQ(contar(log.ler(),
                     "Arquivo UserAgenteVorna.config criado com a autenticação None: "
                     "todo servidor será admitido"),
              1);
  }
}
