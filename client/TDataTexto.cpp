#include "TDataTexto.h"

const char* const TDataTexto::SENTINELA = "01/01/70 00:00:00";

bool TDataTexto::lerRegistro(const std::string& texto, time_t* quando) {
  struct tm local {};
  const char* fim = strptime(texto.c_str(), "%d/%m/%Y %H:%M:%S", &local);
  if (fim == nullptr || *fim != '\0') return false;
  local.tm_isdst = -1;
  *quando = mktime(&local);
  return true;
}

bool TDataTexto::pedidoValido(const std::string& texto) {
  struct tm t {};
  const char* fim = strptime(texto.c_str(), "%d/%m/%y %H:%M:%S", &t);
  return fim != nullptr && *fim == '\0';
}

bool TDataTexto::formatarPedido(time_t quando, std::string* texto) {
  struct tm local {};
  if (localtime_r(&quando, &local) == nullptr) return false;
  int ano = local.tm_year + 1900;
  if (ano < 1969 || ano > 2068) return false;  // what "%y" can say
  char buffer[32];
  size_t n = strftime(buffer, sizeof buffer, "%d/%m/%y %H:%M:%S", &local);
  texto->assign(buffer, n);
  return n > 0;
}
