#include <gtest/gtest.h>
#include <sys/stat.h>

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
      {"sem o último branco não é usuário", SENHA + "a =\n", "a", "", true, LOGIN_SUCESSO},
      {"nome com delimitador nunca casa", SENHA + "a = b = c\n", "a = b", "c", false,
       LOGIN_ERRO_USUARIO},
      {"a senha é o resto da linha", SENHA + "a = b = c\n", "a", "b = c", true, LOGIN_SUCESSO},
      {"comentário como linha de modo liga a senha", "[AUTHENTICATION]\n#None\n[USER]\na = 1\n",
       "a", "2", false, LOGIN_ERRO_SENHA},
      {"cabeçalho com texto depois vale", "[AUTHENTICATION] x\nNone\n", "", "", true,
       LOGIN_SUCESSO},
      {"cabeçalho com branco antes não vale", " [AUTHENTICATION]\nPassword\n", "", "", true,
       LOGIN_SUCESSO},
      {"sem cabeçalho todos entram", "[USER]\na = 1\n", "", "", true, LOGIN_SUCESSO},
      {"None com CR é modo senha", "[AUTHENTICATION]\r\nNone\r\n[USER]\r\na = 1\r\n", "a", "1",
       false, LOGIN_ERRO_SENHA},
      {"senha com CR do arquivo", "[AUTHENTICATION]\r\nNone\r\n[USER]\r\na = 1\r\n", "a", "1\r",
       true, LOGIN_SUCESSO},
      {"senha sem [USER] admite nomes", "[AUTHENTICATION]\nPassword\nx = y\n", "qualquer", "", true,
       LOGIN_SUCESSO},
      {"[USER] antes do cabeçalho é ignorado", "[USER]\na = 1\n[AUTHENTICATION]\nPassword\n", "b",
       "", true, LOGIN_SUCESSO},
      {"nome vazio recusado já na linha vazia final", "[AUTHENTICATION]\nPassword\n", "", "", false,
       LOGIN_ERRO_USUARIO},
      {"cabeçalho na última linha sem modo", "[AUTHENTICATION]", "", "", true, LOGIN_SUCESSO},
  };
  for (const Caso& caso : casos) {
    DiretorioDeTrabalho trabalho;
    int codigo;
    EXPECT_EQ(verificar(caso.conteudo, caso.usuario, caso.senha, &codigo), caso.admitido)
        << caso.descricao;
    EXPECT_EQ(codigo, caso.codigo) << caso.descricao;
  }
}

TEST(TFileUser, arquivoIlegivelRecusa) {
  DiretorioDeTrabalho trabalho;
  ASSERT_EQ(mkdir(TFileUser::ARQUIVO_CONFIG, 0755), 0);
  TFileUser arquivo;
  int codigo = LOGIN_SUCESSO;
  EXPECT_FALSE(arquivo.userCadastrado("", "", &codigo));
  EXPECT_EQ(codigo, LOGIN_ERRO_USUARIO);
}
