#include "TOpcoesVornacli.h"

#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <thread>

const char* const TOpcoesVornacli::AJUDA =
    "usage: vornacli [-H host] [-p port] [-u user] [--json] [--chunk BYTES] [--timeout SECONDS]\n"
    "                [-j CONNECTIONS] [-v] COMMAND [ARGS]\n"
    "\n"
    "Connects to an AgenteLinuxVorna agent (default 127.0.0.1:9999) and logs in. The password\n"
    "comes from VORNA_PASSWORD, or is asked on the terminal when -u is given.\n"
    "\n"
    "commands:\n"
    "  version                      the agent's protocol version\n"
    "  whoami                       the agent's name, path, working directory and word size\n"
    "  ls DIR                       one level of DIR (folders and files)\n"
    "  find DIR                     every file below DIR\n"
    "  changed DIR 'dd/mm/yy HH:MM:SS'  files below DIR changed after that local time\n"
    "  folders DIR                  the sub-folders of DIR\n"
    "  du DIR                       total bytes of the files below DIR\n"
    "  size FILE                    bytes of FILE (fails when missing or unreadable)\n"
    "  isdir PATH | exists PATH     print true or false; exit 0 for true, 1 for false\n"
    "  stat PATH                    the record of PATH\n"
    "  get REMOTE LOCAL             fetch a file (LOCAL may be a folder)\n"
    "  put LOCAL REMOTE             store a file\n"
    "  touch PATH 'dd/mm/yy HH:MM:SS'  set PATH's modification time\n"
    "  mkdir PATH                   create one folder\n"
    "  backup REMOTE_DIR LOCAL_DIR [--since 'dd/mm/yy HH:MM:SS' | --delete]\n"
    "  restore LOCAL_DIR REMOTE_DIR [--serial-stores]\n"
    "\n"
    "backup and restore use CONNECTIONS logged-in connections at once (-j, default the number\n"
    "of cores, at least 4, for backup and 64 for restore), each with its requests pipelined.\n"
    "A backup is flushed to disk once, before it reports success; a file that fails is\n"
    "reported and counted, and the run goes on.\n"
    "A backup into an earlier copy fetches only the files missing there or whose size or\n"
    "modification second differ; --delete also removes from the copy what is gone from the\n"
    "agent (-v names each), and is refused when the agent lists nothing for a copy that holds\n"
    "something.\n"
    "The protocol carries files, folders and modification times only: restore skips links and\n"
    "special files (-v names each), and the copies get no modes, owners or extended attributes.\n"
    "restore first lists REMOTE_DIR and stores only the files missing there or differing in\n"
    "size or modification second (counted as unchanged otherwise).\n"
    "restore sends its stores in runs, which the agent commits together; --serial-stores\n"
    "sends one store at a time per connection, each waiting for its reply.\n"
    "\n"
    "Listings print one entry a line: kind, size, date and path (--json: one JSON object a\n"
    "line). Times are the agent's local time; backup and restore read and write them in this\n"
    "machine's time zone.\n"
    "exit status: 0 ok, 1 failed or false, 2 usage, 3 login refused, 4 connection lost.\n";

namespace {

bool lerNumero(const std::string& texto, long minimo, long maximo, long* valor) {
  char* fim = nullptr;
  errno = 0;
  long v = std::strtol(texto.c_str(), &fim, 10);
  if (texto.empty() || *fim != '\0' || errno != 0 || v < minimo || v > maximo) return false;
  *valor = v;
  return true;
}

}  // namespace

TOpcoesVornacli::TOpcoesVornacli()
    : conexoes(std::max(4, static_cast<int>(std::thread::hardware_concurrency()))) {}

std::string TOpcoesVornacli::ler(int argc, char* argv[]) {
  bool soArgumentos = false;
  for (int i = 1; i < argc; ++i) {
    std::string palavra = argv[i];
    if (soArgumentos || palavra.empty() || palavra[0] != '-' || palavra == "-") {
      argumentos.push_back(palavra);
      continue;
    }
    if (palavra == "--") {
      soArgumentos = true;
      continue;
    }
    if (lerSinal(palavra)) continue;
    if (palavra == "-h" || palavra == "--help") return "help";
    if (i + 1 >= argc) return palavra + " needs a value";
    std::string erro = lerValor(palavra, argv[++i]);
    if (!erro.empty()) return erro;
  }
  return "";
}

std::string TOpcoesVornacli::lerValor(const std::string& palavra, const std::string& valor) {
  long numero;
  if (palavra == "-H" || palavra == "--host") {
    host = valor;
  } else if (palavra == "-p" || palavra == "--port") {
    if (!lerNumero(valor, 1, 65535, &numero)) return "bad port: " + valor;
    porta = static_cast<int>(numero);
  } else if (palavra == "-u" || palavra == "--user") {
    usuario = valor;
    usuarioDado = true;
  } else if (palavra == "--chunk") {
    if (!lerNumero(valor, 1, 16 * 1024 * 1024, &numero)) return "bad chunk size: " + valor;
    bloco = static_cast<int>(numero);
  } else if (palavra == "--timeout") {
    if (!lerNumero(valor, 1, 86400, &numero)) return "bad time-out: " + valor;
    tempoLimite = static_cast<int>(numero);
  } else if (palavra == "-j" || palavra == "--jobs") {
    if (!lerNumero(valor, 1, 64, &numero)) return "bad number of connections: " + valor;
    conexoes = static_cast<int>(numero);
    conexoesDadas = true;
  } else if (palavra == "--since") {
    desde = valor;
  } else {
    return "unknown option " + palavra;
  }
  return "";
}

bool TOpcoesVornacli::lerSinal(const std::string& palavra) {
  bool* sinal = palavra == "--json"                         ? &json
                : palavra == "-v" || palavra == "--verbose" ? &verboso
                : palavra == "--delete"                     ? &apagar
                : palavra == "--serial-stores"              ? &umaGravacaoPorVez
                                                            : nullptr;
  if (sinal != nullptr) *sinal = true;
  return sinal != nullptr;
}

std::string TOpcoesVornacli::pedirSenha() {
  const char* ambiente = std::getenv("VORNA_PASSWORD");
  if (ambiente != nullptr) return ambiente;
  if (isatty(STDIN_FILENO) != 1) return "";
  std::fprintf(stderr, "Password: ");
  std::fflush(stderr);
  struct termios antes {};
  tcgetattr(STDIN_FILENO, &antes);
  struct termios semEco = antes;
  semEco.c_lflag &= ~static_cast<tcflag_t>(ECHO);
  tcsetattr(STDIN_FILENO, TCSAFLUSH, &semEco);
  std::string senha;
  std::getline(std::cin, senha);
  tcsetattr(STDIN_FILENO, TCSAFLUSH, &antes);
  std::fprintf(stderr, "\n");
  return senha;
}
