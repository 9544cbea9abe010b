#include "TFileUser.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <mutex>
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

bool ehComentario(const std::string& linha) {
  return !linha.empty() && linha[0] == TFileUser::ID_COMENTARIO;
}

// From linha inicio on, the first line that is no comment and begins with
// prefixo; linhas.size() when there is none.
size_t procurarCabecalho(const std::vector<std::string>& linhas, size_t inicio,
                         const char* prefixo) {
  for (size_t i = inicio; i < linhas.size(); ++i) {
    if (!ehComentario(linhas[i]) && comecaCom(linhas[i], prefixo)) return i;
  }
  return linhas.size();
}

// Equal texts, in a time that does not tell how much of them matched.
bool iguaisEmTempoConstante(const std::string& a, const std::string& b) {
  size_t n = std::max(a.size(), b.size());
  unsigned char diferenca = a.size() == b.size() ? 0 : 1;
  for (size_t i = 0; i < n; ++i) {
    unsigned char x = i < a.size() ? static_cast<unsigned char>(a[i]) : 0;
    unsigned char y = i < b.size() ? static_cast<unsigned char>(b[i]) : 0;
    diferenca |= static_cast<unsigned char>(x ^ y);
  }
  return diferenca == 0;
}

// Whatever tells one state of the file from another, for logging a
// complaint once per state.
std::string estadoDoArquivo(const char* caminho) {
  struct stat st {};
  if (stat(caminho, &st) != 0) return "ausente";
  return IntToStr(static_cast<long long>(st.st_dev)) + ":" +
         IntToStr(static_cast<long long>(st.st_ino)) + ":" + IntToStr(st.st_size) + ":" +
         IntToStr(st.st_mtim.tv_sec) + "." + IntToStr(st.st_mtim.tv_nsec) + ":" +
         IntToStr(st.st_ctim.tv_sec) + "." + IntToStr(st.st_ctim.tv_nsec);
}

std::mutex mutexQueixa;
std::string ultimaQueixa;  // the last complaint logged, with the file's state

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
  // Written whole under a name of its own, then linked to its name: a
  // connection starting meanwhile never reads half a file, and nothing that
  // has taken the name (a link included) is written through or replaced.
  std::string temporario = nomeTemporarioPara(ARQUIVO_CONFIG, ".novo");
  int fd = open(temporario.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return;
  std::string texto = conteudoPadrao();
  bool escrito = escreverTudo(fd, texto.data(), texto.size()) >= 0;
  bool fechado = close(fd) == 0;
  if (escrito && fechado && link(temporario.c_str(), ARQUIVO_CONFIG) == 0) {
    log.WriteLog(std::string("Arquivo ") + ARQUIVO_CONFIG + " criado com a autenticação " +
                     TYPE_AUTHENTICATION_NONE + ": todo servidor será admitido",
                 pidLog, false);
  }
  unlink(temporario.c_str());
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

bool TFileUser::recusarTodos(const std::string& motivo, int* codeError) const {
  std::string linha =
      std::string("Arquivo ") + ARQUIVO_CONFIG + " " + motivo + ": todo login será recusado";
  std::string queixa = linha + "|" + estadoDoArquivo(ARQUIVO_CONFIG);
  {
    std::lock_guard<std::mutex> trava(mutexQueixa);
    if (queixa == ultimaQueixa) {
      linha.clear();
    } else {
      ultimaQueixa = queixa;
    }
  }
  if (!linha.empty()) log.WriteLog(linha, pidLog, false);
  *codeError = LOGIN_ERRO_USUARIO;
  return false;
}

bool TFileUser::userCadastrado(const std::string& usernameRecebido,
                               const std::string& passwordRecebido, int* codeError) {
  std::string conteudo, erro;
  if (!lerArquivoTexto(ARQUIVO_CONFIG, &conteudo, &erro)) {
    return recusarTodos("ilegível - Motivo:" + erro, codeError);
  }
  std::vector<std::string> linhas = dividirLinhas(conteudo);
  size_t autenticacao = procurarCabecalho(linhas, 0, ID_SECAO_AUTHENTICATION);
  if (autenticacao == linhas.size()) {
    return recusarTodos(std::string("sem o cabeçalho ") + ID_SECAO_AUTHENTICATION, codeError);
  }
  // The line after the header is the mode line, whatever it holds.
  if (autenticacao + 1 < linhas.size() && linhas[autenticacao + 1] == TYPE_AUTHENTICATION_NONE) {
    return true;
  }
  size_t secaoUser = procurarCabecalho(linhas, autenticacao + 2, ID_SECAO_USER);
  if (secaoUser == linhas.size()) {
    return recusarTodos(std::string("sem a seção ") + ID_SECAO_USER, codeError);
  }
  bool algumUsuario = false, admitido = false;
  int codigo = LOGIN_ERRO_USUARIO;
  // Every line is examined, so the time taken does not tell which matched.
  for (size_t i = secaoUser + 1; i < linhas.size(); ++i) {
    std::string user, password;
    if (ehComentario(linhas[i]) || !getUserAndPasswordFromString(&user, &password, linhas[i])) {
      continue;
    }
    algumUsuario = true;
    bool mesmoUsuario = user == usernameRecebido;
    if (mesmoUsuario && iguaisEmTempoConstante(password, passwordRecebido)) admitido = true;
    codigo = mesmoUsuario ? LOGIN_ERRO_SENHA : LOGIN_ERRO_USUARIO;
  }
  if (!algumUsuario) {
    return recusarTodos(std::string("sem nenhuma linha de usuário válida (usuário") +
                            DELIMITADOR_USER_PASSWORD + "senha)",
                        codeError);
  }
  if (usernameRecebido.empty()) {
    *codeError = LOGIN_ERRO_USUARIO;
    return false;
  }
  *codeError = admitido ? LOGIN_SUCESSO : codigo;
  return admitido;
}
