#include "TFileUser.h"

#include <fcntl.h>
#include <unistd.h>

#include <vector>

#include "FileManager.h"
#include "TUtils.h"

namespace {

const char* const LINHAS_PADRAO[] = {
    "############################################################",
    "#Este arquivo possui os usuarios que tem direito de conexão#",
    "#neste servidor. Para o funcionamento correto é obrigatorio#",
    "#um usuário  seguido de \" = \", que é o delimitador de      #",
    "#usuário e senha.                                          #",
    "#O usuário não pode começar com \"#\" e nem pode haver espa- #",
    "#ço em branco.                                             #",
    "#A senha pode ficar em brano mais é obrigatorio a inserção #",
    "#do delimitador \" = \" após o usuário.                      #",
    "#Ex:.                                                      #",
    "#tarvel = Tarvel                                           #",
    "#                                                          #",
    "#A autenticação:[Password|None]                            #",
    "#None > é a autenticação padrão que será utilizada         #",
    "#Passwod > quando a autenticação estiver marcada com esta  #",
    "#flag o usuario e senha deverão ser informado no Vorna     #",
    "#Backup.                                                   #",
    "############################################################",
    "[AUTHENTICATION]",
    "None",
    "[USER]",
    "#tarvel = ",
};

bool comecaCom(const std::string& linha, const char* prefixo) {
  return linha.compare(0, std::char_traits<char>::length(prefixo), prefixo) == 0;
}

}  // namespace

TFileUser::TFileUser(int pidLog) : pidLog(pidLog) {
  FileManager fileManager;
  if (!fileManager.ExisteArquivoOuPasta(ARQUIVO_CONFIG)) CreateFile();
}

TFileUser::~TFileUser() {}

std::string TFileUser::conteudoPadrao() {
  std::string texto;
  for (const char* linha : LINHAS_PADRAO) {
    texto += linha;
    texto += '\n';
  }
  return texto;
}

void TFileUser::CreateFile() {
  int fd = open(ARQUIVO_CONFIG, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) return;
  std::string texto = conteudoPadrao();
  escreverTudo(fd, texto.data(), texto.size());
  close(fd);
}

bool TFileUser::getUserAndPasswordFromString(std::string* user, std::string* password,
                                             const std::string& dado) const {
  user->clear();
  password->clear();
  size_t delimitador = dado.find(DELIMITADOR_USER_PASSWORD);
  if (delimitador == std::string::npos) return false;
  *user = dado.substr(0, delimitador);
  *password = dado.substr(delimitador + std::char_traits<char>::length(DELIMITADOR_USER_PASSWORD));
  return true;
}

bool TFileUser::userCadastrado(const std::string& usernameRecebido,
                               const std::string& passwordRecebido, int* codeError) {
  std::string conteudo, erro;
  if (!lerArquivoTexto(ARQUIVO_CONFIG, &conteudo, &erro)) {
    // Without the file nobody can say who may enter, so nobody does.
    log.WriteLog(std::string("Login recusado: não foi possível ler o arquivo ") + ARQUIVO_CONFIG +
                     " - Motivo:" + erro,
                 pidLog, false);
    *codeError = LOGIN_ERRO_USUARIO;
    return false;
  }
  std::vector<std::string> linhas = dividirLinhas(conteudo);
  bool id_SecaoAutenticacaoAchado = false;
  bool id_SecaoUserAchado = false;
  bool result = true;
  for (size_t i = 0; i < linhas.size(); ++i) {
    const std::string& linha = linhas[i];
    if (!linha.empty() && linha[0] == ID_COMENTARIO) continue;
    if (!id_SecaoAutenticacaoAchado) {
      if (comecaCom(linha, ID_SECAO_AUTHENTICATION)) {
        id_SecaoAutenticacaoAchado = true;
        // The next line is the mode line, whatever it holds.
        std::string modo = (i + 1 < linhas.size()) ? linhas[++i] : std::string();
        if (modo == TYPE_AUTHENTICATION_NONE) return true;
      }
      continue;
    }
    if (usernameRecebido.empty()) {
      *codeError = LOGIN_ERRO_USUARIO;
      return false;
    }
    if (!id_SecaoUserAchado) {
      if (comecaCom(linha, ID_SECAO_USER)) id_SecaoUserAchado = true;
      continue;
    }
    std::string user, password;
    if (!getUserAndPasswordFromString(&user, &password, linha)) continue;
    if (user == usernameRecebido) {
      if (password == passwordRecebido) {
        *codeError = LOGIN_SUCESSO;
        return true;
      }
      result = false;
      *codeError = LOGIN_ERRO_SENHA;
    } else {
      result = false;
      *codeError = LOGIN_ERRO_USUARIO;
    }
  }
  return result;
}
