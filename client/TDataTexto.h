#ifndef TDATATEXTO_H
#define TDATATEXTO_H

#include <ctime>
#include <string>

// The agent's time texts, in this machine's local time (which must be the
// agent's): "dd/mm/yyyy hh:mm:ss" in records, "dd/mm/yy hh:mm:ss" in
// requests. Any thread, once tzset has run.
class TDataTexto {
 public:
  // A record's time; false for a text that does not parse.
  static bool lerRegistro(const std::string& texto, time_t* quando);
  // Whether texto is a request's time.
  static bool pedidoValido(const std::string& texto);
  // A request's time; false for a year the two-digit form cannot hold.
  static bool formatarPedido(time_t quando, std::string* texto);
  // The time that sets an old file apart from any new one.
  static const char* const SENTINELA;
};

#endif
