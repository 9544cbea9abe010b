#include "TOpcoesVornacli.h"

#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <thread>

#include "TLimiteBanda.h"

const char* const TOpcoesVornacli::AJUDA =
    "usage: vornacli [-H host] [-p port] [-u user] [--json] [--chunk BYTES] [--timeout SECONDS]\n"
    "                [-j CONNECTIONS] [-v] COMMAND [ARGS]\n"
    "       vornacli --help | --version\n"
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
    "  get REMOTE LOCAL [--bwlimit RATE]  fetch a file (LOCAL may be a folder)\n"
    "  put LOCAL REMOTE [--bwlimit RATE]  store a file\n"
    "  touch PATH 'dd/mm/yy HH:MM:SS'  set PATH's modification time\n"
    "  mkdir PATH                   create one folder\n"
    "  backup REMOTE_DIR LOCAL_DIR [--since 'dd/mm/yy HH:MM:SS' | --delete] [COPY OPTIONS]\n"
    "  restore LOCAL_DIR REMOTE_DIR [--serial-stores] [COPY OPTIONS]\n"
    "\n"
    "copy options, for backup and restore:\n"
    "  -n, --dry-run          list each file that would be fetched, stored or removed, and the\n"
    "                         summary, without changing anything on either side\n"
    "  --exclude PATTERN      leave out what PATTERN matches (repeatable)\n"
    "  --exclude-from FILE    the patterns of FILE, one a line ('+ PATTERN' includes, '#' "
    "comments)\n"
    "  --include PATTERN      keep what PATTERN matches, though a later pattern excludes it\n"
    "  --bwlimit RATE         at most RATE bytes a second over all connections (K, M: 20M)\n"
    "Patterns are rsync's: '*' matches within a name and '**' across folders; a pattern with a\n"
    "'/' is matched against the path below the copy's root (only there when it starts with\n"
    "'/'), one without against the name; a trailing '/' matches folders only; the first\n"
    "matching pattern wins. An excluded folder is not walked, and --delete keeps what is\n"
    "excluded.\n"
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
    "size or modification second (counted as unchanged otherwise); it cannot remove anything\n"
    "on the agent. It sends its stores in runs, which the agent commits together;\n"
    "--serial-stores sends one store at a time per connection, each waiting for its reply.\n"
    "\n"
    "Listings print one entry a line: kind, size, date and path (--json: one JSON object a\n"
    "line). Times are the agent's local time; backup and restore read and write them in this\n"
    "machine's time zone.\n"
    "exit status: 0 ok, 1 failed or false, 2 usage, 3 login refused, 4 connection lost.\n";

namespace {

// An option: its names, whether a value follows, and the commands that
// take it (null: all of them).
struct TOpcao {
  const char* curta;
  const char* longa;
  bool comValor;
  const char* comandos;
};

const char* const COPIAS = " backup restore ";
const TOpcao OPCOES[] = {
    {"-H", "--host", true, nullptr},
    {"-p", "--port", true, nullptr},
    {"-u", "--user", true, nullptr},
    {nullptr, "--json", false, nullptr},
    {nullptr, "--chunk", true, nullptr},
    {nullptr, "--timeout", true, nullptr},
    {"-j", "--jobs", true, nullptr},
    {"-v", "--verbose", false, nullptr},
    {"-h", "--help", false, nullptr},
    {nullptr, "--version", false, nullptr},
    {nullptr, "--since", true, " backup "},
    {nullptr, "--delete", false, " backup "},
    {nullptr, "--serial-stores", false, " restore "},
    {"-n", "--dry-run", false, COPIAS},
    {nullptr, "--exclude", true, COPIAS},
    {nullptr, "--exclude-from", true, COPIAS},
    {nullptr, "--include", true, COPIAS},
    {nullptr, "--bwlimit", true, " get put backup restore "},
};

const TOpcao* acharOpcao(const std::string& nome) {
  for (const TOpcao& opcao : OPCOES) {
    if (nome == opcao.longa || (opcao.curta != nullptr && nome == opcao.curta)) return &opcao;
  }
  return nullptr;
}

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
    // "--exclude=PATTERN" as well as "--exclude PATTERN".
    size_t igual = palavra.compare(0, 2, "--") == 0 ? palavra.find('=') : std::string::npos;
    std::string nome = palavra.substr(0, igual);
    const TOpcao* opcao = acharOpcao(nome);
    if (opcao == nullptr) return "unknown option " + nome;
    if (opcao->comandos != nullptr) dadas.emplace_back(nome, opcao->comandos);
    if (!opcao->comValor) {
      if (igual != std::string::npos) return nome + " takes no value";
      if (lerSinal(opcao->longa)) continue;
      return std::string(opcao->longa).substr(2);  // "help", "version"
    }
    if (igual == std::string::npos && i + 1 >= argc) return nome + " needs a value";
    std::string erro =
        lerValor(opcao->longa, igual == std::string::npos ? argv[++i] : palavra.substr(igual + 1));
    if (!erro.empty()) return erro;
  }
  return "";
}

std::string TOpcoesVornacli::conferirComando(const std::string& comando) const {
  for (const auto& dada : dadas) {
    if (dada.second.find(" " + comando + " ") != std::string::npos) continue;
    if (comando == "restore" && dada.first == "--delete") {
      return "restore does not take --delete: the protocol cannot remove files on the agent";
    }
    return comando + " does not take " + dada.first;
  }
  return "";
}

std::string TOpcoesVornacli::lerValor(const std::string& opcao, const std::string& valor) {
  long numero;
  if (opcao == "--host") {
    host = valor;
  } else if (opcao == "--port") {
    if (!lerNumero(valor, 1, 65535, &numero)) return "bad port: " + valor;
    porta = static_cast<int>(numero);
  } else if (opcao == "--user") {
    usuario = valor;
    usuarioDado = true;
  } else if (opcao == "--chunk") {
    if (!lerNumero(valor, 1, 16 * 1024 * 1024, &numero)) return "bad chunk size: " + valor;
    bloco = static_cast<int>(numero);
  } else if (opcao == "--timeout") {
    if (!lerNumero(valor, 1, 86400, &numero)) return "bad time-out: " + valor;
    tempoLimite = static_cast<int>(numero);
  } else if (opcao == "--jobs") {
    if (!lerNumero(valor, 1, 64, &numero)) return "bad number of connections: " + valor;
    conexoes = static_cast<int>(numero);
    conexoesDadas = true;
  } else if (opcao == "--since") {
    desde = valor;
  } else if (opcao == "--bwlimit") {
    if (!TLimiteBanda::lerTaxa(valor, &limiteBanda)) {
      return "bad rate for --bwlimit: " + valor + " (bytes a second, with K or M: 20M)";
    }
  } else {
    return lerFiltro(opcao, valor);
  }
  return "";
}

std::string TOpcoesVornacli::lerFiltro(const std::string& opcao, const std::string& valor) {
  std::string erro;
  if (opcao == "--exclude-from" && !filtro.lerArquivo(valor, &erro)) {
    return "--exclude-from " + valor + ": " + erro;
  }
  if (opcao != "--exclude-from" && !filtro.acrescentar(opcao == "--include", valor)) {
    return opcao + " needs a pattern, not '" + valor + "'";
  }
  return "";
}

bool TOpcoesVornacli::lerSinal(const std::string& opcao) {
  bool* sinal = opcao == "--json"            ? &json
                : opcao == "--verbose"       ? &verboso
                : opcao == "--delete"        ? &apagar
                : opcao == "--serial-stores" ? &umaGravacaoPorVez
                : opcao == "--dry-run"       ? &simulacao
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
