#ifndef TFILEUSER_H
#define TFILEUSER_H

#include <string>

#include "Logger.h"

enum TCommandResultLogin {
  LOGIN_SUCESSO = 0,
  LOGIN_ERRO_USUARIO = -1,
  LOGIN_ERRO_SENHA = -2,
};

// The user file in the working directory: who may log in and whether a
// password is asked at all. Each connection thread makes its own for its
// handshake; the file is read afresh on every check, so edits take effect at
// the next connection. Only the mode line None admits without a password;
// any other mode admits a user line that matches name and password exactly,
// and a file that cannot be read as meant admits nobody.
class TFileUser {
 public:
  static constexpr const char* ARQUIVO_CONFIG = "UserAgenteVorna.config";
  static constexpr const char* DELIMITADOR_USER_PASSWORD = " = ";
  static constexpr char ID_COMENTARIO = '#';
  static constexpr const char* ID_SECAO_AUTHENTICATION = "[AUTHENTICATION]";
  static constexpr const char* TYPE_AUTHENTICATION_NONE = "None";
  static constexpr const char* TYPE_AUTHENTICATION_PASSWORD = "Password";
  static constexpr const char* ID_SECAO_USER = "[USER]";

  // Writes the commented default file (mode 0600) when there is none. pidLog
  // is the process number whose log receives the check's complaints.
  explicit TFileUser(int pidLog = 0);
  virtual ~TFileUser();

  // True when the server may log in. On a refusal *codeError receives
  // LOGIN_ERRO_USUARIO or LOGIN_ERRO_SENHA (that of the last user line
  // examined); an admission may leave it as the caller set it. A file with
  // no header, no user section or no valid user line, or that cannot be
  // read, refuses every login with LOGIN_ERRO_USUARIO, and the log says why
  // once for each state of the file.
  bool userCadastrado(const std::string& usernameRecebido, const std::string& passwordRecebido,
                      int* codeError);

  // The default content, exactly as written to a new file.
  static std::string conteudoPadrao();

 private:
  void CreateFile();
  bool getUserAndPasswordFromString(std::string* user, std::string* password,
                                    const std::string& dado) const;
  // Refuses every login for motivo, logged only when the file or the reason
  // changed since it was last logged.
  bool recusarTodos(const std::string& motivo, int* codeError) const;

  Logger log;
  int pidLog;
};

#endif
